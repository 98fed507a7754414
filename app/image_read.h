// PNG and JPEG documents read as grey images, their size checked against
// the job's budget before their pixels take any memory, and the part of an
// image larger than the label that print-scaling puts on it. The readers
// end on a damaged or truncated file with libpng's or libjpeg's words.
#ifndef VELLUM_APP_IMAGE_READ_H
#define VELLUM_APP_IMAGE_READ_H

#include <cstdint>
#include <string>
#include <vector>

#include <pappl/printer.h>

#include "raster_page.h"

namespace vellum_app {

// A grey image, one byte a pixel (0 black), with its resolution in pixels
// per inch, or 0 where its file gives none.
struct GreyImage {
  std::vector<uint8_t> pixels;
  unsigned width = 0, height = 0, ppi = 0;
};

enum class ImageRead { kRead, kDamaged, kTooLarge };

// Reads a JPEG file whole for a printer at `dpi`: at its own size where
// that fits the budget, else at the largest of libjpeg's scales (7/8 down
// to 1/8) that does, so that a photograph larger than any label costs
// what a page does. `why` says what is wrong with a file that is not read.
ImageRead ReadJpeg(const char *path, unsigned dpi, GreyImage *image, std::string *why);

// Reads a PNG file whole for a printer at `dpi`; one beyond the budget is
// refused by its header.
ImageRead ReadPng(const char *path, unsigned dpi, GreyImage *image, std::string *why);

// The most memory libjpeg may take for its own arrays (a progressive JPEG
// holds about 3 bytes a pixel of the whole image while it is read).
constexpr long kJpegMemory = 64L << 20;

// The parts of an image with a resolution that is larger than the label
// (media size in hundredths of millimetres) that print-scaling ("auto",
// "none") puts on labels at full size, each turned upright where it is
// turned, in reading order (every label found on the image with "auto");
// none where the image prints whole: it fits the label, has no resolution,
// is larger than any carrier's page (17 x 22 in) at its resolution, or
// holds no such part. `layout` says how the image was laid out.
std::vector<GreyImage> ImageParts(pappl_scaling_t scaling, int media_width, int media_length,
                                  const GreyImage &image, PageLayout *layout);

} // namespace vellum_app

#endif
