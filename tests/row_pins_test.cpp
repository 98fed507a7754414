// The printer bytes of rows of every width from 1 to 300 pixels under every
// gamma, horizontal shift and halftone, pinned. The SSE2 loops (x86) and the
// plain loops (every other processor, and x86 built with VELLUM_SIMD=OFF)
// must both give exactly these bytes; the test suite runs on both builds.
#include <cstdio>

#include <gtest/gtest.h>

#include "harness.h"
#include "jobs.h"

namespace vellum_test {
namespace {

constexpr uint32_t kWidest = 300;
constexpr uint32_t kRows = 19; // past two 8-row screen cells, odd for the serpentine

// A grey level for pixel (x, y) of page w: runs of pure black and white (the
// diffusion passes over blocks of them), greys about the thresholds, ramps
// and noise, all in stretches that straddle the 8-, 16- and 64-pixel blocks.
unsigned char Grey(uint32_t w, uint32_t x, uint32_t y) {
  uint32_t h = (w * 73856093u) ^ (x * 19349663u) ^ (y * 83492791u);
  h ^= h >> 13;
  h *= 0x5bd1e995u;
  h ^= h >> 15;
  switch ((x / 11 + y / 3 + w) % 5) {
  case 0:
    return (h & 1) != 0 ? 255 : 0;
  case 1:
    return static_cast<unsigned char>(100 + h % 60); // about every gamma's threshold
  case 2:
    return static_cast<unsigned char>((x * 7 + y * 13 + w) & 0xFF);
  case 3:
    return (x / 20) % 2 == 0 ? 255 : 0; // a block of pure pixels
  default:
    return static_cast<unsigned char>(h & 0xFF);
  }
}

// One page of each width, 1 to 300 pixels.
const std::string &EveryWidthRaster() {
  static const std::string path = [] {
    std::vector<RasterPage> pages;
    for (uint32_t w = 1; w <= kWidest; ++w) {
      RasterPage page = GreyPage(w, kRows);
      for (uint32_t y = 0; y < kRows; ++y)
        for (uint32_t x = 0; x < w; ++x)
          page.pixels[size_t{y} * w + x] = Grey(w, x, y);
      pages.push_back(std::move(page));
    }
    return WriteScratchFile("every-width.ras", RasterStream(pages));
  }();
  return path;
}

const char *const kGammas[] = {"neutral", "normal", "lighter", "light", "thicken", "thicker"};

struct Pin {
  const char *language; // Tag_Commands
  const char *halftone;
  const char *shift;    // zeReference in mm: 3 moves left, -3 right
  uint64_t fingerprint; // of the printer bytes under each gamma in turn
};

// Fingerprints of the SSE2 build, which the plain build matches.
constexpr Pin kPins[] = {
    {"ZPL", "Threshold", "PrinterS", 0x85575538e5eb7d95},
    {"ZPL", "Threshold", "3", 0xed84c25bd7d52f93},
    {"ZPL", "Threshold", "-3", 0x2362a3790c824f16},
    {"ZPL", "Ordered", "PrinterS", 0x95b7862f8f11b707},
    {"ZPL", "Ordered", "3", 0xc6c648ba7b50af23},
    {"ZPL", "Ordered", "-3", 0xc78834937677834a},
    {"ZPL", "Diffusion", "PrinterS", 0x90694b49df41012b},
    {"ZPL", "Diffusion", "3", 0x827f70be4599a37f},
    {"ZPL", "Diffusion", "-3", 0xc3a9fbe1fe9a99c6},
    {"TSPL", "Threshold", "PrinterS", 0x211e8786b2c7fd85},
    {"TSPL", "Threshold", "3", 0xa58b1473ca08d5ff},
    {"TSPL", "Threshold", "-3", 0xa8f5c4c2754477c2},
    {"TSPL", "Ordered", "PrinterS", 0xbc1de6c4bc282533},
    {"TSPL", "Ordered", "3", 0x48dcded120e879ef},
    {"TSPL", "Ordered", "-3", 0xc2fd0afb989cbd5e},
    {"TSPL", "Diffusion", "PrinterS", 0x0b5549597286d227},
    {"TSPL", "Diffusion", "3", 0xf435c93bb8050f3b},
    {"TSPL", "Diffusion", "-3", 0x4b179fb38c384e12},
};

TEST(RowPins, EveryWidthGammaShiftAndHalftonePrintsThePinnedBytes) {
  for (const Pin &pin : kPins) {
    std::string all;
    for (const char *gamma : kGammas) {
      const std::string ppd = PpdText(
          18, {{"Tag_Commands", pin.language, {"ZPL", "TSPL"}},
               {"Gamma", gamma, {"neutral", "normal", "lighter", "light", "thicken", "thicker"}},
               {"Halftone", pin.halftone, {"Threshold", "Ordered", "Diffusion"}},
               {"zeReference", pin.shift, {"PrinterS", "3", "-3"}}});
      std::vector<std::string> argv = FilterArgs(Variant::kBase);
      argv.push_back(EveryWidthRaster());
      const Result run = RunProgram(argv, FilterEnv(ppd));
      ASSERT_EQ(run.exit_status, 0) << pin.language << " " << pin.halftone << " " << gamma;
      all += run.out;
    }
    char hex[19];
    std::snprintf(hex, sizeof hex, "0x%016llx",
                  static_cast<unsigned long long>(vellum_bench::Fingerprint(all)));
    EXPECT_EQ(vellum_bench::Fingerprint(all), pin.fingerprint)
        << pin.language << ", Halftone " << pin.halftone << ", zeReference " << pin.shift << ": "
        << hex;
  }
}

} // namespace
} // namespace vellum_test
