// PNG and JPEG documents, read here rather than by PAPPL: PAPPL 1.3's PNG
// reader never ends on a truncated file and its JPEG reader prints one as
// if it were whole, and a label printer must reject a damaged image (the
// job aborts with a message) and go on with the next job. A readable image
// goes to PAPPL's image printing, which places and scales it on the label
// and calls the raster callbacks; of an image larger than the label (with
// a resolution to tell), the part print-scaling chooses.
#include <string>

#include "image_read.h"
#include "print.h"

namespace vellum_app {

namespace {

// Prints a grey image read from the job's document through PAPPL, with
// the job's copies left to the printer's own copy count. An image with a
// resolution that is larger than the label prints the part print-scaling
// chooses at full size.
bool PrintGreyImage(pappl_job_t *job, pappl_device_t *device, GreyImage &image) {
  pappl_pr_options_t *options = papplJobCreatePrintOptions(job, 1, false);
  options->copies = 1;
  int image_ppi = 0;
  if (ImagePart(options->print_scaling, options->media.size_width, options->media.size_length,
                image)) {
    papplLogJob(job, PAPPL_LOGLEVEL_INFO, "The label on the image prints at full size.");
    options->print_scaling = PAPPL_SCALING_NONE;
    image_ppi = static_cast<int>(image.ppi);
  }
  const bool printed =
      papplJobFilterImage(job, device, options, image.pixels.data(), static_cast<int>(image.width),
                          static_cast<int>(image.height), 1, image_ppi, false);
  papplJobDeletePrintOptions(options);
  return printed;
}

// Reads the job's image with `read` and prints it; a damaged image, or one
// beyond the budget, aborts the job with a message.
bool PrintImage(pappl_job_t *job, pappl_device_t *device, const char *format,
                ImageRead (*read)(const char *, unsigned, GreyImage *, std::string *)) {
  if (!HasDocument(job))
    return false;
  pappl_pr_driver_data_t driver;
  papplPrinterGetDriverData(papplJobGetPrinter(job), &driver);
  GreyImage image;
  std::string why;
  const ImageRead got =
      read(papplJobGetFilename(job), static_cast<unsigned>(driver.x_default), &image, &why);
  if (got == ImageRead::kDamaged) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The %s image could not be read: %s", format,
                why.c_str());
    papplJobSetMessage(job, "The %s image could not be read: %s", format, why.c_str());
    return false;
  }
  if (got == ImageRead::kTooLarge) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", why.c_str());
    papplJobSetMessage(job, "%s", why.c_str());
    return false;
  }
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
