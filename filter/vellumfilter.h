// Shared globals and declarations of the label raster filter.
#ifndef VELLUMFILTER_H
#define VELLUMFILTER_H

#include <csignal>
#include <cstdint>
#include <cstdio>

#include <cups/cups.h>
#include <cups/raster.h>

// The PPD API is marked deprecated in libcups 2.x, yet it is still how a CUPS
// filter reads its printer's options. Drop only its deprecation marks (the
// HTTP header, which shares the macro, is already included above).
#undef _CUPS_DEPRECATED_1_6_MSG
#define _CUPS_DEPRECATED_1_6_MSG(m) _CUPS_PUBLIC
#include <cups/ppd.h>

// libcups exports these localised-message helpers, but the header that
// declares them needs libcups's private build configuration.
extern "C" {
int _cupsLangPrintFilter(FILE *fp, const char *prefix, const char *message, ...);
void _cupsLangPrintError(const char *prefix, const char *message);
}

// Printer command family chosen by Setup (18 ZPL, 48 TSPL, 0/16/17 trailers).
extern int32_t ModelNumber;
// The current row, cupsBytesPerLine bytes; lives from StartPage to EndPage.
extern unsigned char *Buffer;
// Pages started so far.
extern int32_t Page;
// Set by the SIGTERM handler.
extern volatile std::sig_atomic_t Canceled;

void CancelJob(int sig);
void check_job_status_and_wait(int job_id);

void Setup(ppd_file_t *ppd);
void StartPage(ppd_file_t *ppd, cups_page_header2_t *header);
void EndPage(ppd_file_t *ppd, cups_page_header2_t *header);
void OutputLine(ppd_file_t *ppd, cups_page_header2_t *header, uint32_t y);

// How grey becomes dots: the gamma threshold (barcodes and text, the
// default), a clustered-dot ordered screen or error diffusion (pictures).
enum HalftoneMethod { kHalftoneThreshold, kHalftoneOrdered, kHalftoneDiffusion };

// The method the Halftone option asks for; anything else is the threshold.
HalftoneMethod MarkedHalftone(ppd_file_t *ppd);

// Turns row y of a page (grey after inversion and shifts, width pixels)
// into light (255) and dark (0) pixels in place by a dithering method.
// tone[v] is the gamma curve's value of grey v (0 black, 255 white); pure
// black and pure white pixels stay as they are. Rows come in order from 0.
void HalftoneRow(unsigned char *row, uint64_t width, uint32_t y, HalftoneMethod method,
                 const unsigned char *tone);

// The marked choice's name for keyword, or nullptr when nothing is marked.
const char *MarkedChoiceName(ppd_file_t *ppd, const char *keyword);

// A number as atoi reads it with a 64-bit long: strtol's range (clamped,
// with errno ERANGE beyond it), then the low 32 bits. A 32-bit processor's
// long would clamp at 2^31 - 1 instead; this gives every processor the same
// number and the same errno, and so the same printer bytes and messages.
int32_t ParseInt(const char *text);

// Whole millimetres to dots at res dpi: a signed 32-bit product (wrapping on
// overflow), divided by 25.4 in double precision and truncated toward zero.
int32_t MillimetresToDots(int32_t mm, uint32_t res);

#endif
