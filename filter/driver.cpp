// Entry point and page loop of the label raster filter.
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "vellumfilter.h"

int32_t Page = 0;
volatile std::sig_atomic_t Canceled = 0;

static_assert(sizeof(std::sig_atomic_t) == 4, "Canceled is a 32-bit flag");

void CancelJob(int /*sig*/) { Canceled = 1; }

const char *MarkedChoiceName(ppd_file_t *ppd, const char *keyword) {
  const ppd_choice_t *choice = ppdFindMarkedChoice(ppd, keyword);
  return choice ? choice->choice : nullptr;
}

int32_t ParseInt(const char *text) {
  static_assert(sizeof(long long) == 8, "strtoll reads 64-bit numbers");
  const long long value = std::strtoll(text, nullptr, 10);
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long long>(value)));
}

int32_t MillimetresToDots(int32_t mm, uint32_t res) {
  // Unsigned multiplication wraps where signed would overflow; the result is
  // the two's-complement 32-bit product.
  const auto product = static_cast<int32_t>(static_cast<uint32_t>(mm) * res);
  return static_cast<int32_t>(product / 25.4);
}

// Releases what the run holds, in the order the job opened it.
static void CloseJob(cups_raster_t *ras, int fd, ppd_file_t *ppd, int num_options,
                     cups_option_t *options) {
  if (ras != nullptr)
    cupsRasterClose(ras);
  if (fd != 0)
    close(fd);
  ppdClose(ppd);
  cupsFreeOptions(num_options, options);
}

// The vertical shift in rows for yReference and the millimetres it comes
// from; false when the page keeps its place.
static bool VerticalShift(ppd_file_t *ppd, const cups_page_header2_t &header, int *mm,
                          int32_t *rows) {
  if (ppdIsMarked(ppd, "yReference", "PrinterS"))
    return false;
  const char *choice = MarkedChoiceName(ppd, "yReference");
  if (choice == nullptr)
    return false;
  *mm = ParseInt(choice);
  // A distance along the feed is measured in feed-direction dots.
  *rows = MillimetresToDots(*mm, header.HWResolution[1]);
  return true;
}

// Reads the page's rows, each straight to where the vertical shift puts it:
// row y of the stream lands at row y + yshift (positive moves the image
// down). Rows that fall off the page are read into Buffer and dropped.
// Returns how many rows were placed, from row *first on.
static uint64_t ReadPage(cups_raster_t *ras, const cups_page_header2_t &header,
                         unsigned char *all_data, int32_t yshift, uint64_t *first) {
  const uint64_t height = header.cupsHeight;
  const uint64_t width = header.cupsBytesPerLine;
  const uint64_t magnitude =
      yshift < 0 ? 0 - static_cast<uint64_t>(static_cast<int64_t>(yshift)) : uint64_t(yshift);
  const uint64_t moved = magnitude < height ? magnitude : height;
  const uint64_t skipped = yshift < 0 ? moved : 0; // stream rows above the page
  *first = yshift > 0 ? moved : 0;
  uint64_t placed = 0;
  for (uint64_t y = 0; y < height; ++y) {
    const bool kept = y >= skipped && y < skipped + height - moved;
    unsigned char *row = kept ? all_data + (*first + y - skipped) * width : Buffer;
    if (cupsRasterReadPixels(ras, row, header.cupsBytesPerLine) == 0)
      break;
    placed += kept ? 1 : 0;
  }
  return placed;
}

// Inverts the placed bytes [begin, end) when Negative is "off"; the rest of
// the page, uncovered by the shift or not delivered by a short stream,
// prints white either way.
static void InvertAndPad(ppd_file_t *ppd, unsigned char *all_data, uint64_t begin, uint64_t end,
                         uint64_t size) {
  const char *negative = MarkedChoiceName(ppd, "Negative");
  if (negative != nullptr && std::strcmp(negative, "off") == 0) {
    for (uint64_t i = begin; i < end; ++i)
      all_data[i] = static_cast<unsigned char>(~all_data[i]);
  }
  std::memset(all_data, 0xFF, begin);
  std::memset(all_data + end, 0xFF, size - end);
}

