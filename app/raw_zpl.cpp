// ZPL programs from shipping software and carriers' label services, sent to
// the printer as they are, after the frames that set up every job of the
// CUPS filter (media tracking, feed offset, print mode, the ZPL command
// set), so that a printer left in another language reads them as ZPL.
#include <cstring>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "print.h"

namespace vellum_app {

namespace {

// Where the label in progress at `from` ends: just past its ^XZ, or the
// end of the data when it has none.
size_t EndOfLabel(const std::string &data, size_t from) {
  const size_t end = data.find("^XZ", from);
  return end == std::string::npos ? data.size() : end + 3;
}

// Counts the labels (^XA) of a ZPL program.
int CountLabels(const std::string &data) {
  int labels = 0;
  for (size_t at = data.find("^XA"); at != std::string::npos; at = data.find("^XA", at + 3))
    ++labels;
  return labels;
}

// Reads the whole document; false when it cannot be read.
bool ReadDocument(const char *path, std::string *data) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  char buffer[65536];
  ssize_t got = 0;
  while ((got = read(fd, buffer, sizeof buffer)) > 0)
    data->append(buffer, static_cast<size_t>(got));
  close(fd);
  return got == 0;
}

} // namespace

bool PrintRawZpl(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device) {
  std::string data;
  if (!ReadDocument(papplJobGetFilename(job), &data)) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to read the ZPL program: %s",
                std::strerror(errno));
    return false;
  }
  papplJobSetImpressions(job, CountLabels(data));

  LabelJob label;
  if (!OpenLabelJob(label, job, *options, device))
    return false;
  Setup(label);
  StartRawZpl(label);
  // In pieces, so that a cancel stops after the label in progress.
  constexpr size_t kPiece = 16384;
  size_t sent = 0;
  while (sent < data.size()) {
    size_t end = std::min(sent + kPiece, data.size());
    const bool canceled = papplJobIsCanceled(job);
    if (canceled)
      end = EndOfLabel(data, sent);
    std::fwrite(data.data() + sent, 1, end - sent, label.out);
    sent = end;
    if (canceled || std::ferror(label.out))
      break;
  }
  EndRawZpl(label);
  const bool delivered = CloseLabelJob(label);
  if (!delivered)
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to send the ZPL program to the printer.");
  else
    papplJobSetImpressionsCompleted(job, CountLabels(data.substr(0, sent)));
  return delivered;
}

} // namespace vellum_app
