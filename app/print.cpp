// The raster callbacks of the drivers: every page is gathered from PAPPL's
// lines, then printed by the label engine exactly as the CUPS filter prints
// the same page with the same options.
#include "print.h"

#include "budget.h"
#include "printer_status.h"
#include "queue.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vellum_app {

namespace {

// The value of a vendor setting: the job's, else the printer's default
// (the owner's), else the driver's.
const char *VendorValue(const PrinterModel &model, const VendorSetting &setting,
                        const pappl_pr_options_t &options, ipp_t *printer_attrs) {
  if (const char *value = cupsGetOption(setting.name, options.num_vendor, options.vendor))
    return value;
  const std::string name = std::string(setting.name) + "-default";
  if (ipp_attribute_t *attr = ippFindAttribute(printer_attrs, name.c_str(), IPP_TAG_KEYWORD))
    return ippGetString(attr, 0, nullptr);
  return VendorDefault(model, setting);
}

// Marks the PPD choice that a vendor setting's keyword stands for.
void MarkVendorSetting(const PrinterModel &model, const VendorSetting &setting,
                       const pappl_pr_options_t &options, ipp_t *printer_attrs,
                       LabelOptions &label) {
  const char *value = VendorValue(model, setting, options, printer_attrs);
  // A value no choice names (stored before it could be refused) prints as
  // the default.
  int chosen = ChoiceIndex(setting, value);
  if (chosen < 0)
    chosen = ChoiceIndex(setting, VendorDefault(model, setting));
  if (chosen >= 0 && setting.ppd_choices[chosen][0] != '\0')
    label.marked[setting.keyword] = setting.ppd_choices[chosen];
}

// IPP media tracking as the PPD's choices: gap and web media both take the
// gap (web) frame; none leaves the printer's own setting.
const char *TrackingChoice(pappl_media_tracking_t tracking) {
  switch (tracking) {
  case PAPPL_MEDIA_TRACKING_CONTINUOUS:
    return "Continuous";
  case PAPPL_MEDIA_TRACKING_GAP:
  case PAPPL_MEDIA_TRACKING_WEB:
    return "Web";
  case PAPPL_MEDIA_TRACKING_MARK:
    return "Mark";
  default:
    return "PrinterS";
  }
}

// Hundredths of millimetres to whole millimetres, rounded to the nearest.
int WholeMillimetres(int hundredths) { return static_cast<int>(std::lround(hundredths / 100.0)); }

// A shift choice: whole millimetres within the supported -10 to 10, or the
// printer's own position for none.
std::string ShiftChoice(int mm) {
  mm = mm < -10 ? -10 : mm > 10 ? 10 : mm;
  return mm == 0 ? "PrinterS" : std::to_string(mm);
}

} // namespace

LabelOptions JobLabelOptions(const PrinterModel &model, const pappl_pr_options_t &options,
                             ipp_t *printer_attrs) {
  LabelOptions label;
  label.model_number = model.model_number;
  label.variant_03 = model.variant_03;
  std::map<std::string, std::string> &marked = label.marked;

  marked["zeMediaTracking"] = TrackingChoice(options.media.tracking);
  const unsigned darkness = DarknessLevel(options);
  marked["Darkness"] = darkness <= 15 ? std::to_string(darkness) : "PrinterS";
  const int speed = static_cast<int>(std::lround(options.print_speed / 2540.0));
  marked["zePrintRate"] = speed > 0 ? std::to_string(speed) : "PrinterS";
  // The vertical shift moves the image down; the horizontal one, in the
  // PPDs, moves it left, where IPP's left offset moves it right.
  marked["yReference"] = ShiftChoice(WholeMillimetres(options.media.top_offset));
  marked["zeReference"] = ShiftChoice(-WholeMillimetres(options.media.left_offset));
  marked["zeTearOffPosition"] = "0"; // TSPL printers' label-tear-off below

  // bi-level prints by the gamma threshold; monochrome dithers, by error
  // diffusion for photos and by the ordered screen for everything else.
  const char *halftone = "Threshold";
  if (options.print_color_mode == PAPPL_COLOR_MODE_MONOCHROME)
    halftone = options.print_content_optimize == PAPPL_CONTENT_PHOTO ? "Diffusion" : "Ordered";
  marked["Halftone"] = halftone;

  for (const VendorSetting *const *s = VendorSettings(model); *s != nullptr; ++s)
    MarkVendorSetting(model, **s, options, printer_attrs, label);
  return label;
}

