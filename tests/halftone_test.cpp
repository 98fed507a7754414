// The Halftone option: the ordered screen and the error diffusion for
// pictures, read back from the printer bytes, against the threshold that
// barcodes and text print with.
#include <cmath>
#include <random>

#include <gtest/gtest.h>

#include "harness.h"
#include "job_decoder.h"

namespace vellum_test {
namespace {

const char *const kDithered[] = {"Ordered", "Diffusion"};

struct Printer {
  bool tspl = false;
  std::string halftone;      // empty: no Halftone option
  std::string gamma = "";    // empty: no Gamma option
  std::string negative = ""; // empty: no Negative option
  std::string y_mm, x_mm;    // yReference, zeReference; empty: none
};

std::string Ppd(const Printer &p) {
  std::vector<PpdOption> options = {{"Tag_Commands", p.tspl ? "TSPL" : "ZPL", {"ZPL", "TSPL"}}};
  const auto add = [&options](const char *keyword, const std::string &choice) {
    if (!choice.empty())
      options.push_back({keyword, choice, {choice}});
  };
  add("Halftone", p.halftone);
  add("Gamma", p.gamma);
  add("Negative", p.negative);
  add("yReference", p.y_mm);
  add("zeReference", p.x_mm);
  return PpdText(p.tspl ? 48 : 18, options);
}

// Every label of a job as rows of light (false: a dot) and dark pixels.
std::vector<std::vector<std::vector<bool>>> Dots(const Result &run, uint64_t width) {
  const DecodedJob job = DecodeJob(run.out);
  std::string error = job.error;
  const std::vector<Label> labels = Labels(job, &error);
  EXPECT_EQ(error, "");
  std::vector<std::vector<std::vector<bool>>> all;
  for (const Label &label : labels) {
    std::vector<std::vector<bool>> rows;
    for (const std::string &packed : label.rows) {
      std::vector<bool> row;
      for (uint64_t x = 0; x < width; ++x)
        row.push_back(IsDot(label, packed, x));
      rows.push_back(row);
    }
    all.push_back(rows);
  }
  return all;
}

// A picture beside a barcode: a band of every grey from 1 to 254 in a
// seeded order, framed by bars of pure black and pure white.
RasterPage PictureAndBars(uint32_t width, uint32_t height, unsigned seed) {
  RasterPage page = GreyPage(width, height, 255);
  std::mt19937 random(seed);
  for (uint32_t y = 0; y < height; ++y)
    for (uint32_t x = 0; x < width; ++x) {
      unsigned char &pixel = page.pixels[size_t{y} * width + x];
      if (x >= width / 4 && x < width * 3 / 4 && y >= height / 4 && y < height * 3 / 4)
        pixel = static_cast<unsigned char>(1 + random() % 254);
      else
        pixel = (x / 3) % 2 == 0 ? 0 : 255;
    }
  return page;
}

TEST(Halftone, ThresholdOrAnUnknownChoicePrintsEveryByteAsWithoutTheOption) {
  const std::string raster = RasterStream({PictureAndBars(61, 40, 1)});
  for (const bool tspl : {false, true}) {
    Printer plain;
    plain.tspl = tspl;
    plain.gamma = "normal";
    const Result without = RunFilter(Ppd(plain), raster);
    for (const char *choice : {"Threshold", "Stochastic"}) {
      SCOPED_TRACE(std::string(tspl ? "TSPL " : "ZPL ") + choice);
      Printer with = plain;
      with.halftone = choice;
      const Result run = RunFilter(Ppd(with), raster);
      EXPECT_EQ(run.exit_status, 0);
      EXPECT_TRUE(run.out == without.out);
      EXPECT_EQ(run.err, without.err);
    }
  }
}

TEST(Halftone, PureBlackAndWhitePrintExactlyAsTheThresholdPrintsThem) {
  // Any gamma, both families, a width that is no multiple of 8 or 16.
  const RasterPage page = PictureAndBars(77, 48, 2);
  const std::string raster = RasterStream({page});
  for (const bool tspl : {false, true})
    for (const char *gamma : {"normal", "thicker", "lighter", "neutral"})
      for (const char *halftone : kDithered) {
        SCOPED_TRACE(std::string(tspl ? "TSPL " : "ZPL ") + gamma + " " + halftone);
        Printer threshold;
        threshold.tspl = tspl;
        threshold.gamma = gamma;
        threshold.negative = "on";
        Printer dithered = threshold;
        dithered.halftone = halftone;
        const auto a = Dots(RunFilter(Ppd(threshold), raster), 80);
        const auto b = Dots(RunFilter(Ppd(dithered), raster), 80);
        ASSERT_EQ(a.size(), 1u);
        ASSERT_EQ(b.size(), 1u);
        size_t greys_that_differ = 0;
        for (uint32_t y = 0; y < 48; ++y)
          for (uint32_t x = 0; x < 80; ++x) {
            // Past the row's end the printer gets white either way.
            const unsigned char v = x < 77 ? page.pixels[y * 77 + x] : 255;
            if (v == 0 || v == 255)
              ASSERT_EQ(b[0][y][x], a[0][y][x]) << "pure pixel at " << x << "," << y;
            else
              greys_that_differ += b[0][y][x] != a[0][y][x] ? 1 : 0;
          }
        EXPECT_GT(greys_that_differ, 20u); // the picture is dithered
      }
}

TEST(Halftone, FlatGreysPrintTheShareOfDotsTheGammaCurveGives) {
  struct Case {
    const char *gamma;
    double exponent;
  };
  for (const Case c : {Case{"neutral", 1.0}, Case{"normal", 1.8}, Case{"lighter", 0.7}})
    for (const char *halftone : kDithered)
      for (const unsigned grey : {32u, 96u, 128u, 200u, 240u}) {
        SCOPED_TRACE(std::string(c.gamma) + " " + halftone + " grey " + std::to_string(grey));
        Printer printer;
        printer.gamma = c.gamma;
        printer.halftone = halftone;
        printer.negative = "on";
        const Result run = RunFilter(
            Ppd(printer), RasterStream({GreyPage(128, 128, static_cast<unsigned char>(grey))}));
        const auto dots = Dots(run, 128);
        ASSERT_EQ(dots.size(), 1u);
        size_t light = 0;
        for (const auto &row : dots[0])
          for (const bool dot : row)
            light += dot ? 0 : 1;
        const double expected = std::pow(grey / 255.0, c.exponent);
        EXPECT_NEAR(light / (128.0 * 128.0), expected, 0.02);
      }
}

// The page moved as the shift options move it: down by `down` rows and
// right by `right` pixels, white where it uncovers.
RasterPage Moved(const RasterPage &page, int down, int right) {
  RasterPage moved = page;
  const int w = static_cast<int>(page.header.cupsWidth),
            h = static_cast<int>(page.header.cupsHeight);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const int from_y = y - down, from_x = x - right;
      moved.pixels[static_cast<size_t>(y * w + x)] =
          from_y >= 0 && from_y < h && from_x >= 0 && from_x < w
              ? page.pixels[static_cast<size_t>(from_y * w + from_x)]
              : 255;
    }
  return moved;
}

TEST(Halftone, DitheringTakesThePageAfterInversionAndShifts) {
  // At 203 dpi 1 mm is 7 dots and 2 mm 15; yReference moves the picture
  // down, zeReference left.
  struct Case {
    const char *y_mm, *x_mm;
    int down, right;
  };
  const RasterPage page = PictureAndBars(70, 60, 3);
  for (const bool tspl : {false, true})
    for (const char *halftone : kDithered)
      for (const Case c :
           {Case{"2", "1", 15, -7}, Case{"-1", "-2", -7, 15}, Case{"20", "0", 159, 0}}) {
        SCOPED_TRACE(std::string(tspl ? "TSPL " : "ZPL ") + halftone + " y " + c.y_mm + " x " +
                     c.x_mm);
        Printer shifted;
        shifted.tspl = tspl;
        shifted.halftone = halftone;
        shifted.negative = "off";
        shifted.y_mm = c.y_mm;
        shifted.x_mm = c.x_mm;
        Printer plain = shifted;
        plain.y_mm = plain.x_mm = "";
        plain.negative = "on";
        // The filter inverts the raster and moves it; here it gets the
        // picture moved beforehand and prints it as read.
        RasterPage inverted = page;
        for (unsigned char &pixel : inverted.pixels)
          pixel = static_cast<unsigned char>(255 - pixel);
        const Result a = RunFilter(Ppd(shifted), RasterStream({inverted}));
        const Result b = RunFilter(Ppd(plain), RasterStream({Moved(page, c.down, c.right)}));
        EXPECT_EQ(Dots(a, 70), Dots(b, 70));
      }
}

TEST(Halftone, EveryPageStartsAfreshWhateverCameBefore) {
  const RasterPage picture = PictureAndBars(50, 30, 4);
  for (const bool tspl : {false, true})
    for (const char *halftone : kDithered) {
      SCOPED_TRACE(std::string(tspl ? "TSPL " : "ZPL ") + halftone);
      Printer printer;
      printer.tspl = tspl;
      printer.halftone = halftone;
      const auto alone = Dots(RunFilter(Ppd(printer), RasterStream({picture})), 50);
      const auto after = Dots(
          RunFilter(Ppd(printer), RasterStream({PictureAndBars(90, 31, 5), picture, picture})), 50);
      ASSERT_EQ(alone.size(), 1u);
      ASSERT_EQ(after.size(), 3u);
      EXPECT_EQ(after[1], alone[0]);
      EXPECT_EQ(after[2], alone[0]);
    }
}

} // namespace
} // namespace vellum_test
