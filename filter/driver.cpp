// Entry point and page loop of the label raster filter: the CUPS side of
// the label engine.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "vellumfilter.h"

volatile std::sig_atomic_t Canceled = 0;

static_assert(sizeof(std::sig_atomic_t) == 4, "Canceled is a 32-bit flag");

void CancelJob(int /*sig*/) { Canceled = 1; }

// The filter built as vellumfilter_03 drives the 03 printer.
#ifdef VELLUM_VARIANT_03
constexpr bool kVariant03 = true;
#else
constexpr bool kVariant03 = false;
#endif

// The printer's model number and the marked choice of every option of the
// PPD, after its defaults and the job's options are marked.
static LabelOptions OptionsFromPpd(ppd_file_t *ppd) {
  LabelOptions options;
  options.model_number = ppd->model_number;
  options.variant_03 = kVariant03;
  // The keywords first: looking a choice up moves the PPD's option cursor.
  std::vector<std::string> keywords;
  for (ppd_option_t *option = ppdFirstOption(ppd); option != nullptr; option = ppdNextOption(ppd))
    keywords.emplace_back(option->keyword);
  for (const std::string &keyword : keywords) {
    if (const ppd_choice_t *choice = ppdFindMarkedChoice(ppd, keyword.c_str()))
      options.marked.emplace(keyword, choice->choice);
  }
  return options;
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

  LabelJob job;
  job.options = OptionsFromPpd(ppd);
  job.job_id = job_id;
  Setup(job);

  const RowReader read_row = [ras](unsigned char *row, uint32_t bytes) {
    return cupsRasterReadPixels(ras, row, bytes) != 0;
  };
  PageOutcome outcome = PageOutcome::kPrinted;
  cups_page_header2_t header;
  while (cupsRasterReadHeader2(ras, &header)) {
    if (Canceled)
      break;
    check_job_status_and_wait(job_id);
    outcome = PrintPage(job, &header, read_row);
    if (outcome != PageOutcome::kPrinted || Canceled)
      break;
  }

  const int32_t pages = job.page;
  ReleaseLabelJob(job);
  CloseJob(ras, fd, ppd, num_options, options);
  // A printer that did not get every byte must not count as printed.
  if (outcome == PageOutcome::kOutputFailed || std::fflush(stdout) != 0) {
    _cupsLangPrintError("ERROR", "Unable to write print data");
    return 1;
  }
  if (outcome == PageOutcome::kTooLarge)
    return 1;
  if (pages == 0) {
    _cupsLangPrintFilter(stderr, "ERROR", "No pages were found.");
    return 1;
  }
  return 0;
}