unsigned DarknessLevelOf(int darkness) { return static_cast<unsigned>((darkness * 15 + 50) / 100); }

unsigned DarknessLevel(const pappl_pr_options_t &options) {
  if (options.darkness_configured == kDarknessPrinterDefault && options.print_darkness == 0)
    return 16;
  // print-darkness (-100 to 100) moves the configured darkness (0 to 100).
  int darkness = options.darkness_configured + options.print_darkness;
  darkness = darkness < 0 ? 0 : darkness > 100 ? 100 : darkness;
  return DarknessLevelOf(darkness);
}

namespace {

// Points (1/72 in) from hundredths of millimetres, whole as the label size
// is given to Ghostscript.
uint32_t Points(int hundredths) {
  return static_cast<uint32_t>(std::lround(hundredths * 72.0 / 2540.0));
}

} // namespace

Extent LabelPoints(const pappl_pr_options_t &options) {
  return {Points(options.media.size_width), Points(options.media.size_length)};
}

Extent LabelDots(const pappl_pr_options_t &options) {
  const Extent points = LabelPoints(options);
  const auto dots = [](uint32_t pts, int dpi) {
    return static_cast<uint32_t>(std::floor(pts * dpi / 72.0 + 0.5));
  };
  return {dots(points.width, options.printer_resolution[0]),
          dots(points.height, options.printer_resolution[1])};
}

bool FailJob(pappl_job_t *job, const std::string &why) {
  papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", why.c_str());
  papplJobSetMessage(job, "%s", why.c_str());
  return false;
}

std::string DocumentPath(pappl_job_t *job) {
  if (const char *path = papplJobGetFilename(job))
    return path;
  papplLogJob(job, PAPPL_LOGLEVEL_INFO, "The job has no document left: it was cancelled.");
  return {};
}

bool ReadDocument(const char *path, std::string *data, uint64_t most) {
  if (path == nullptr)
    return false;
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  struct stat info {};
  const bool sized = fstat(fd, &info) == 0;
  if (!sized || static_cast<uint64_t>(info.st_size) > most) {
    const int error = sized ? EFBIG : errno;
    close(fd);
    errno = error;
    return false;
  }
  data->reserve(static_cast<size_t>(info.st_size));
  char buffer[65536];
  ssize_t got = 0;
  while ((got = read(fd, buffer, sizeof buffer)) > 0 &&
         data->size() + static_cast<size_t>(got) <= most)
    data->append(buffer, static_cast<size_t>(got));
  close(fd);
  if (got > 0)
    errno = EFBIG;
  return got == 0;
}

unsigned JobCopies(pappl_job_t *job) {
  ipp_attribute_t *copies = papplJobGetAttribute(job, "copies");
  const int n = copies != nullptr ? ippGetInteger(copies, 0) : 1;
  return n > 1 ? static_cast<unsigned>(n) : 1;
}

namespace {

// Printer data go to PAPPL's device through a stdio stream, as the engine
// writes them.
ssize_t WriteToDevice(void *cookie, const char *data, size_t size) {
  const ssize_t written = papplDeviceWrite(static_cast<pappl_device_t *>(cookie), data, size);
  return written < 0 ? -1 : written;
}

// The filter's messages for the scheduler have no reader here.
ssize_t Discard(void * /*cookie*/, const char * /*data*/, size_t size) {
  return static_cast<ssize_t>(size);
}

} // namespace

