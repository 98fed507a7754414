// Printer programs from shipping software and carriers' label services
// (ZPL for ZPL printers, TSPL for TSPL printers), sent to the printer as
// they are, after the frames that set up every job of the CUPS filter
// (media tracking, feed offset, print mode, the command set), so that a
// printer left in the other language reads them in theirs.
#include <cerrno>
#include <cstring>
#include <string>

#include "budget.h"
#include "print.h"
#include "raw_program.h"

namespace vellum_app {

bool PrintRawProgram(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device) {
  std::string data;
  const std::string path = DocumentPath(job);
  if (path.empty())
    return false;
  // Programs are held whole: one longer than any label batch is refused.
  if (!ReadDocument(path.c_str(), &data)) {
    const std::string why =
        errno == EFBIG
            ? "The printer program is longer than " + std::to_string(kLongestProgram >> 20) +
                  " MiB, the most this printer takes."
            : "Unable to read the printer program: " + std::string(std::strerror(errno));
    return FailJob(job, why);
  }
  LabelJob label;
  if (!OpenLabelJob(label, job, *options, device))
    return false;
  const bool zpl = label.options.model_number == 18;
  papplJobSetImpressions(job, CountLabels(data, data.size(), zpl));
  Setup(label);
  StartRawProgram(label, zpl);
  // In pieces, so that a cancel stops after the label in progress.
  const size_t sent = SendProgram(data, zpl, label.out, [job] { return papplJobIsCanceled(job); });
  EndRawProgram(label);
  const bool delivered = CloseLabelJob(label, job, device);
  if (!delivered) {
    FailJob(job, "Unable to send the printer program to the printer.");
  } else { // PAPPL counts one after a printer program it passed on
    papplJobSetImpressionsCompleted(job, CountLabels(data, sent, zpl) - 1);
  }
  // A program that ends no label (settings only, or cut short) prints none.
  if (delivered && CountLabels(data, data.size(), zpl) == 0)
    papplJobSetMessage(job, "The program was sent; it ends no label (no %s), so none printed.",
                       zpl ? "^XZ" : "PRINT");
  return delivered;
}

} // namespace vellum_app
