// PNG and JPEG documents, read here rather than by PAPPL: PAPPL 1.3's PNG
// reader never ends on a truncated file and its JPEG reader prints one as
// if it were whole, and a label printer must reject a damaged image (the
// job aborts with a message) and go on with the next job. A readable image
// goes to PAPPL's image printing, which places and scales it on the label
// and calls the raster callbacks; of an image larger than the label (with
// a resolution to tell), the parts print-scaling chooses, each on a label of
// its own.
#include <algorithm>
#include <cmath>
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

// A grey image: rows of `width` pixels, 0 black.
struct GreyImage {
  std::vector<uint8_t> pixels;
  unsigned width = 0, height = 0;
};

// The parts of an image larger than the label (at its resolution, `ppi`)
// that print-scaling puts on labels at full size, each turned upright where
// it is turned; none where the image prints whole.
std::vector<GreyImage> ImageParts(pappl_job_t *job, const pappl_pr_options_t &options,
                                  const GreyImage &image, unsigned ppi) {
  if (ppi == 0 ||
      (options.print_scaling != PAPPL_SCALING_AUTO && options.print_scaling != PAPPL_SCALING_NONE))
    return {};
  const auto at_ppi = [ppi](int hundredths) {
    return static_cast<uint32_t>(std::lround(hundredths / 2540.0 * ppi));
  };
  const Extent size{image.width, image.height},
      label{at_ppi(options.media.size_width), at_ppi(options.media.size_length)};
  if (FitsLabel(size, label))
    return {};
  // The labels are looked for in ink (255 black), the image is grey.
  std::vector<uint8_t> ink(image.pixels.size());
  std::transform(image.pixels.begin(), image.pixels.end(), ink.begin(),
                 [](uint8_t v) { return 255 - v; });
  const PageLayout layout = LayOutPage(options.print_scaling, ink, size, label, ppi);
  ReportLayout(job, 1, options.print_scaling, layout);
  std::vector<GreyImage> parts;
  for (const Region &region : layout.parts) {
    GreyImage part;
    part.width = region.turned ? region.height : region.width;
    part.height = region.turned ? region.width : region.height;
    part.pixels = PlaceRegion(ink, size, region, Extent{part.width, part.height});
    std::transform(part.pixels.begin(), part.pixels.end(), part.pixels.begin(),
                   [](uint8_t v) { return 255 - v; });
    parts.push_back(std::move(part));
  }
  return parts;
}

// Prints an image through PAPPL at `ppi` (0: fitted on the label), with a
// copy of the job's options that PAPPL may change.
bool FilterImage(pappl_job_t *job, pappl_device_t *device, const pappl_pr_options_t &options,
                 const GreyImage &image, int ppi) {
  pappl_pr_options_t each = options;
  return papplJobFilterImage(job, device, &each, image.pixels.data(), static_cast<int>(image.width),
                             static_cast<int>(image.height), 1, ppi, false);
}

// Prints a grey image read from the job's document through PAPPL, with
// the job's copies left to the printer's own copy count. Of an image with
// a resolution that is larger than the label, the parts print-scaling
// chooses print at full size, each on a label of its own.
bool PrintGreyImage(pappl_job_t *job, pappl_device_t *device, const GreyImage &image,
                    unsigned ppi) {
  pappl_pr_options_t *options = papplJobCreatePrintOptions(job, 1, false);
  options->copies = 1;
  const std::vector<GreyImage> parts = ImageParts(job, *options, image, ppi);
  bool printed = false;
  if (parts.empty()) {
    printed = FilterImage(job, device, *options, image, 0);
  } else {
    options->print_scaling = PAPPL_SCALING_NONE;
    const int part_ppi = static_cast<int>(ppi);
    if (parts.size() == 1) {
      printed = FilterImage(job, device, *options, parts[0], part_ppi);
    } else {
      // The labels of one image print as the pages of one job.
      printed = PrintAsOneJob(job, *options, device, [&] {
        for (const GreyImage &part : parts)
          if (papplJobIsCanceled(job) || !FilterImage(job, device, *options, part, part_ppi))
            return papplJobIsCanceled(job);
        return true;
      });
      papplJobSetImpressions(job, static_cast<int>(parts.size()));
    }
  }
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
              unsigned *ppi, std::string *why) {
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
  // Its resolution, where the file gives one (per inch or per centimetre).
  *ppi = info.density_unit == 1   ? info.X_density
         : info.density_unit == 2 ? static_cast<unsigned>(std::lround(info.X_density * 2.54))
                                  : 0;
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

// The PNG image's resolution in pixels per inch from its pHYs chunk, or 0
// where it gives none.
unsigned PngPpi(const char *path) {
  FILE *file = std::fopen(path, "rb");
  if (file == nullptr)
    return 0;
  unsigned ppi = 0;
  unsigned char chunk[8];
  const auto be32 = [](const unsigned char *b) {
    return uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
  };
  bool more = std::fseek(file, 8, SEEK_SET) == 0; // past the signature
  while (more && std::fread(chunk, 1, 8, file) == 8) {
    const uint32_t length = be32(chunk);
    if (std::memcmp(chunk + 4, "pHYs", 4) == 0 && length == 9) {
      unsigned char phys[9];
      if (std::fread(phys, 1, 9, file) == 9 && phys[8] == 1) // per metre
        ppi = static_cast<unsigned>(std::lround(be32(phys) * 0.0254));
      break;
    }
    more = std::memcmp(chunk + 4, "IDAT", 4) != 0 &&
           std::fseek(file, static_cast<long>(length) + 4, SEEK_CUR) == 0;
  }
  std::fclose(file);
  return ppi;
}

} // namespace

bool PrintJpeg(pappl_job_t *job, pappl_device_t *device, void * /*data*/) {
  GreyImage image;
  unsigned ppi = 0;
  std::string why;
  if (!HasDocument(job))
    return false;
  if (!ReadJpeg(papplJobGetFilename(job), &image.pixels, &image.width, &image.height, &ppi, &why))
    return Unreadable(job, "JPEG", why);
  return PrintGreyImage(job, device, image, ppi);
}

bool PrintPng(pappl_job_t *job, pappl_device_t *device, void * /*data*/) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  GreyImage grey;
  if (!HasDocument(job))
    return false;
  bool read = png_image_begin_read_from_file(&image, papplJobGetFilename(job)) != 0;
  if (read) {
    image.format = PNG_FORMAT_GRAY;
    grey.pixels.resize(PNG_IMAGE_SIZE(image));
    read = png_image_finish_read(&image, nullptr, grey.pixels.data(), 0, nullptr) != 0;
  }
  const std::string why = image.message;
  grey.width = image.width;
  grey.height = image.height;
  png_image_free(&image);
  if (!read)
    return Unreadable(job, "PNG", why);
  return PrintGreyImage(job, device, grey, PngPpi(papplJobGetFilename(job)));
}

} // namespace vellum_app
