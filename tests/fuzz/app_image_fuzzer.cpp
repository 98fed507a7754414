// libFuzzer target: PNG and JPEG documents through the printer
// application's readers (their size checked against the budget before any
// pixel is read, libjpeg's scales, the resolution) and the part of an image
// larger than the label that print-scaling puts on it.
//
// Input: 2 bytes (PNG or JPEG, print-scaling and the label size; the
// printer's resolution, 4 to 23 dpi, low so that the budget is small),
// then the file.
#include <cstdint>
#include <string>

#include "image_read.h"
#include "memory_file.h"

// Allocations far beyond any page the fuzz build takes fail (malloc) or
// end the run with a report (new): a page that passes the budget shows.
extern "C" const char *__asan_default_options() {
  return "max_allocation_size_mb=64:allocator_may_return_null=1";
}

namespace {

MemoryFile image_file;

// Label sizes in hundredths of millimetres: 4 x 6, 2 x 1, 1.25 x 0.25 in.
constexpr int kLabels[][2] = {{10160, 15240}, {5080, 2540}, {3175, 635}};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  image_file = NewMemoryFile("vellum-fuzz-image");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2)
    return 0;
  const bool png = (data[0] & 1) != 0;
  const pappl_scaling_t scaling = (data[0] & 2) != 0 ? PAPPL_SCALING_AUTO : PAPPL_SCALING_NONE;
  const int *label = kLabels[(data[0] >> 2) % 3];
  const unsigned dpi = 4 + data[1] % 20;
  Fill(image_file, data + 2, size - 2);
  vellum_app::GreyImage image;
  std::string why;
  const vellum_app::ImageRead read =
      png ? vellum_app::ReadPng(image_file.path.c_str(), dpi, &image, &why)
          : vellum_app::ReadJpeg(image_file.path.c_str(), dpi, &image, &why);
  if (read == vellum_app::ImageRead::kRead) {
    if (image.pixels.size() != size_t{image.width} * image.height)
      __builtin_trap();
    vellum_app::PageLayout layout;
    vellum_app::ImageParts(scaling, label[0], label[1], image, &layout);
  }
  return 0;
}
