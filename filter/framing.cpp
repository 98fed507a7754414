// Job setup control frames and the per-page header and trailer of each
// printer family.
#include <cstdlib>
#include <cstring>

#include "vellumfilter.h"

int32_t ModelNumber = 0;
unsigned char *Buffer = nullptr;

#ifdef VELLUM_VARIANT_03
constexpr bool kVariant03 = true;
#else
constexpr bool kVariant03 = false;
#endif

namespace {

constexpr unsigned char kMediaTrackingFrame = 0x16;
constexpr unsigned char kFeedOffsetFrame = 0x36;
constexpr unsigned char kPrintModeFrame = 0x41;
constexpr unsigned char kCommandSetFrame = 0x45;

// Writes a control frame: start marker, 0x01, code, payload length, payload,
// end marker, and CR LF unless the frame ends a page.
void SendFrame(unsigned char code, const unsigned char *payload, unsigned char length,
               bool crlf = true) {
  const unsigned char start[] = {0x1B, 0xFF, 0xFE, 0x01, code, length};
  const unsigned char end[] = {0x1B, 0xFE, 0xFF};
  std::fwrite(start, 1, sizeof start, stdout);
  std::fwrite(payload, 1, length, stdout);
  std::fwrite(end, 1, sizeof end, stdout);
  if (crlf)
    std::fputs("\r\n", stdout);
}

void SendFrame1(unsigned char code, unsigned char value, bool crlf = true) {
  SendFrame(code, &value, 1, crlf);
}

bool IsMarked(ppd_file_t *ppd, const char *keyword, const char *choice) {
  return ppdIsMarked(ppd, keyword, choice) != 0;
}

void SendMediaTracking(ppd_file_t *ppd) {
  if (IsMarked(ppd, "zeMediaTracking", "Auto"))
    SendFrame1(kMediaTrackingFrame, 0x03);
  if (IsMarked(ppd, "zeMediaTracking", "Continuous"))
    SendFrame1(kMediaTrackingFrame, 0x02);
  else if (IsMarked(ppd, "zeMediaTracking", "Web"))
    SendFrame1(kMediaTrackingFrame, 0x00);
  else if (IsMarked(ppd, "zeMediaTracking", "Mark"))
    SendFrame1(kMediaTrackingFrame, 0x01);
  else if (kVariant03 && IsMarked(ppd, "zeMediaTracking", "Perforated"))
    SendFrame1(kMediaTrackingFrame, 0x01);
}

// Feed offset in dots from the Offset choice n, never below 10.
int32_t FeedOffset(int n) {
  const uint32_t base = kVariant03 ? 112u : 85u;
  const auto offset = static_cast<int32_t>(8u * static_cast<uint32_t>(n) + base);
  return offset < 10 ? 10 : offset;
}

void SendFeedOffset(ppd_file_t *ppd) {
  if (IsMarked(ppd, "Offset", "PrinterS")) {
    std::fputs("\r\n", stdout);
    return;
  }
  const char *choice = MarkedChoiceName(ppd, "Offset");
  if (choice == nullptr)
    return;
  const auto offset = static_cast<uint32_t>(FeedOffset(ParseInt(choice)));
  const unsigned char payload[] = {static_cast<unsigned char>(offset & 0xFF),
                                   static_cast<unsigned char>((offset >> 8) & 0xFF)};
  SendFrame(kFeedOffsetFrame, payload, 2);
}

void SendPrintMode(ppd_file_t *ppd) {
  if (IsMarked(ppd, "Print_Mode", "Thermal"))
    SendFrame1(kPrintModeFrame, 0x00);
  else if (IsMarked(ppd, "Print_Mode", "Thermal_Transfer"))
    SendFrame1(kPrintModeFrame, 0x01);
  else if (kVariant03 && IsMarked(ppd, "Print_Mode", "Auto"))
    SendFrame1(kPrintModeFrame, 0x02);
}

// The darkness level travels in cupsCompression; levels above 15 and the
// "PrinterS" choice leave the printer's own setting.
bool SendsDarkness(ppd_file_t *ppd, const cups_page_header2_t *header) {
  return !IsMarked(ppd, "Darkness", "PrinterS") && header->cupsCompression <= 15;
}

// The print rate choice's name, or nullptr when the printer keeps its own.
const char *PrintRate(ppd_file_t *ppd) {
  const char *choice = MarkedChoiceName(ppd, "zePrintRate");
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

void LogPageHeader(const cups_page_header2_t *h) {
  std::fputs("DEBUG: StartPage...\n", stderr);
  std::fprintf(stderr, "DEBUG: Duplex = %d\n", HeaderInt(h->Duplex));
  std::fprintf(stderr, "DEBUG: HWResolution = [ %d %d ]\n", HeaderInt(h->HWResolution[0]),
               HeaderInt(h->HWResolution[1]));
  std::fprintf(stderr, "DEBUG: ImagingBoundingBox = [ %d %d %d %d ]\n",
               HeaderInt(h->ImagingBoundingBox[0]), HeaderInt(h->ImagingBoundingBox[1]),
               HeaderInt(h->ImagingBoundingBox[2]), HeaderInt(h->ImagingBoundingBox[3]));
  std::fprintf(stderr, "DEBUG: Margins = [ %d %d ]\n", HeaderInt(h->Margins[0]),
               HeaderInt(h->Margins[1]));
  std::fprintf(stderr, "DEBUG: ManualFeed = %d\n", HeaderInt(h->ManualFeed));
  std::fprintf(stderr, "DEBUG: MediaPosition = %d\n", HeaderInt(h->MediaPosition));
  std::fprintf(stderr, "DEBUG: NumCopies = %d\n", HeaderInt(h->NumCopies));
  std::fprintf(stderr, "DEBUG: Orientation = %d\n", HeaderInt(h->Orientation));
  std::fprintf(stderr, "DEBUG: PageSize = [ %d %d ]\n", HeaderInt(h->PageSize[0]),
               HeaderInt(h->PageSize[1]));
  std::fprintf(stderr, "DEBUG: cupsWidth = %d\n", HeaderInt(h->cupsWidth));
  std::fprintf(stderr, "DEBUG: cupsHeight = %d\n", HeaderInt(h->cupsHeight));
  std::fprintf(stderr, "DEBUG: cupsMediaType = %d\n", HeaderInt(h->cupsMediaType));
  std::fprintf(stderr, "DEBUG: cupsBitsPerColor = %d\n", HeaderInt(h->cupsBitsPerColor));
  std::fprintf(stderr, "DEBUG: cupsBitsPerPixel = %d\n", HeaderInt(h->cupsBitsPerPixel));
  std::fprintf(stderr, "DEBUG: cupsBytesPerLine = %d\n", HeaderInt(h->cupsBytesPerLine));
  std::fprintf(stderr, "DEBUG: cupsColorOrder = %d\n", HeaderInt(h->cupsColorOrder));
  std::fprintf(stderr, "DEBUG: cupsColorSpace = %d\n", HeaderInt(h->cupsColorSpace));
  std::fprintf(stderr, "DEBUG: cupsCompression = %d\n", HeaderInt(h->cupsCompression));
}

void StartZplLabel(ppd_file_t *ppd, const cups_page_header2_t *header) {
  SendPrintMode(ppd);
  if (IsMarked(ppd, "Tag_Commands", "ZPL"))
    SendFrame1(kCommandSetFrame, 0x01);
  std::printf("^XA\r\n^PW%u\r\n^LL%u\r\n", header->cupsWidth, header->cupsHeight);
  if (SendsDarkness(ppd, header))
    std::printf("~SD%u\r\n", header->cupsCompression);
  if (const char *rate = PrintRate(ppd))
    std::printf("^PR%d\r\n", ParseInt(rate));
}

void StartTsplLabel(ppd_file_t *ppd, const cups_page_header2_t *header) {
  SendPrintMode(ppd);
  if (IsMarked(ppd, "Tag_Commands", "TSPL"))
    SendFrame1(kCommandSetFrame, 0x00);
  // The label size in inches is a single-precision quotient on each axis.
  const float width =
      static_cast<float>(header->cupsWidth) / static_cast<float>(header->HWResolution[0]);
  const float height =
      static_cast<float>(header->cupsHeight) / static_cast<float>(header->HWResolution[1]);
  std::printf("SIZE %.1f mm,%.1f mm\r\n", static_cast<double>(width) * 25.4,
              static_cast<double>(height) * 25.4);
  if (SendsDarkness(ppd, header))
    std::printf("DENSITY %u\r\n", header->cupsCompression);
  if (const char *rate = PrintRate(ppd))
    std::printf("SPEED %d\r\n", ParseInt(rate));
  if (header->AdvanceDistance == 1000) {
    std::fputs("OFFSET 0 mm\r\n", stdout);
  } else if (const char *tear = MarkedChoiceName(ppd, "zeTearOffPosition")) {
    std::printf("OFFSET %d mm\r\n", ParseInt(tear));
  }
  std::fputs("CLS\r\n", stdout);
}

} // namespace

void Setup(ppd_file_t *ppd) {
  ModelNumber = ppd->model_number;
  if (IsMarked(ppd, "Tag_Commands", "ZPL"))
    ModelNumber = 18;
  SendMediaTracking(ppd);
  SendFeedOffset(ppd);
}

void StartPage(ppd_file_t *ppd, cups_page_header2_t *header) {
  LogPageHeader(header);
  // The row buffer is taken before any printer byte, so that a failed
  // allocation leaves no label half-sent.
  const uint32_t width = header->cupsBytesPerLine;
  Buffer = static_cast<unsigned char *>(std::malloc(width != 0 ? width : 1));
  if (Buffer == nullptr)
    return;
  if (ModelNumber == 18)
    StartZplLabel(ppd, header);
  else if (ModelNumber == 48)
    StartTsplLabel(ppd, header);
}

void EndPage(ppd_file_t * /*ppd*/, cups_page_header2_t *header) {
  const unsigned copies = header->NumCopies > 1 ? header->NumCopies : 1;
  switch (ModelNumber) {
  case 0:
    std::fputs("\x1B"
               "E",
               stdout);
    break;
  case 16:
    std::fputs("\x1B"
               "E\f",
               stdout);
    break;
  case 17:
    std::fputs("P1\n", stdout);
    if (HeaderInt(header->CutMedia) != 0)
      std::fputs("C\n", stdout);
    break;
  case 18:
    std::printf("^PQ%u,0,1,N\r\n^XZ\r\n", copies);
    SendFrame1(kCommandSetFrame, 0xFF, false);
    break;
  case 48:
    std::printf("\r\nPRINT 1,%u\r\n", copies);
    SendFrame1(kCommandSetFrame, 0xFF, false);
    break;
  default:
    break;
  }
  std::fflush(stdout);
  std::free(Buffer);
  Buffer = nullptr;
}