// Reads, inverts and shifts the page into all_data.
static void LoadPage(cups_raster_t *ras, ppd_file_t *ppd, const cups_page_header2_t &header,
                     unsigned char *all_data, uint64_t size) {
  int mm = 0;
  int32_t yshift = 0;
  const bool shifted = VerticalShift(ppd, header, &mm, &yshift);
  uint64_t first = 0;
  const uint64_t placed = ReadPage(ras, header, all_data, shifted ? yshift : 0, &first);
  const uint64_t width = header.cupsBytesPerLine;
  InvertAndPad(ppd, all_data, first * width, (first + placed) * width, size);
  // The shift is taken again now that the page is read: its conversion may
  // leave errno for the band messages, as it does after the read.
  if (shifted && VerticalShift(ppd, header, &mm, &yshift))
    std::fprintf(stderr, "DEBUG: *@@@@@@@垂直偏移为: %d ， %d\n", yshift, mm);
}

// Reports how much of the page is printed: the localised INFO line and the
// progress attribute, formed in memory and sent in one write.
static void ReportProgress(unsigned percent) {
  static char *text = nullptr;
  static size_t length = 0;
  static FILE *lines = open_memstream(&text, &length);
  // Without a memory stream the two lines go straight to stderr.
  FILE *target = lines != nullptr ? lines : stderr;
  if (lines != nullptr)
    std::rewind(lines);
  _cupsLangPrintFilter(target, "INFO", "Printing page %d, %u%% complete.", Page, percent);
  std::fprintf(target, "ATTR: job-media-progress=%u\n", percent);
  if (lines != nullptr) {
    std::fflush(lines);
    std::fwrite(text, 1, static_cast<size_t>(std::ftell(lines)), stderr);
  }
}

// Feeds the page's rows to the renderer with a progress report every 16 rows;
// returns false as soon as the printer data can no longer be written.
static bool PrintRows(ppd_file_t *ppd, cups_page_header2_t *header, const unsigned char *all_data) {
  const uint32_t y_cupsHeight = header->cupsHeight;
  const uint64_t width = header->cupsBytesPerLine;
  for (uint32_t y = 0; y != y_cupsHeight; ++y) {
    if (y % 16 == 0)
      ReportProgress(static_cast<unsigned>(uint64_t{y} * 100 / header->cupsHeight));
    std::memcpy(Buffer, all_data + y * width, width);
    OutputLine(ppd, header, y);
    if (std::ferror(stdout))
      return false;
  }
  return true;
}

enum class PageOutcome { kPrinted, kTooLarge, kOutputFailed };

// The largest page taken: far beyond any label, small enough that a crafted
// header with no data behind it cannot exhaust memory or run for hours.
#ifndef VELLUM_MAX_PAGE_BYTES
#define VELLUM_MAX_PAGE_BYTES (uint64_t{1} << 30)
#endif
#ifndef VELLUM_MAX_PAGE_ROWS
#define VELLUM_MAX_PAGE_ROWS 1000000u
#endif
// The size of a huge page; buffers of two and more ask for them.
#ifndef VELLUM_HUGE_PAGE_BYTES
#define VELLUM_HUGE_PAGE_BYTES (uint64_t{2} << 20)
#endif

// Takes the page buffer, or reports why the page cannot be printed.
static unsigned char *AllocatePage(const cups_page_header2_t &header, uint64_t size) {
  if (size > VELLUM_MAX_PAGE_BYTES || header.cupsHeight > VELLUM_MAX_PAGE_ROWS) {
    _cupsLangPrintFilter(stderr, "ERROR", "Page %d is too large to print (%u x %u).", Page + 1,
                         header.cupsBytesPerLine, header.cupsHeight);
    return nullptr;
  }
  unsigned char *all_data = nullptr;
  // A large buffer asks for huge pages: in 4 KiB pages, faulting in a fresh
  // buffer is a good part of a large label's time.
  constexpr uint64_t kHugePage = VELLUM_HUGE_PAGE_BYTES;
  if (size >= 2 * kHugePage) {
    all_data = static_cast<unsigned char *>(
        std::aligned_alloc(kHugePage, (size + kHugePage - 1) / kHugePage * kHugePage));
#ifdef MADV_HUGEPAGE
    if (all_data != nullptr)
      madvise(all_data, size / kHugePage * kHugePage, MADV_HUGEPAGE);
#endif
  } else {
    all_data = static_cast<unsigned char *>(std::malloc(size != 0 ? size : 1));
  }
  if (all_data == nullptr)
    _cupsLangPrintFilter(stderr, "ERROR", "Unable to allocate memory for page %d.", Page + 1);
  return all_data;
}

