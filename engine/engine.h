// The label engine: a job's printer options, its framing, its page pipeline
// and its row rendering; this header is engine/'s one public interface. Its
// two front ends, the CUPS filters (filter/) and the printer application
// (app/), both print through it; every job has its own LabelJob, so that jobs can print
// side by side in one process. It needs libcups's raster types, not its PPD
// API: the printer's options arrive as keyword and choice names.
#ifndef VELLUM_ENGINE_H
#define VELLUM_ENGINE_H

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <cups/raster.h>

// libcups exports these localised-message helpers, but the header that
// declares them needs libcups's private build configuration.
extern "C" {
int _cupsLangPrintFilter(FILE *fp, const char *prefix, const char *message, ...);
void _cupsLangPrintError(const char *prefix, const char *message);
}

// The printer's options as a PPD marks them: its model number and, for each
// option keyword, the name of the marked choice ("PrinterS", "12", "ZPL").
// The filter copies them from the PPD; the printer application sets them
// from its IPP attributes.
struct LabelOptions {
  int32_t model_number = 0; // 18 ZPL, 48 TSPL; 0, 16 and 17 older families
  // The 03 printer: perforated media tracking, the automatic print mode and
  // the longer feed offset.
  bool variant_03 = false;
  std::map<std::string, std::string> marked;
};

// Whether choice is the one marked for keyword.
bool IsMarked(const LabelOptions &options, const char *keyword, const char *choice);
// The marked choice's name for keyword, or nullptr when nothing is marked.
const char *MarkedChoiceName(const LabelOptions &options, const char *keyword);

// How grey becomes dots: the gamma threshold (barcodes and text, the
// default), a clustered-dot ordered screen or error diffusion (pictures).
enum HalftoneMethod { kHalftoneThreshold, kHalftoneOrdered, kHalftoneDiffusion };

// The method the Halftone option asks for; anything else is the threshold.
HalftoneMethod MarkedHalftone(const LabelOptions &options);

// What the halftones carry from row to row of a page.
struct HalftoneState {
  const unsigned char *screen_tone = nullptr; // the tone curve screen_cuts was made for
  std::array<uint8_t, 64> screen_cuts{};
  std::vector<int32_t> prev_error, error, start; // the diffusion's rows of errors
  std::vector<unsigned char> pure_blocks;
  std::array<int32_t, 256> tone16{};
};

// What the rows of a page need from the options, read at each page's first
// row, and the packed row.
struct RowState {
  size_t gamma = 0;
  HalftoneMethod halftone = kHalftoneThreshold;
  bool shifts = false;
  int32_t xshift = 0;
  std::string row_text; // a row's debug lines
  std::vector<unsigned char> out;
};

struct FileCloser {
  void operator()(FILE *file) const { std::fclose(file); }
};

// One job: its options, where its printer data and messages go, and all it
// keeps from one call to the next.
struct LabelJob {
  LabelOptions options;
  int job_id = 0;
  FILE *out = stdout; // printer data
  FILE *log = stderr; // the CUPS filter messages
  // Printer command family chosen by Setup (18 ZPL, 48 TSPL, 0/16/17 trailers).
  int32_t model_number = 0;
  // The current row, cupsBytesPerLine bytes; lives from StartPage to EndPage.
  unsigned char *buffer = nullptr;
  // Pages started so far.
  int32_t page = 0;
  RowState rows;
  HalftoneState halftone;
  // The progress lines are formed here and leave in one write.
  std::unique_ptr<FILE, FileCloser> progress;
  char *progress_text = nullptr;
  size_t progress_length = 0;
};

// Releases what the job still holds.
void ReleaseLabelJob(LabelJob &job);

// Writes the job-setup control frames and fixes the command family.
void Setup(LabelJob &job);
// Logs the page header, takes the row buffer and writes the label's header.
void StartPage(LabelJob &job, const cups_page_header2_t *header);
// Writes the quantity and end-of-label commands and releases the row buffer.
void EndPage(LabelJob &job, const cups_page_header2_t *header);
// Before a printer program the job brings itself (ZPL, else TSPL): the print
// mode frame and that language's command set frame, as before a label of
// the filter's own.
void StartRawProgram(LabelJob &job, bool zpl);
// After it: the end frame, as after a label.
void EndRawProgram(LabelJob &job);
// Writes row y (in job.buffer) as printer bytes, starting a band every 256 rows.
void OutputLine(LabelJob &job, const cups_page_header2_t *header, uint32_t y);

// Turns row y of a page (grey after inversion and shifts, width pixels)
// into light (255) and dark (0) pixels in place by a dithering method.
// tone[v] is the gamma curve's value of grey v (0 black, 255 white); pure
// black and pure white pixels stay as they are. Rows come in order from 0.
void HalftoneRow(HalftoneState &state, unsigned char *row, uint64_t width, uint32_t y,
                 HalftoneMethod method, const unsigned char *tone);

// Reads the page's next row of `bytes` bytes into row; false when the page
// has no more rows.
using RowReader = std::function<bool(unsigned char *row, uint32_t bytes)>;

enum class PageOutcome { kPrinted, kTooLarge, kOutputFailed };

// Prints one page whose rows read_row delivers: page accounting, label
// header, the rows placed by the vertical shift and inverted when asked,
// progress, bands and trailer. A page that cannot be printed is refused
// before its first printer byte, so that no label is left half-sent.
PageOutcome PrintPage(LabelJob &job, const cups_page_header2_t *header, const RowReader &read_row);

// A number as atoi reads it with a 64-bit long: strtol's range (clamped,
// with errno ERANGE beyond it), then the low 32 bits. A 32-bit processor's
// long would clamp at 2^31 - 1 instead; this gives every processor the same
// number and the same errno, and so the same printer bytes and messages.
int32_t ParseInt(const char *text);

// Whole millimetres to dots at res dpi: a signed 32-bit product (wrapping on
// overflow), divided by 25.4 in double precision and truncated toward zero.
int32_t MillimetresToDots(int32_t mm, uint32_t res);

#endif
