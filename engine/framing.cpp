// Job setup control frames and the per-page header and trailer of each
// printer family.
#include <cstdlib>
#include <cstring>

#include "engine.h"

namespace {

constexpr unsigned char kMediaTrackingFrame = 0x16;
constexpr unsigned char kFeedOffsetFrame = 0x36;
constexpr unsigned char kPrintModeFrame = 0x41;
constexpr unsigned char kCommandSetFrame = 0x45;

// Writes a control frame: start marker, 0x01, code, payload length, payload,
// end marker, and CR LF unless the frame ends a page.
void SendFrame(FILE *out, unsigned char code, const unsigned char *payload, unsigned char length,
               bool crlf = true) {
  const unsigned char start[] = {0x1B, 0xFF, 0xFE, 0x01, code, length};
  const unsigned char end[] = {0x1B, 0xFE, 0xFF};
  std::fwrite(start, 1, sizeof start, out);
  std::fwrite(payload, 1, length, out);
  std::fwrite(end, 1, sizeof end, out);
  if (crlf)
    std::fputs("\r\n", out);
}

void SendFrame1(FILE *out, unsigned char code, unsigned char value, bool crlf = true) {
  SendFrame(out, code, &value, 1, crlf);
}

void SendMediaTracking(const LabelJob &job) {
  const LabelOptions &o = job.options;
  if (IsMarked(o, "zeMediaTracking", "Auto"))
    SendFrame1(job.out, kMediaTrackingFrame, 0x03);
  if (IsMarked(o, "zeMediaTracking", "Continuous"))
    SendFrame1(job.out, kMediaTrackingFrame, 0x02);
  else if (IsMarked(o, "zeMediaTracking", "Web"))
    SendFrame1(job.out, kMediaTrackingFrame, 0x00);
  else if (IsMarked(o, "zeMediaTracking", "Mark"))
    SendFrame1(job.out, kMediaTrackingFrame, 0x01);
  else if (o.variant_03 && IsMarked(o, "zeMediaTracking", "Perforated"))
    SendFrame1(job.out, kMediaTrackingFrame, 0x01);
}

// Feed offset in dots from the Offset choice n, never below 10.
int32_t FeedOffset(int n, bool variant_03) {
  const uint32_t base = variant_03 ? 112u : 85u;
  const auto offset = static_cast<int32_t>(8u * static_cast<uint32_t>(n) + base);
  return offset < 10 ? 10 : offset;
}

void SendFeedOffset(const LabelJob &job) {
  if (IsMarked(job.options, "Offset", "PrinterS")) {
    std::fputs("\r\n", job.out);
    return;
  }
  const char *choice = MarkedChoiceName(job.options, "Offset");
  if (choice == nullptr)
    return;
  const auto offset = static_cast<uint32_t>(FeedOffset(ParseInt(choice), job.options.variant_03));
  const unsigned char payload[] = {static_cast<unsigned char>(offset & 0xFF),
                                   static_cast<unsigned char>((offset >> 8) & 0xFF)};
  SendFrame(job.out, kFeedOffsetFrame, payload, 2);
}

void SendPrintMode(const LabelJob &job) {
  const LabelOptions &o = job.options;
  if (IsMarked(o, "Print_Mode", "Thermal"))
    SendFrame1(job.out, kPrintModeFrame, 0x00);
  else if (IsMarked(o, "Print_Mode", "Thermal_Transfer"))
    SendFrame1(job.out, kPrintModeFrame, 0x01);
  else if (o.variant_03 && IsMarked(o, "Print_Mode", "Auto"))
    SendFrame1(job.out, kPrintModeFrame, 0x02);
}

// The darkness level travels in cupsCompression; levels above 15 and the
// "PrinterS" choice leave the printer's own setting.
bool SendsDarkness(const LabelOptions &options, const cups_page_header2_t *header) {
  return !IsMarked(options, "Darkness", "PrinterS") && header->cupsCompression <= 15;
}

// The print rate choice's name, or nullptr when the printer keeps its own.
const char *PrintRate(const LabelOptions &options) {
  const char *choice = MarkedChoiceName(options, "zePrintRate");
  return choice != nullptr && std::strcmp(choice, "PrinterS") != 0 ? choice : nullptr;
}

// A header field as the signed number the stream holds. Enumerated fields
// are read through their bytes: a hostile stream can hold any value there.
template <typename Field> int HeaderInt(const Field &field) {
  static_assert(sizeof(Field) == sizeof(int), "header fields are 32 bits");
  int value = 0;
  std::memcpy(&value, &field, sizeof value);
  return value;
}

void LogPageHeader(FILE *log, const cups_page_header2_t *h) {
  std::fputs("DEBUG: StartPage...\n", log);
  std::fprintf(log, "DEBUG: Duplex = %d\n", HeaderInt(h->Duplex));
  std::fprintf(log, "DEBUG: HWResolution = [ %d %d ]\n", HeaderInt(h->HWResolution[0]),
               HeaderInt(h->HWResolution[1]));
  std::fprintf(log, "DEBUG: ImagingBoundingBox = [ %d %d %d %d ]\n",
               HeaderInt(h->ImagingBoundingBox[0]), HeaderInt(h->ImagingBoundingBox[1]),
               HeaderInt(h->ImagingBoundingBox[2]), HeaderInt(h->ImagingBoundingBox[3]));
  std::fprintf(log, "DEBUG: Margins = [ %d %d ]\n", HeaderInt(h->Margins[0]),
               HeaderInt(h->Margins[1]));
  std::fprintf(log, "DEBUG: ManualFeed = %d\n", HeaderInt(h->ManualFeed));
  std::fprintf(log, "DEBUG: MediaPosition = %d\n", HeaderInt(h->MediaPosition));
  std::fprintf(log, "DEBUG: NumCopies = %d\n", HeaderInt(h->NumCopies));
  std::fprintf(log, "DEBUG: Orientation = %d\n", HeaderInt(h->Orientation));
  std::fprintf(log, "DEBUG: PageSize = [ %d %d ]\n", HeaderInt(h->PageSize[0]),
               HeaderInt(h->PageSize[1]));
  std::fprintf(log, "DEBUG: cupsWidth = %d\n", HeaderInt(h->cupsWidth));
  std::fprintf(log, "DEBUG: cupsHeight = %d\n", HeaderInt(h->cupsHeight));
  std::fprintf(log, "DEBUG: cupsMediaType = %d\n", HeaderInt(h->cupsMediaType));
  std::fprintf(log, "DEBUG: cupsBitsPerColor = %d\n", HeaderInt(h->cupsBitsPerColor));
  std::fprintf(log, "DEBUG: cupsBitsPerPixel = %d\n", HeaderInt(h->cupsBitsPerPixel));
  std::fprintf(log, "DEBUG: cupsBytesPerLine = %d\n", HeaderInt(h->cupsBytesPerLine));
  std::fprintf(log, "DEBUG: cupsColorOrder = %d\n", HeaderInt(h->cupsColorOrder));
  std::fprintf(log, "DEBUG: cupsColorSpace = %d\n", HeaderInt(h->cupsColorSpace));
  std::fprintf(log, "DEBUG: cupsCompression = %d\n", HeaderInt(h->cupsCompression));
}

void StartZplLabel(const LabelJob &job, const cups_page_header2_t *header) {
  SendPrintMode(job);
  if (IsMarked(job.options, "Tag_Commands", "ZPL"))
    SendFrame1(job.out, kCommandSetFrame, 0x01);
  std::fprintf(job.out, "^XA\r\n^PW%u\r\n^LL%u\r\n", header->cupsWidth, header->cupsHeight);
  if (SendsDarkness(job.options, header))
    std::fprintf(job.out, "~SD%u\r\n", header->cupsCompression);
  if (const char *rate = PrintRate(job.options))
    std::fprintf(job.out, "^PR%d\r\n", ParseInt(rate));
}

void StartTsplLabel(const LabelJob &job, const cups_page_header2_t *header) {
  SendPrintMode(job);
  if (IsMarked(job.options, "Tag_Commands", "TSPL"))
    SendFrame1(job.out, kCommandSetFrame, 0x00);
  // The label size in inches is a single-precision quotient on each axis.
  const float width =
      static_cast<float>(header->cupsWidth) / static_cast<float>(header->HWResolution[0]);
  const float height =
      static_cast<float>(header->cupsHeight) / static_cast<float>(header->HWResolution[1]);
  std::fprintf(job.out, "SIZE %.1f mm,%.1f mm\r\n", static_cast<double>(width) * 25.4,
               static_cast<double>(height) * 25.4);
  if (SendsDarkness(job.options, header))
    std::fprintf(job.out, "DENSITY %u\r\n", header->cupsCompression);
  if (const char *rate = PrintRate(job.options))
    std::fprintf(job.out, "SPEED %d\r\n", ParseInt(rate));
  if (header->AdvanceDistance == 1000) {
    std::fputs("OFFSET 0 mm\r\n", job.out);
  } else if (const char *tear = MarkedChoiceName(job.options, "zeTearOffPosition")) {
    std::fprintf(job.out, "OFFSET %d mm\r\n", ParseInt(tear));
  }
  std::fputs("CLS\r\n", job.out);
}

} // namespace

