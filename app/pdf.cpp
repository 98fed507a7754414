// PDF documents (most carriers' shipping labels) through Ghostscript, run as
// CUPS runs it for the PPDs: the cups device at the printer's resolution,
// 8-bit black ink, no margins and centre-of-pixel filling, so that a bar of
// n dots prints n dots wide. Its raster pages go to the label engine as the
// filter's do.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "print.h"

extern char **environ;

namespace vellum_app {

namespace {

// Ghostscript's command line for a PDF (from its standard input) on a
// label of the job's size.
std::vector<std::string> GhostscriptArgs(const pappl_pr_options_t &options) {
  const int dpi_x = options.printer_resolution[0], dpi_y = options.printer_resolution[1];
  // Hundredths of millimetres to points.
  const long width = std::lround(options.media.size_width * 72.0 / 2540.0);
  const long length = std::lround(options.media.size_length * 72.0 / 2540.0);
  return {"gs",
          "-dQUIET",
          "-dSAFER",
          "-dNOPAUSE",
          "-dBATCH",
          "-dNOINTERPOLATE",
          "-dNOMEDIAATTRS",
          "-dShowAcroForm",
          "-sstdout=%stderr",
          "-sOutputFile=%stdout",
          "-sDEVICE=cups",
          "-r" + std::to_string(dpi_x) + "x" + std::to_string(dpi_y),
          "-dDEVICEWIDTHPOINTS=" + std::to_string(width),
          "-dDEVICEHEIGHTPOINTS=" + std::to_string(length),
          "-dFIXEDMEDIA",
          "-dPDFFitPage",
          "-dcupsBitsPerColor=8",
          "-dcupsColorOrder=0",
          "-dcupsColorSpace=3",
          "-c",
          "<</.HWMargins[0 0 0 0] /Margins[0 0]>>setpagedevice",
          "0 0 .setfilladjust2",
          "-f",
          "-"};
}

// A Ghostscript started for a command line: it reads the PDF from `in`
// and writes its raster to `out`.
struct Ghostscript {
  std::vector<std::string> args;
  pid_t pid = 0;
  int in = -1, out = -1;
};

// Starts Ghostscript with the PDF on one pipe and its raster on another;
// false when it cannot.
bool StartGhostscript(const std::vector<std::string> &args, Ghostscript *gs) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0)
    return false;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char *> argv;
  for (const std::string &arg : args)
    argv.push_back(const_cast<char *>(arg.c_str()));
  argv.push_back(nullptr);
  const int spawned = posix_spawnp(&gs->pid, "gs", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  if (spawned != 0) {
    close(in[1]);
    close(out[0]);
    errno = spawned;
    return false;
  }
  gs->args = args;
  gs->in = in[1];
  gs->out = out[0];
  return true;
}

// Ghostscript takes about 30 ms to start, most of a label's time: the next
// job's is started when a job takes one, with the same command line (the
// printer's resolution and the label size), and waits for its PDF. A few
// are kept, for printers with other labels.
std::mutex warm_mutex;
std::vector<Ghostscript> warm;
constexpr size_t kWarmMost = 4;

// Ends a Ghostscript that was never given a PDF: with its input closed it
// has nothing to print and exits.
void Dismiss(Ghostscript &gs) {
  close(gs.in);
  close(gs.out);
  while (waitpid(gs.pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// A started Ghostscript for these arguments: a waiting one, else a new one;
// either way another waits for the next job. False when none can start.
bool TakeGhostscript(const std::vector<std::string> &args, Ghostscript *gs) {
  const std::lock_guard<std::mutex> lock(warm_mutex);
  const auto found = std::find_if(warm.begin(), warm.end(),
                                  [&args](const Ghostscript &w) { return w.args == args; });
  bool taken = false;
  if (found != warm.end()) {
    *gs = *found;
    warm.erase(found);
    taken = true;
  } else {
    taken = StartGhostscript(args, gs);
  }
  if (warm.size() >= kWarmMost) {
    Dismiss(warm.front());
    warm.erase(warm.begin());
  }
  Ghostscript next;
  if (StartGhostscript(args, &next))
    warm.push_back(next);
  return taken;
}

// Sends the PDF file to Ghostscript's input and closes it; false when it
// could not all be sent.
bool SendPdf(const char *path, int to) {
  const int from = open(path, O_RDONLY | O_CLOEXEC);
  bool sent = from >= 0;
  char data[65536];
  ssize_t got = 0;
  while (sent && (got = read(from, data, sizeof data)) > 0) {
    for (ssize_t done = 0; sent && done < got;) {
      const ssize_t n = write(to, data + done, static_cast<size_t>(got - done));
      sent = n > 0;
      done += n > 0 ? n : 0;
    }
  }
  if (from >= 0)
    close(from);
  close(to);
  return sent && got == 0;
}

// Whether the PDF file ends as a whole one does, with %%EOF in its last
// kilobyte. Ghostscript repairs a cut file and prints what it finds, which
// for a label cut short may be a label without its barcode.
bool EndsWhole(const char *path) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  char tail[1024];
  const off_t size = lseek(fd, 0, SEEK_END);
  const off_t from =
      size > static_cast<off_t>(sizeof tail) ? size - static_cast<off_t>(sizeof tail) : 0;
  const ssize_t got = pread(fd, tail, sizeof tail, from);
  close(fd);
  return got > 0 && std::string(tail, static_cast<size_t>(got)).find("%%EOF") != std::string::npos;
}

// Waits for Ghostscript; true when it ended well.
bool EndedWell(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

bool PrintPdf(pappl_job_t *job, pappl_device_t *device, void * /*data*/) {
  if (!EndsWhole(papplJobGetFilename(job))) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The PDF document is cut short (it has no %%%%EOF).");
    papplJobSetMessage(job, "The PDF document is cut short.");
    return false;
  }
  pappl_pr_options_t *options = papplJobCreatePrintOptions(job, 1, false);
  Ghostscript gs;
  if (!TakeGhostscript(GhostscriptArgs(*options), &gs)) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to start Ghostscript: %s", std::strerror(errno));
    papplJobDeletePrintOptions(options);
    return false;
  }
  const bool sent = SendPdf(papplJobGetFilename(job), gs.in);
  const int raster_fd = gs.out;

  LabelJob label;
  bool printed = OpenLabelJob(label, job, *options, device);
  if (printed)
    Setup(label);
  cups_raster_t *ras = cupsRasterOpen(raster_fd, CUPS_RASTER_READ);
  const RowReader read_row = [ras](unsigned char *row, uint32_t bytes) {
    return cupsRasterReadPixels(ras, row, bytes) != 0;
  };
  int pages = 0;
  cups_page_header2_t header;
  while (printed && !papplJobIsCanceled(job) && cupsRasterReadHeader2(ras, &header)) {
    header.cupsCompression = DarknessLevel(*options);
    header.NumCopies = JobCopies(job);
    printed = PrintPage(label, &header, read_row) == PageOutcome::kPrinted;
    if (printed)
      papplJobSetImpressionsCompleted(job, 1);
    ++pages;
  }
  cupsRasterClose(ras);
  close(raster_fd);
  const bool converted = EndedWell(gs.pid) && sent;
  if (label.out != nullptr)
    printed = CloseLabelJob(label) && printed;
  papplJobDeletePrintOptions(options);

  if (!converted && !papplJobIsCanceled(job)) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The PDF document could not be read.");
    papplJobSetMessage(job, "The PDF document could not be read.");
    return false;
  }
  if (pages == 0 && !papplJobIsCanceled(job)) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The PDF document has no pages.");
    return false;
  }
  if (!printed)
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to send the labels to the printer.");
  return printed;
}

} // namespace vellum_app