bool OpenLabelJob(LabelJob &label, pappl_job_t *job, const pappl_pr_options_t &options,
                  pappl_device_t *device) {
  // Nothing goes to a printer that says it cannot print.
  pappl_printer_t *printer = papplJobGetPrinter(job);
  SetJobPhase(printer, papplJobGetID(job), JobPhase::kWaiting);
  KeepJobOrder(printer);
  if (!AwaitPrinterReady(job, device))
    return false;
  // A server that stops starts no label: the job waits for the end, and
  // prints whole at the next start.
  while (!SetJobPhase(printer, papplJobGetID(job), JobPhase::kSending))
    std::this_thread::sleep_for(std::chrono::seconds(1));
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  const auto *model = static_cast<const PrinterModel *>(data.extension);
  if (model == nullptr)
    return false;
  ipp_t *printer_attrs = papplPrinterGetDriverAttributes(printer);
  label.options = JobLabelOptions(*model, options, printer_attrs);
  ippDelete(printer_attrs);
  label.job_id = papplJobGetID(job);
  label.out =
      fopencookie(device, "w", cookie_io_functions_t{nullptr, WriteToDevice, nullptr, nullptr});
  label.log = fopencookie(nullptr, "w", cookie_io_functions_t{nullptr, Discard, nullptr, nullptr});
  if (label.out == nullptr || label.log == nullptr) {
    if (label.out != nullptr)
      std::fclose(label.out);
    if (label.log != nullptr)
      std::fclose(label.log);
    label.out = label.log = nullptr;
    return false;
  }
  std::setvbuf(label.out, nullptr, _IOFBF, 64 * 1024);
  return true;
}

bool CloseLabelJob(LabelJob &label, pappl_job_t *job, pappl_device_t *device) {
  pappl_printer_t *printer = papplJobGetPrinter(job);
  const bool sent =
      std::fflush(label.out) == 0 && std::ferror(label.out) == 0 && DeliveryConfirmed(job, device);
  SetJobPhase(printer, papplJobGetID(job), JobPhase::kSent);
  // PAPPL starts the printer's next job as this one ends: the oldest.
  KeepJobOrder(printer);
  ReleaseLabelJob(label);
  std::fclose(label.out);
  std::fclose(label.log);
  label.out = label.log = nullptr;
  return sent;
}