void Setup(LabelJob &job) {
  job.model_number = job.options.model_number;
  if (IsMarked(job.options, "Tag_Commands", "ZPL"))
    job.model_number = 18;
  SendMediaTracking(job);
  SendFeedOffset(job);
}

void StartPage(LabelJob &job, const cups_page_header2_t *header) {
  LogPageHeader(job.log, header);
  // The row buffer is taken before any printer byte, so that a failed
  // allocation leaves no label half-sent.
  const uint32_t width = header->cupsBytesPerLine;
  job.buffer = static_cast<unsigned char *>(std::malloc(width != 0 ? width : 1));
  if (job.buffer == nullptr)
    return;
  if (job.model_number == 18)
    StartZplLabel(job, header);
  else if (job.model_number == 48)
    StartTsplLabel(job, header);
}

void EndPage(LabelJob &job, const cups_page_header2_t *header) {
  const unsigned copies = header->NumCopies > 1 ? header->NumCopies : 1;
  FILE *out = job.out;
  switch (job.model_number) {
  case 0:
    std::fputs("\x1B"
               "E",
               out);
    break;
  case 16:
    std::fputs("\x1B"
               "E\f",
               out);
    break;
  case 17:
    std::fputs("P1\n", out);
    if (HeaderInt(header->CutMedia) != 0)
      std::fputs("C\n", out);
    break;
  case 18:
    std::fprintf(out, "^PQ%u,0,1,N\r\n^XZ\r\n", copies);
    SendFrame1(out, kCommandSetFrame, 0xFF, false);
    break;
  case 48:
    std::fprintf(out, "\r\nPRINT 1,%u\r\n", copies);
    SendFrame1(out, kCommandSetFrame, 0xFF, false);
    break;
  default:
    break;
  }
  std::fflush(out);
  std::free(job.buffer);
  job.buffer = nullptr;
}

void StartRawProgram(LabelJob &job, bool zpl) {
  SendPrintMode(job);
  SendFrame1(job.out, kCommandSetFrame, zpl ? 0x01 : 0x00);
}

void EndRawProgram(LabelJob &job) {
  SendFrame1(job.out, kCommandSetFrame, 0xFF, false);
  std::fflush(job.out);
}