// Prints one page. A page that cannot be printed is refused before its first
// printer byte, so that no label is left half-sent.
static PageOutcome PrintPage(cups_raster_t *ras, ppd_file_t *ppd, cups_page_header2_t *header,
                             int job_id) {
  check_job_status_and_wait(job_id);

  const uint64_t size = uint64_t{header->cupsHeight} * header->cupsBytesPerLine;
  unsigned char *all_data = AllocatePage(*header, size);
  if (all_data == nullptr)
    return PageOutcome::kTooLarge;

  std::fprintf(stderr, "Processing job %d...\n", job_id);
  ++Page;
  std::fprintf(stderr, "PAGE: %d 1\n", Page);
  _cupsLangPrintFilter(stderr, "INFO", "Starting page %d.", Page);
  std::fflush(stderr);

  StartPage(ppd, header);
  if (Buffer == nullptr) {
    std::free(all_data);
    _cupsLangPrintFilter(stderr, "ERROR", "Unable to allocate memory for page %d.", Page);
    return PageOutcome::kTooLarge;
  }

  LoadPage(ras, ppd, *header, all_data, size);
  const bool sent = PrintRows(ppd, header, all_data);
  std::free(all_data);
  if (!sent) {
    std::free(Buffer);
    Buffer = nullptr;
    return PageOutcome::kOutputFailed;
  }

  _cupsLangPrintFilter(stderr, "INFO", "Finished page %d.", Page);
  EndPage(ppd, header);
  return std::ferror(stdout) ? PageOutcome::kOutputFailed : PageOutcome::kPrinted;
}

int main(int argc, char *argv[]) {
  std::setbuf(stderr, nullptr);

  if (argc < 2) {
    std::fprintf(stderr, "Usage: %s <job-id>\n", argc > 0 ? argv[0] : "vellumfilter");
    return 1;
  }
  if (argc != 6 && argc != 7) {
    _cupsLangPrintFilter(stderr, "ERROR", "%s job-id user title copies options [file]",
                         "vellumfilter");
    return 1;
  }
  const int job_id = ParseInt(argv[1]);

  int fd = 0;
  if (argc == 7) {
    fd = open(argv[6], O_RDONLY);
    if (fd == -1) {
      _cupsLangPrintError("ERROR", "Unable to open raster file");
      sleep(1);
      return 1;
    }
  }
  cups_raster_t *ras = cupsRasterOpen(fd, CUPS_RASTER_READ);

  // SA_RESTART lets a write to a slow backend that the signal interrupts
  // resume instead of failing and dropping buffered printer data.
  Canceled = 0;
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  action.sa_handler = CancelJob;
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  // A backend that goes away shows as a failed write, not a fatal signal.
  struct sigaction ignore {};
  sigemptyset(&ignore.sa_mask);
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, nullptr);

  cups_option_t *options = nullptr;
  const int num_options = cupsParseOptions(argv[5], 0, &options);

  ppd_file_t *ppd = ppdOpenFile(std::getenv("PPD"));
  if (ppd == nullptr) {
    _cupsLangPrintFilter(stderr, "ERROR", "The PPD file could not be opened.");
    int linenum = 0;
    const ppd_status_t status = ppdLastError(&linenum);
    std::fprintf(stderr, "DEBUG: %s on line %d.\n", ppdErrorString(status), linenum);
    CloseJob(ras, fd, nullptr, num_options, options);
    return 1;
  }
  ppdMarkDefaults(ppd);
  cupsMarkOptions(ppd, num_options, options);

  Setup(ppd);
  Page = 0;

  PageOutcome outcome = PageOutcome::kPrinted;
  cups_page_header2_t header;
  while (cupsRasterReadHeader2(ras, &header)) {
    if (Canceled)
      break;
    outcome = PrintPage(ras, ppd, &header, job_id);
    if (outcome != PageOutcome::kPrinted || Canceled)
      break;
  }

  CloseJob(ras, fd, ppd, num_options, options);
  // A printer that did not get every byte must not count as printed.
  if (outcome == PageOutcome::kOutputFailed || std::fflush(stdout) != 0) {
    _cupsLangPrintError("ERROR", "Unable to write print data");
    return 1;
  }
  if (outcome == PageOutcome::kTooLarge)
    return 1;
  if (Page == 0) {
    _cupsLangPrintFilter(stderr, "ERROR", "No pages were found.");
    return 1;
  }
  return 0;
}
