// libjpeg and libpng's simplified interface, with their sizes checked
// before the pixels are read.
#include "image_read.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>
// After jpeglib.h, which it needs.
#include <jerror.h>
#include <png.h>

#include "budget.h"
#include "raster_page.h"

namespace vellum_app {

namespace {

// libjpeg's error handling: an error, and any warning (a truncated file
// is one), ends the reading with its message.
struct JpegErrors {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
  bool too_many_scans = false;
};

// A progressive JPEG is read in scans, each a pass over the whole image: a
// small file with thousands of them would keep the printer's queue busy
// for minutes. Encoders write a dozen or so; the most a file can hold that
// refines every coefficient bit by bit is about 640.
constexpr int kJpegScans = 500;

// libjpeg's progress monitor, which it calls as it reads each scan.
void JpegProgress(j_common_ptr info) {
  if (!info->is_decompressor ||
      reinterpret_cast<j_decompress_ptr>(info)->input_scan_number <= kJpegScans)
    return;
  auto *errors = reinterpret_cast<JpegErrors *>(info->err);
  errors->too_many_scans = true;
  std::longjmp(errors->jump, 1);
}

[[noreturn]] void JpegFail(j_common_ptr info) {
  auto *errors = reinterpret_cast<JpegErrors *>(info->err);
  (*info->err->format_message)(info, errors->message);
  std::longjmp(errors->jump, 1);
}

void JpegMessage(j_common_ptr info, int level) {
  if (level < 0)
    JpegFail(info);
}

// Chooses the largest of libjpeg's scales n/8 at which the image fits the
// budget; false when none does.
bool ScaleToBudget(jpeg_decompress_struct &info, unsigned dpi) {
  for (unsigned eighths = 8; eighths >= 1; --eighths) {
    info.scale_num = eighths;
    info.scale_denom = 8;
    jpeg_calc_output_dimensions(&info);
    if (WithinBudget({info.output_width, info.output_height}, dpi))
      return true;
  }
  return false;
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

ImageRead ReadJpeg(const char *path, unsigned dpi, GreyImage *image, std::string *why) {
  FILE *file = std::fopen(path, "rb");
  if (file == nullptr) {
    *why = std::strerror(errno);
    return ImageRead::kDamaged;
  }
  jpeg_decompress_struct info;
  JpegErrors errors;
  info.err = jpeg_std_error(&errors.manager);
  errors.manager.error_exit = JpegFail;
  errors.manager.emit_message = JpegMessage;
  if (setjmp(errors.jump) != 0) {
    // libjpeg asks for a backing store once its arrays would pass
    // kJpegMemory: a progressive image too large to read here.
    const bool too_large = errors.manager.msg_code == JERR_NO_BACKING_STORE;
    *why = too_large ? "The image is " + std::to_string(info.image_width) + " x " +
                           std::to_string(info.image_height) +
                           " pixels, stored progressively: reading it would take more than " +
                           std::to_string(kJpegMemory >> 20) + " MiB."
           : errors.too_many_scans ? "The JPEG image is stored in more than " +
                                         std::to_string(kJpegScans) + " scans; it was not read."
                                   : std::string(errors.message);
    jpeg_destroy_decompress(&info);
    std::fclose(file);
    return too_large ? ImageRead::kTooLarge : ImageRead::kDamaged;
  }
  jpeg_create_decompress(&info);
  info.mem->max_memory_to_use = kJpegMemory;
  jpeg_progress_mgr progress{};
  progress.progress_monitor = JpegProgress;
  info.progress = &progress;
  jpeg_stdio_src(&info, file);
  jpeg_read_header(&info, TRUE);
  // Its resolution, where the file gives one (per inch or per centimetre).
  unsigned ppi = info.density_unit == 1 ? info.X_density
                 : info.density_unit == 2
                     ? static_cast<unsigned>(std::lround(info.X_density * 2.54))
                     : 0;
  info.out_color_space = JCS_GRAYSCALE;
  if (!ScaleToBudget(info, dpi)) {
    *why = OverBudget("image", "pixels", {info.image_width, info.image_height}, dpi);
    jpeg_destroy_decompress(&info);
    std::fclose(file);
    return ImageRead::kTooLarge;
  }
  ppi = ppi * info.scale_num / info.scale_denom;
  jpeg_start_decompress(&info);
  image->width = info.output_width;
  image->height = info.output_height;
  image->ppi = ppi;
  image->pixels.resize(size_t{image->width} * image->height);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = image->pixels.data() + size_t{info.output_scanline} * image->width;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  std::fclose(file);
  return ImageRead::kRead;
}

ImageRead ReadPng(const char *path, unsigned dpi, GreyImage *image, std::string *why) {
  png_image png;
  std::memset(&png, 0, sizeof png);
  png.version = PNG_IMAGE_VERSION;
  ImageRead read =
      png_image_begin_read_from_file(&png, path) != 0 ? ImageRead::kRead : ImageRead::kDamaged;
  if (read == ImageRead::kRead && !WithinBudget({png.width, png.height}, dpi)) {
    *why = OverBudget("image", "pixels", {png.width, png.height}, dpi);
    png_image_free(&png);
    return ImageRead::kTooLarge;
  }
  if (read == ImageRead::kRead) {
    png.format = PNG_FORMAT_GRAY;
    image->pixels.resize(PNG_IMAGE_SIZE(png));
    if (png_image_finish_read(&png, nullptr, image->pixels.data(), 0, nullptr) == 0)
      read = ImageRead::kDamaged;
  }
  *why = png.message;
  png_image_free(&png);
  if (read != ImageRead::kRead)
    return read;
  const PngChunks chunks = ReadPngChunks(path);
  if (!chunks.whole) {
    *why = "the file ends before its end chunk (IEND): it is cut short.";
    return ImageRead::kDamaged;
  }
  image->width = png.width;
  image->height = png.height;
  image->ppi = chunks.ppi;
  return read;
}

std::vector<GreyImage> ImageParts(pappl_scaling_t scaling, int media_width, int media_length,
                                  const GreyImage &image, PageLayout *layout) {
  *layout = PageLayout{};
  const unsigned ppi = image.ppi;
  if (ppi == 0 || (scaling != PAPPL_SCALING_AUTO && scaling != PAPPL_SCALING_NONE))
    return {};
  const auto at_ppi = [ppi](int hundredths) {
    return static_cast<uint32_t>(std::lround(hundredths / 2540.0 * ppi));
  };
  const Extent size{image.width, image.height}, label{at_ppi(media_width), at_ppi(media_length)};
  // A poster is no carrier's page: it is fitted, as a PDF's is.
  if (FitsLabel(size, label) || !FitsLabel(size, PointsToDots(kLargestPagePoints, ppi)))
    return {};
  // The labels are looked for in ink (255 black), the image is grey.
  std::vector<uint8_t> ink(image.pixels.size());
  std::transform(image.pixels.begin(), image.pixels.end(), ink.begin(),
                 [](uint8_t v) { return 255 - v; });
  *layout = LayOutPage(scaling, ink, size, label, ppi);
  std::vector<GreyImage> parts;
  for (const Region &region : layout->parts) {
    GreyImage part;
    part.width = region.turned ? region.height : region.width;
    part.height = region.turned ? region.width : region.height;
    part.ppi = ppi;
    part.pixels = PlaceRegion(ink, size, region, Extent{part.width, part.height});
    std::transform(part.pixels.begin(), part.pixels.end(), part.pixels.begin(),
                   [](uint8_t v) { return 255 - v; });
    parts.push_back(std::move(part));
  }
  return parts;
}

} // namespace vellum_app
