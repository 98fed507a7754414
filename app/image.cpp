// PNG and JPEG documents, read here rather than by PAPPL: PAPPL 1.3's PNG
// reader never ends on a truncated file and its JPEG reader prints one as
// if it were whole, and a label printer must reject a damaged image (the
// job aborts with a message) and go on with the next job. A readable image
// goes to PAPPL's image printing, which places and scales it on the label
// and calls the raster callbacks; of an image larger than the label (with
// a resolution to tell), the parts print-scaling chooses, each on a label of
// its own.
#include <string>

#include "image_read.h"
#include "pappl/patches.h"
#include "print.h"

namespace vellum_app {

namespace {

// Prints an image through PAPPL at its resolution (0: fitted on the
// label), with a copy of the job's options that PAPPL may change.
bool FilterImage(pappl_job_t *job, pappl_device_t *device, const pappl_pr_options_t &options,
                 const GreyImage &image, int ppi) {
  pappl_pr_options_t each = options;
  PrintNextImageOnce(job);
  return papplJobFilterImage(job, device, &each, image.pixels.data(), static_cast<int>(image.width),
                             static_cast<int>(image.height), 1, ppi, false);
}

// Prints a grey image read from the job's document through PAPPL, with
// the job's copies left to the printer's own copy count. Of an image with
// a resolution that is larger than the label, the parts print-scaling
// chooses print at full size, each on a label of its own.
bool PrintGreyImage(pappl_job_t *job, pappl_device_t *device, const GreyImage &image) {
  pappl_pr_options_t *options = papplJobCreatePrintOptions(job, 1, false);
  options->copies = 1;
  PageLayout layout;
  const std::vector<GreyImage> parts = ImageParts(options->print_scaling, options->media.size_width,
                                                  options->media.size_length, image, &layout);
  if (layout.laid_out)
    ReportLayout(job, 1, options->print_scaling, layout);
  bool printed = false;
  if (parts.empty()) {
    printed = FilterImage(job, device, *options, image, 0);
  } else {
    options->print_scaling = PAPPL_SCALING_NONE;
    const int ppi = static_cast<int>(image.ppi);
    if (parts.size() == 1) {
      printed = FilterImage(job, device, *options, parts[0], ppi);
    } else {
      // The labels of one image print as the pages of one job.
      printed = PrintAsOneJob(job, *options, device, [&] {
        for (const GreyImage &part : parts)
          if (papplJobIsCanceled(job) || !FilterImage(job, device, *options, part, ppi))
            return papplJobIsCanceled(job);
        return true;
      });
      papplJobSetImpressions(job, static_cast<int>(parts.size()));
    }
  }
  papplJobDeletePrintOptions(options);
  return printed;
}

// Reads the job's image with `read` and prints it; a damaged image, or one
// beyond the budget, aborts the job with a message.
bool PrintImage(pappl_job_t *job, pappl_device_t *device, const char *format,
                ImageRead (*read)(const char *, unsigned, GreyImage *, std::string *)) {
  const std::string path = DocumentPath(job);
  if (path.empty())
    return false;
  pappl_pr_driver_data_t driver;
  papplPrinterGetDriverData(papplJobGetPrinter(job), &driver);
  GreyImage image;
  std::string why;
  const ImageRead got = read(path.c_str(), static_cast<unsigned>(driver.x_default), &image, &why);
  if (got == ImageRead::kDamaged) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The %s image could not be read: %s", format,
                why.c_str());
    papplJobSetMessage(job, "The %s image could not be read: %s", format, why.c_str());
    return false;
  }
  if (got == ImageRead::kTooLarge)
    return FailJob(job, why);
  return PrintGreyImage(job, device, image);
}

} // namespace

bool PrintJpeg(pappl_job_t *job, pappl_device_t *device, void * /*data*/) {
  return Contained(job, [&] { return PrintImage(job, device, "JPEG", ReadJpeg); });
}

bool PrintPng(pappl_job_t *job, pappl_device_t *device, void * /*data*/) {
  return Contained(job, [&] { return PrintImage(job, device, "PNG", ReadPng); });
}

} // namespace vellum_app
