// The printer application prints through the same engine as the CUPS
// filter: for the same page and the same settings, the bytes its AppSocket
// printer receives are exactly the bytes vellumfilter (or vellumfilter_03)
// writes for that page with the shipped PPD and the equivalent options.
#include <gtest/gtest.h>

#include "harness.h"
#include "printer_app.h"

namespace vellum_test {
namespace {

// A label page: bars, text-like strokes, a grey ramp and a photo-like
// patch, so that every halftone and gamma decides differently. Grey levels,
// 0 black.
RasterPage LabelPage(uint32_t width, uint32_t height, uint32_t dpi) {
  RasterPage page = GreyPage(width, height, 255, dpi, dpi);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      unsigned char v = 255;
      if (y > height / 10 && y < height / 3)
        v = (x / 6) % 3 == 0 ? 0 : 255; // bars
      else if (y >= height / 3 && y < height / 2)
        v = static_cast<unsigned char>(x * 255 / width); // a ramp
      else if (y >= height / 2 && y < height * 3 / 4)
        v = static_cast<unsigned char>((x * x + y * 7) % 251); // a picture
      else if ((x + y) % 37 < 3)
        v = 90; // grey strokes
      page.pixels[size_t{y} * width + x] = v;
    }
  }
  return page;
}

// The filter's raster of the same page: black ink (255 black), as CUPS
// rasterises for the PPDs, with the darkness level and the copies in the
// header as the PPDs put them there.
std::string FilterRaster(RasterPage page, unsigned darkness, unsigned copies) {
  for (unsigned char &v : page.pixels)
    v = static_cast<unsigned char>(255 - v);
  page.header.cupsColorSpace = CUPS_CSPACE_K;
  page.header.cupsCompression = darkness;
  page.header.NumCopies = copies;
  return RasterStream({page});
}

struct Case {
  const char *name;
  const char *driver; // also the PPD's file name
  std::vector<JobAttribute> job;
  std::string filter_options; // the same settings as the filter's options
  unsigned darkness = 0;      // the level in the filter's page header
  unsigned copies = 1;
};

class AppPrint : public testing::Test {
protected:
  static void SetUpTestSuite() {
    app_ = new PrinterApp;
    const std::string started = app_->Start();
    ASSERT_EQ(started, "");
  }
  static void TearDownTestSuite() {
    delete app_;
    app_ = nullptr;
  }
  static PrinterApp *app_;
};
PrinterApp *AppPrint::app_ = nullptr;

// The printer bytes the filter writes for a page with a driver's PPD.
std::string FilterBytes(const Case &c, const RasterPage &page) {
  const std::string driver = c.driver;
  const Variant variant = driver.size() > 3 && driver.compare(driver.size() - 3, 3, "-03") == 0
                              ? Variant::k03
                              : Variant::kBase;
  const std::string ppd = ReadFile(VELLUM_PPD_DIR "/" + driver + ".ppd");
  const std::string raster =
      WriteScratchFile("filter.ras", FilterRaster(page, c.darkness, c.copies));
  std::vector<std::string> argv = FilterArgs(variant, c.filter_options);
  argv.push_back(raster);
  const Result run = RunProgram(argv, FilterEnv(ppd));
  EXPECT_EQ(run.exit_status, 0);
  return run.out;
}

TEST_F(AppPrint, PwgRasterPrintsTheFiltersBytesForEverySetting) {
  const Case cases[] = {
      {"defaults", "vellum-zpl-203", {}, ""},
      {"darkness", "vellum-zpl-203", {{"print-darkness", "40"}}, "Darkness=14", 14},
      {"speed", "vellum-zpl-203", {{"print-speed", "10160"}}, "zePrintRate=4"},
      {"shifts",
       "vellum-zpl-203",
       {{"media-col.media-size-name", "oe_4x6-label_4x6in"},
        {"media-col.media-top-offset", "300"},
        {"media-col.media-left-offset", "-200"}},
       "yReference=3 zeReference=2"},
      {"tracking",
       "vellum-zpl-203",
       {{"media-col.media-size-name", "oe_4x6-label_4x6in"}, {"media-col.media-tracking", "mark"}},
       "zeMediaTracking=Mark"},
      {"copies", "vellum-zpl-203", {{"copies", "3"}}, "", 0, 3},
      {"ordered screen",
       "vellum-zpl-203",
       {{"print-color-mode", "monochrome"}, {"print-content-optimize", "graphic"}},
       "Halftone=Ordered"},
      {"diffusion",
       "vellum-zpl-203",
       {{"print-color-mode", "monochrome"}, {"print-content-optimize", "photo"}},
       "Halftone=Diffusion"},
      {"printer settings",
       "vellum-zpl-203",
       {{"label-density", "thicker"},
        {"label-print-mode", "thermal-transfer"},
        {"label-feed-offset", "minus-5"},
        {"label-negative", "on"}},
       "Gamma=thicker Print_Mode=Thermal_Transfer Offset=-5 Negative=on"},
      {"ZPL 300 dpi",
       "vellum-zpl-300",
       {{"print-darkness", "-30"}, {"print-speed", "5080"}},
       "Darkness=3 zePrintRate=2",
       3},
      {"TSPL 203 dpi",
       "vellum-tspl-203",
       {{"media-col.media-size-name", "oe_4x6-label_4x6in"},
        {"media-col.media-tracking", "continuous"},
        {"print-speed", "7620"}},
       "zeMediaTracking=Continuous zePrintRate=3"},
      {"TSPL 300 dpi",
       "vellum-tspl-300",
       {{"print-color-mode", "monochrome"},
        {"print-content-optimize", "photo"},
        {"print-darkness", "100"},
        {"copies", "2"}},
       "Halftone=Diffusion Darkness=15",
       15,
       2},
      {"03 printer",
       "vellum-zpl-203-03",
       {{"label-perforated-media", "on"},
        {"label-print-mode", "automatic"},
        {"label-feed-offset", "10"}},
       "zeMediaTracking=Perforated Print_Mode=Auto Offset=10"},
  };
  int serial = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    SocketPrinter printer;
    const std::string name = "p" + std::to_string(++serial);
    ASSERT_EQ(app_->AddPrinter(name, c.driver, printer.Uri()), "");
    const uint32_t dpi = std::string(c.driver).find("300") != std::string::npos ? 300 : 203;
    const RasterPage page = LabelPage(4 * dpi, 6 * dpi, dpi);
    const std::string document = WriteScratchFile("page.pwg", PwgRaster({page}));
    const int job = app_->Print(name, document, "image/pwg-raster", c.job);
    ASSERT_GT(job, 0) << cupsLastErrorString();
    EXPECT_EQ(app_->AwaitJob(name, job, 60), IPP_JSTATE_COMPLETED);
    ASSERT_TRUE(printer.AwaitCaptures(1, 30));
    const std::string expected = FilterBytes(c, page);
    const std::string got = printer.Captures()[0];
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "the printer bytes differ from the filter's";
  }
}

} // namespace
} // namespace vellum_test
