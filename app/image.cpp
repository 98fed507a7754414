// PNG and JPEG documents, read here rather than by PAPPL: PAPPL's PNG
// reader never ends on a truncated file (until 1.4.10) and its JPEG reader
// prints one as if it were whole, and a label printer must reject a
// damaged image (the job aborts with a message) and go on with the next
// job. A readable image goes to PAPPL's image printing, which places and
// scales it on the label and calls the raster callbacks; of an image
// larger than the label (with a resolution to tell), the part
// print-scaling chooses.
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

// The part of an image larger than the label (at its resolution, `ppi`)
// that print-scaling puts on the label at full size, turned upright where
// it is turned; false where the image prints whole.
bool ImagePart(const pappl_pr_options_t &options, std::vector<uint8_t> &pixels, unsigned &width,
               unsigned &height, unsigned ppi) {
  if (ppi == 0 ||
      (options.print_scaling != PAPPL_SCALING_AUTO && options.print_scaling != PAPPL_SCALING_NONE))
    return false;
  const auto at_ppi = [ppi](int hundredths) {
    return static_cast<uint32_t>(std::lround(hundredths / 2540.0 * ppi));
  };
  const Extent size{width, height},
      label{at_ppi(options.media.size_width), at_ppi(options.media.size_length)};
  if (FitsLabel(size, label))
    return false;
  // The label is looked for in ink (255 black), the image is grey.
  std::vector<uint8_t> ink(pixels.size());
  std::transform(pixels.begin(), pixels.end(), ink.begin(), [](uint8_t v) { return 255 - v; });
  const auto region = PagePart(options.print_scaling, ink, size, label, ppi);
  if (!region)
    return false;
  const Extent part{region->turned ? region->height : region->width,
                    region->turned ? region->width : region->height};
  pixels = PlaceRegion(ink, size, *region, part);
  std::transform(pixels.begin(), pixels.end(), pixels.begin(), [](uint8_t v) { return 255 - v; });
  width = part.width;
  height = part.height;
  return true;
}

// Prints a grey image read from the job's document through PAPPL, with
// the job's copies left to the printer's own copy count. An image with a
// resolution that is larger than the label prints the part print-scaling
// chooses at full size.
bool PrintGreyImage(pappl_job_t *job, pappl_device_t *device, std::vector<uint8_t> &pixels,
                    unsigned width, unsigned height, unsigned ppi) {
  pappl_pr_options_t *options = papplJobCreatePrintOptions(job, 1, false);
  options->copies = 1;
  int image_ppi = 0;
  if (ImagePart(*options, pixels, width, height, ppi)) {
    papplLogJob(job, PAPPL_LOGLEVEL_INFO, "The label on the image prints at full size.");
    options->print_scaling = PAPPL_SCALING_NONE;
    image_ppi = static_cast<int>(ppi);
  }
  const bool printed =
      papplJobFilterImage(job, device, options, pixels.data(), static_cast<int>(width),
                          static_cast<int>(height), 1, image_ppi, false);
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

// What a PNG file's chunks tell besides its image: whether the file is
// whole, every chunk complete up to the end chunk (IEND), and the image's
// resolution in pixels per inch from its pHYs chunk (0 where it gives
// none). libpng reads the image without reaching the end: a file cut after
// its image data, where writers such as ImageMagick 7 put text chunks,
// reads as a whole image.
struct PngChunks {
  bool whole = false;
  unsigned ppi = 0;
};

PngChunks ReadPngChunks(const char *path) {
  PngChunks found;
  FILE *file = std::fopen(path, "rb");
  if (file == nullptr)
    return found;
  unsigned char chunk[8];
  const auto be32 = [](const unsigned char *b) {
    return uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
  };
  bool image_data = false;                        // a pHYs chunk counts before the image data only
  bool more = std::fseek(file, 8, SEEK_SET) == 0; // past the signature
  while (more && std::fread(chunk, 1, 8, file) == 8) {
    const uint32_t length = be32(chunk);
    if (length > 0x7ffffff0u) // a chunk is at most 2^31 - 1 bytes; the skip fits a 32-bit long
      break;
    if (std::memcmp(chunk + 4, "IEND", 4) == 0) {
      unsigned char crc[4];
      found.whole = length == 0 && std::fread(crc, 1, 4, file) == 4;
      break;
    }
    image_data = image_data || std::memcmp(chunk + 4, "IDAT", 4) == 0;
    long skip = static_cast<long>(length) + 4; // the data and its CRC
    if (!image_data && std::memcmp(chunk + 4, "pHYs", 4) == 0 && length == 9) {
      unsigned char phys[9];
      if (std::fread(phys, 1, 9, file) != 9)
        break;
      if (phys[8] == 1) // per metre
        found.ppi = static_cast<unsigned>(std::lround(be32(phys) * 0.0254));
      skip = 4;
    }
    more = std::fseek(file, skip, SEEK_CUR) == 0;
  }
  std::fclose(file);
  return found;
}

} // namespace

bool PrintJpeg(pappl_job_t *job, pappl_device_t *device, void * /*data*/) {
  std::vector<uint8_t> pixels;
  unsigned width = 0, height = 0, ppi = 0;
  std::string why;
  if (!HasDocument(job))
    return false;
  if (!ReadJpeg(papplJobGetFilename(job), &pixels, &width, &height, &ppi, &why))
    return Unreadable(job, "JPEG", why);
  return PrintGreyImage(job, device, pixels, width, height, ppi);
}

bool PrintPng(pappl_job_t *job, pappl_device_t *device, void * /*data*/) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  std::vector<uint8_t> pixels;
  if (!HasDocument(job))
    return false;
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
  const PngChunks chunks = ReadPngChunks(papplJobGetFilename(job));
  if (!chunks.whole)
    return Unreadable(job, "PNG", "the file is cut short (it ends before its IEND chunk).");
  return PrintGreyImage(job, device, pixels, image.width, image.height, chunks.ppi);
}

} // namespace vellum_app