namespace {

// A job on its way to the printer.
struct AppJob {
  LabelJob label;
  RasterPage page;
  JobLimits limits;
  // The pages started, counted here: PAPPL numbers a job's pages from 1
  // before 1.4 and from 0 since, and an image's page always alike.
  unsigned pages = 0;
  bool failed = false;
  bool shared = false; // opened by PrintAsOneJob, which closes it
};

AppJob *JobData(pappl_job_t *job) { return static_cast<AppJob *>(papplJobGetData(job)); }

bool StartJob(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device) {
  if (const AppJob *shared = JobData(job); shared != nullptr && shared->shared)
    return true;
  auto *app_job = new AppJob;
  app_job->limits = JobLimitsNow();
  if (!OpenLabelJob(app_job->label, job, *options, device)) {
    delete app_job;
    return false;
  }
  Setup(app_job->label);
  // PAPPL calls the end of a job only for a job that started.
  if (std::ferror(app_job->label.out) != 0) {
    CloseLabelJob(app_job->label, job, device);
    delete app_job;
    return false;
  }
  papplJobSetData(job, app_job);
  return true;
}

// Whether PAPPL hands over its own page header for a raster page sent by
// a client rather than the client's: it does for a page that is not 8-bit
// grey, the one kind the printers take (PAPPL would read its lines at the
// client's width, which the driver never sees, and hand them over as if
// they were grey). A client's PWG or Apple raster header names the format
// ("PwgRaster"), which PAPPL's own leaves empty, so a client's 8-bit page
// is never mistaken for one.
bool NotGreyRaster(pappl_job_t *job, const pappl_pr_options_t &options) {
  const char *format = papplJobGetFormat(job);
  if (format == nullptr ||
      (std::strcmp(format, "image/pwg-raster") != 0 && std::strcmp(format, "image/urf") != 0))
    return false;
  pappl_pr_options_t *own =
      papplJobCreatePrintOptions(job, static_cast<unsigned>(papplJobGetImpressions(job)), false);
  const bool same = std::memcmp(&own->header, &options.header, sizeof own->header) == 0;
  papplJobDeletePrintOptions(own);
  return same;
}

// PAPPL calls this before it takes any memory for the page's lines: a page
// beyond the budget is refused by its header.
bool StartPage(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t * /*device*/,
               unsigned /*page*/) {
  AppJob *app_job = JobData(job);
  const unsigned page = ++app_job->pages;
  const std::string refused =
      NotGreyRaster(job, *options)
          ? "The page is not 8-bit grey raster, the one kind this printer takes."
          : StartRasterPage(app_job->page, options->header, page,
                            static_cast<unsigned>(options->printer_resolution[0]),
                            app_job->limits.pages);
  if (refused.empty())
    return true;
  app_job->failed = true;
  return FailJob(job, refused);
}

bool WriteLine(pappl_job_t *job, pappl_pr_options_t * /*options*/, pappl_device_t * /*device*/,
               unsigned y, const unsigned char *line) {
  KeepRasterLine(JobData(job)->page, y, line);
  return true;
}

bool EndPage(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t * /*device*/,
             unsigned /*page*/) {
  AppJob *app_job = JobData(job);
  const unsigned page = app_job->pages;
  // A cancelled job prints no more labels; none has been started of this one.
  if (papplJobIsCanceled(job))
    return true;
  // A document that ends within a page (a truncated file) aborts the job
  // before any byte of that label.
  if (!RasterPageWhole(app_job->page)) {
    app_job->failed = true;
    return FailJob(job, "The document ends within page " + std::to_string(page) + ".");
  }
  // A page larger than the label: the parts that print-scaling puts on
  // labels at full size (a raster page cannot be drawn again to fill it).
  PageLayout layout;
  const std::vector<RasterPage> labels =
      LabelsOfPage(app_job->page, options->print_scaling, LabelDots(*options),
                   static_cast<unsigned>(options->printer_resolution[0]), &layout);
  if (layout.laid_out)
    ReportLayout(job, page, options->print_scaling, layout);
  for (size_t i = 0; i < labels.size(); ++i) {
    // PAPPL counts the page; every further label counts as well.
    if (i > 0)
      papplJobSetImpressionsCompleted(job, 1);
    if (papplJobIsCanceled(job))
      return true;
    cups_page_header2_t header = labels[i].header;
    header.cupsCompression = DarknessLevel(*options);
    header.NumCopies = JobCopies(job);
    size_t next_row = 0;
    const PageOutcome outcome = PrintPage(app_job->label, &header, PageRows(labels[i], &next_row));
    if (outcome != PageOutcome::kPrinted) {
      app_job->failed = true;
      return FailJob(job, outcome == PageOutcome::kTooLarge
                              ? "The label is too large to print."
                              : "Unable to send the label to the printer.");
    }
  }
  return true;
}

bool EndJob(pappl_job_t *job, pappl_pr_options_t * /*options*/, pappl_device_t *device) {
  AppJob *app_job = JobData(job);
  if (app_job == nullptr)
    return false;
  if (app_job->shared)
    return !app_job->failed;
  const bool delivered = CloseLabelJob(app_job->label, job, device);
  if (!delivered && !app_job->failed && !papplJobIsCanceled(job))
    FailJob(job, "Unable to send the label to the printer.");
  const bool sent = delivered && !app_job->failed;
  delete app_job;
  papplJobSetData(job, nullptr);
  return sent;
}

} // namespace

void ReportLayout(pappl_job_t *job, unsigned page, pappl_scaling_t scaling,
                  const PageLayout &layout) {
  const auto parts = static_cast<unsigned>(layout.parts.size());
  if (scaling == PAPPL_SCALING_AUTO && parts == 1) {
    const Region &r = layout.parts[0];
    papplLogJob(job, PAPPL_LOGLEVEL_INFO,
                "Page %u: the label at %u,%u (%u x %u dots%s) prints at full size.", page, r.x, r.y,
                r.width, r.height, r.turned ? ", turned" : "");
  } else if (scaling == PAPPL_SCALING_AUTO && parts > 1) {
    papplLogJob(job, PAPPL_LOGLEVEL_INFO,
                "Page %u holds %u labels: each prints at full size on a label of its own.", page,
                parts);
    papplJobSetMessage(job, "Page %u held %u labels, each printed on a label of its own.", page,
                       parts);
  } else if (scaling == PAPPL_SCALING_AUTO) {
    const char *why = layout.doubtful ? "holds labels that could not be told apart"
                                      : "holds no label set apart on it";
    papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Page %u %s: it prints whole on one label.", page, why);
    papplJobSetMessage(job, "Page %u %s: it printed whole on one label.", page, why);
  } else if (layout.labels > 1) {
    const char *how = scaling == PAPPL_SCALING_NONE ? "none" : "fill";
    papplLogJob(job, PAPPL_LOGLEVEL_WARN,
                "Page %u holds %u labels; print-scaling=%s prints one part of the page.", page,
                static_cast<unsigned>(layout.labels), how);
    papplJobSetMessage(job,
                       "Page %u holds %u labels; print-scaling=%s printed one part of the page. "
                       "Print it with print-scaling=auto for each label on its own.",
                       page, static_cast<unsigned>(layout.labels), how);
  }
}

