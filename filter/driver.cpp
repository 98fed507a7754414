// Entry point and page loop of the label raster filter.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
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

int32_t MillimetresToDots(int32_t mm, uint32_t res) {
  // Unsigned multiplication wraps where signed would overflow; the result is
  // the two's-complement 32-bit product.
  const auto product = static_cast<int32_t>(static_cast<uint32_t>(mm) * res);
  return static_cast<int32_t>(product / 25.4);
}

void ShiftCells(unsigned char *data, uint64_t count, uint64_t cell, int64_t shift) {
  if (shift == 0)
    return;
  const uint64_t magnitude =
      shift > 0 ? static_cast<uint64_t>(shift) : 0 - static_cast<uint64_t>(shift);
  const uint64_t moved = magnitude < count ? magnitude : count;
  const uint64_t kept = count - moved;
  if (shift > 0) {
    std::memmove(data + moved * cell, data, kept * cell);
    std::memset(data, 0xFF, moved * cell);
  } else {
    std::memmove(data, data + moved * cell, kept * cell);
    std::memset(data + kept * cell, 0xFF, moved * cell);
  }
}

// Sleeps a full second even when a signal interrupts the sleep.
static void SleepOneSecond() {
  timespec left{1, 0};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// Reports one job-list entry; returns true when the job is held or stopped.
static bool ReportJobState(int job_id, ipp_jstate_t state, bool *stop_walking) {
  switch (state) {
  case IPP_JSTATE_HELD:
  case IPP_JSTATE_STOPPED:
    std::fprintf(stderr, "Job %d is paused. Sleeping for 1 second...\n", job_id);
    std::fflush(stderr);
    return true;
  case IPP_JSTATE_PROCESSING:
    std::fprintf(stderr, "Job %d is now processing...\n", job_id);
    std::fflush(stderr);
    break;
  case IPP_JSTATE_COMPLETED:
    std::fprintf(stderr, "Job %d has completed.\n", job_id);
    std::fflush(stderr);
    break;
  case IPP_JSTATE_CANCELED:
    std::fprintf(stderr, "Job %d has been canceled.\n", job_id);
    std::fflush(stderr);
    *stop_walking = true;
    break;
  default:
    break;
  }
  return false;
}

void check_job_status_and_wait(int job_id) {
  for (;;) {
    cups_job_t *jobs = nullptr;
    const int count = cupsGetJobs(&jobs, nullptr, 0, 0);
    if (jobs == nullptr) {
      std::fputs("No jobs found or an error occurred.\n", stderr);
      std::fflush(stderr);
      return;
    }
    bool paused = false;
    bool stop_walking = false;
    for (int i = 0; i < count && !paused && !stop_walking; ++i) {
      if (jobs[i].id == job_id)
        paused = ReportJobState(job_id, jobs[i].state, &stop_walking);
    }
    cupsFreeJobs(count, jobs);
    if (!paused)
      return;
    SleepOneSecond();
  }
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

// Reads up to the page's rows; returns the bytes delivered.
static uint64_t ReadPage(cups_raster_t *ras, const cups_page_header2_t &header,
                         unsigned char *all_data) {
  uint64_t off_set = 0;
  for (uint32_t y = 0; y < header.cupsHeight; ++y) {
    const unsigned read_pixel =
        cupsRasterReadPixels(ras, all_data + off_set, header.cupsBytesPerLine);
    if (read_pixel == 0)
      break;
    off_set += read_pixel;
  }
  return off_set;
}

// Inverts the delivered bytes when Negative is "off"; rows the stream did not
// deliver print white either way.
static void InvertAndPad(ppd_file_t *ppd, unsigned char *all_data, uint64_t delivered,
                         uint64_t size) {
  const char *negative = MarkedChoiceName(ppd, "Negative");
  if (negative != nullptr && std::strcmp(negative, "off") == 0) {
    for (uint64_t i = 0; i < delivered; ++i)
      all_data[i] = static_cast<unsigned char>(~all_data[i]);
  }
  std::memset(all_data + delivered, 0xFF, size - delivered);
}

// Moves the page down (positive millimetres) or up by yReference.
static void ShiftPageVertically(ppd_file_t *ppd, const cups_page_header2_t &header,
                                unsigned char *all_data) {
  if (ppdIsMarked(ppd, "yReference", "PrinterS"))
    return;
  const char *choice = MarkedChoiceName(ppd, "yReference");
  if (choice == nullptr)
    return;
  const int n = std::atoi(choice);
  // A distance along the feed is measured in feed-direction dots.
  const int32_t yshift = MillimetresToDots(n, header.HWResolution[1]);
  std::fprintf(stderr, "DEBUG: *@@@@@@@垂直偏移为: %d ， %d\n", yshift, n);
  ShiftCells(all_data, header.cupsHeight, header.cupsBytesPerLine, yshift);
}

// Feeds the page's rows to the renderer with a progress report every 16 rows;
// returns false as soon as the printer data can no longer be written.
static bool PrintRows(ppd_file_t *ppd, cups_page_header2_t *header, const unsigned char *all_data) {
  const uint32_t y_cupsHeight = header->cupsHeight;
  const uint64_t width = header->cupsBytesPerLine;
  for (uint32_t y = 0; y != y_cupsHeight; ++y) {
    if (y % 16 == 0) {
      const auto percent = static_cast<unsigned>(uint64_t{y} * 100 / header->cupsHeight);
      _cupsLangPrintFilter(stderr, "INFO", "Printing page %d, %u%% complete.", Page, percent);
      std::fprintf(stderr, "ATTR: job-media-progress=%u\n", percent);
    }
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

// Takes the page buffer, or reports why the page cannot be printed.
static unsigned char *AllocatePage(const cups_page_header2_t &header, uint64_t size) {
  if (size > VELLUM_MAX_PAGE_BYTES || header.cupsHeight > VELLUM_MAX_PAGE_ROWS) {
    _cupsLangPrintFilter(stderr, "ERROR", "Page %d is too large to print (%u x %u).", Page + 1,
                         header.cupsBytesPerLine, header.cupsHeight);
    return nullptr;
  }
  auto *all_data = static_cast<unsigned char *>(std::malloc(size != 0 ? size : 1));
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

  const uint64_t delivered = ReadPage(ras, *header, all_data);
  InvertAndPad(ppd, all_data, delivered, size);
  ShiftPageVertically(ppd, *header, all_data);
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
  const int job_id = std::atoi(argv[1]);

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
