// PNG and JPEG documents, read here rather than by PAPPL: PAPPL 1.3's PNG
// reader never ends on a truncated file and its JPEG reader prints one as
// if it were whole, and a label printer must reject a damaged image (the
// job aborts with a message) and go on with the next job. A readable image
// goes to PAPPL's image printing, which places and scales it on the label
// and calls the raster callbacks.
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <png.h>

#include "print.h"

namespace vellum_app {

namespace {

// Prints a grey image read from the job's document through PAPPL, with
// the job's copies left to the printer's own copy count.
bool PrintGreyImage(pappl_job_t *job, pappl_device_t *device, const std::vector<uint8_t> &pixels,
                    unsigned width, unsigned height) {
  pappl_pr_options_t *options = papplJobCreatePrintOptions(job, 1, false);
  options->copies = 1;
  const bool printed =
      papplJobFilterImage(job, device, options, pixels.data(), static_cast<int>(width),
                          static_cast<int>(height), 1, 0, false);
  papplJobDeletePrintOptions(options);
  return printed;
}

// Aborts the job with a message about its document.
bool Unreadable(pappl_job_t *job, const char *format, const std::string &why) {
  papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The %s image could not be read: %s", format, why.c_str());
  papplJobSetMessage(job, "The %s image could not be read: %s", format, why.c_str());
  return false;
}

// libjpeg's error handling: an error, and any warning (a truncated file
// is one), ends the reading with its message.
struct JpegErrors {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void JpegFail(j_common_ptr info) {
  auto *errors = reinterpret_cast<JpegErrors *>(info->err);
  (*info->err->format_message)(info, errors->message);
  std::longjmp(errors->jump, 1);
}

void JpegMessage(j_common_ptr info, int level) {
  if (level < 0)
    JpegFail(info);
}

// Reads the whole JPEG file as grey pixels; false with a message when it
// cannot.
bool ReadJpeg(const char *path, std::vector<uint8_t> *pixels, unsigned *width, unsigned *height,
              std::string *why) {
  FILE *file = std::fopen(path, "rb");
  if (file == nullptr) {
    *why = std::strerror(errno);
    return false;
  }
  jpeg_decompress_struct info;
  JpegErrors errors;
  info.err = jpeg_std_error(&errors.manager);
  errors.manager.error_exit = JpegFail;
  errors.manager.emit_message = JpegMessage;
  if (setjmp(errors.jump) != 0) {
    *why = errors.message;
    jpeg_destroy_decompress(&info);
    std::fclose(file);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_stdio_src(&info, file);
  jpeg_read_header(&info, TRUE);
  info.out_color_space = JCS_GRAYSCALE;
  jpeg_start_decompress(&info);
  *width = info.output_width;
  *height = info.output_height;
  pixels->resize(size_t{*width} * *height);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = pixels->data() + size_t{info.output_scanline} * *width;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  std::fclose(file);
  return true;
}

} // namespace

bool PrintJpeg(pappl_job_t *job, pappl_device_t *device, void * /*data*/) {
  std::vector<uint8_t> pixels;
  unsigned width = 0, height = 0;
  std::string why;
  if (!ReadJpeg(papplJobGetFilename(job), &pixels, &width, &height, &why))
    return Unreadable(job, "JPEG", why);
  return PrintGreyImage(job, device, pixels, width, height);
}

bool PrintPng(pappl_job_t *job, pappl_device_t *device, void * /*data*/) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  std::vector<uint8_t> pixels;
  bool read = png_image_begin_read_from_file(&image, papplJobGetFilename(job)) != 0;
  if (read) {
    image.format = PNG_FORMAT_GRAY;
    pixels.resize(PNG_IMAGE_SIZE(image));
    read = png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr) != 0;
  }
  const std::string why = image.message;
  png_image_free(&image);
  if (!read)
    return Unreadable(job, "PNG", why);
  return PrintGreyImage(job, device, pixels, image.width, image.height);
}

} // namespace vellum_app