bool PrintAsOneJob(pappl_job_t *job, const pappl_pr_options_t &options, pappl_device_t *device,
                   const std::function<bool()> &print) {
  auto *app_job = new AppJob;
  app_job->shared = true;
  app_job->limits = JobLimitsNow();
  if (!OpenLabelJob(app_job->label, job, options, device)) {
    delete app_job;
    return false;
  }
  papplJobSetData(job, app_job);
  Setup(app_job->label);
  const bool printed = std::ferror(app_job->label.out) == 0 && print() && !app_job->failed;
  const bool sent = CloseLabelJob(app_job->label, job, device);
  delete app_job;
  papplJobSetData(job, nullptr);
  return printed && sent;
}

namespace {

// The web interface's test page: the sample shipping label (PDF), from
// where the package installs it or, in a build tree, from the sources. It
// is printed from a copy in the spool folder, as PAPPL removes a job's
// file with the job.
const char *TestPage(pappl_printer_t *printer, char *buffer, size_t size) {
  for (const char *path : {VELLUM_TEST_LABEL, VELLUM_SOURCE_TEST_LABEL}) {
    const int from = open(path, O_RDONLY | O_CLOEXEC);
    if (from < 0)
      continue;
    const int to = papplPrinterOpenFile(printer, buffer, size, nullptr, "testpage", "pdf", "w");
    bool copied = to >= 0;
    char data[8192];
    ssize_t got = 0;
    while (copied && (got = read(from, data, sizeof data)) > 0)
      copied = write(to, data, static_cast<size_t>(got)) == got;
    copied = copied && got == 0;
    close(from);
    if (to >= 0)
      copied = close(to) == 0 && copied;
    return copied ? buffer : nullptr;
  }
  return nullptr;
}

} // namespace

bool Contained(pappl_job_t *job, const std::function<bool()> &call) {
  const char *why = nullptr;
  std::string what;
  try {
    return call();
  } catch (const std::bad_alloc &) {
    why = "The server does not have the memory this job needs.";
  } catch (const std::exception &e) {
    what = std::string("The job failed: ") + e.what();
    why = what.c_str();
  } catch (...) {
    why = "The job failed.";
  }
  // No string is made here: the memory may be what failed.
  papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", why);
  papplJobSetMessage(job, "%s", why);
  return false;
}

void SetPrintCallbacks(const PrinterModel &model, pappl_pr_driver_data_t *data) {
  data->testpage_cb = TestPage;
  // The printers also take programs in their own language as they are.
  data->format = IsZpl(model) ? kZplFormat : kTsplFormat;
  // Nothing a job's callback throws leaves it (PAPPL is C: an exception
  // there would end the server).
  data->printfile_cb = [](pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device) {
    return Contained(job, [&] { return PrintRawProgram(job, options, device); });
  };
  data->rstartjob_cb = [](pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device) {
    return Contained(job, [&] { return StartJob(job, options, device); });
  };
  data->rstartpage_cb = [](pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                           unsigned page) {
    return Contained(job, [&] { return StartPage(job, options, device, page); });
  };
  data->rwriteline_cb = WriteLine;
  data->rendpage_cb = [](pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device,
                         unsigned page) {
    return Contained(job, [&] { return EndPage(job, options, device, page); });
  };
  data->rendjob_cb = [](pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device) {
    return Contained(job, [&] { return EndJob(job, options, device); });
  };
}

} // namespace vellum_app
