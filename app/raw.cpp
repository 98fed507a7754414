// Printer programs from shipping software and carriers' label services
// (ZPL for ZPL printers, TSPL for TSPL printers), sent to the printer as
// they are, after the frames that set up every job of the CUPS filter
// (media tracking, feed offset, print mode, the command set), so that a
// printer left in the other language reads them in theirs.
#include <cerrno>
#include <cstring>
#include <string>

#include "print.h"

namespace vellum_app {

namespace {

// What ends a label in each language.
const char *LabelEnd(bool zpl) { return zpl ? "^XZ" : "PRINT"; }

// Where the label in progress at `from` ends: just past its end command
// (and its line), or the end of the data when it has none.
size_t EndOfLabel(const std::string &data, size_t from, bool zpl) {
  const size_t end = data.find(LabelEnd(zpl), from);
  if (end == std::string::npos)
    return data.size();
  const size_t line = data.find('\n', end);
  return zpl || line == std::string::npos ? end + std::strlen(LabelEnd(zpl)) : line + 1;
}

// Counts the labels of a program by their end commands.
int CountLabels(const std::string &data, bool zpl) {
  int labels = 0;
  const char *end = LabelEnd(zpl);
  for (size_t at = data.find(end); at != std::string::npos; at = data.find(end, at + 1))
    ++labels;
  return labels;
}

} // namespace

bool PrintRawProgram(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device) {
  std::string data;
  if (!HasDocument(job))
    return false;
  if (!ReadDocument(papplJobGetFilename(job), &data)) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to read the printer program: %s",
                std::strerror(errno));
    return false;
  }
  LabelJob label;
  if (!OpenLabelJob(label, job, *options, device))
    return false;
  const bool zpl = label.options.model_number == 18;
  papplJobSetImpressions(job, CountLabels(data, zpl));
  Setup(label);
  StartRawProgram(label, zpl);
  // In pieces, so that a cancel stops after the label in progress.
  constexpr size_t kPiece = 16384;
  size_t sent = 0;
  while (sent < data.size()) {
    size_t end = std::min(sent + kPiece, data.size());
    const bool canceled = papplJobIsCanceled(job);
    if (canceled)
      end = EndOfLabel(data, sent, zpl);
    std::fwrite(data.data() + sent, 1, end - sent, label.out);
    sent = end;
    if (canceled || std::ferror(label.out))
      break;
  }
  EndRawProgram(label);
  const bool delivered = CloseLabelJob(label, job, device);
  if (!delivered)
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to send the printer program to the printer.");
  else // PAPPL counts one after a printer program it passed on
    papplJobSetImpressionsCompleted(job, CountLabels(data.substr(0, sent), zpl) - 1);
  // A program that ends no label (settings only, or cut short) prints none.
  if (delivered && CountLabels(data, zpl) == 0)
    papplJobSetMessage(job, "The program was sent; it ends no label (no %s), so none printed.",
                       LabelEnd(zpl));
  return delivered;
}

} // namespace vellum_app
