// vellumpreview: labels drawn from the filters' jobs match the thresholded
// input, and malformed jobs are named by offset while what precedes the
// fault is still drawn.
#include <cstring>

#include <png.h>

#include <gtest/gtest.h>

#include "harness.h"

namespace vellum_test {
namespace {

struct Picture {
  uint32_t width = 0, height = 0;
  std::vector<std::string> rows; // 'X' for black, '.' for white
};

Picture ReadPng(const std::string &path) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  Picture picture;
  if (!png_image_begin_read_from_file(&image, path.c_str()))
    return picture;
  image.format = PNG_FORMAT_GRAY;
  std::vector<png_byte> pixels(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr))
    return picture;
  picture.width = image.width;
  picture.height = image.height;
  for (uint32_t y = 0; y < image.height; ++y) {
    std::string row;
    for (uint32_t x = 0; x < image.width; ++x)
      row += pixels[size_t{y} * image.width + x] < 128 ? 'X' : '.';
    picture.rows.push_back(row);
  }
  return picture;
}

Result RunPreview(const std::string &job, const std::string &prefix) {
  return RunProgram({VELLUMPREVIEW_PATH, "-o", prefix, WriteScratchFile("preview.job", job)}, {});
}

TEST(Preview, DrawsWhatTheFilterPrinted) {
  // Grey levels in a pattern, on a width that is no multiple of 8, in two bands.
  RasterPage page = GreyPage(37, 300);
  for (size_t i = 0; i < page.pixels.size(); ++i)
    page.pixels[i] = static_cast<unsigned char>((i * 73 + i / 37 * 29) % 256);
  const std::string raster = RasterStream({page});
  struct Case {
    const char *name;
    std::vector<PpdOption> ppd;
    bool negative;
    int dx, dy; // the shift the options ask for, in dots
  };
  const Case cases[] = {
      {"as read", {}, false, 0, 0},
      {"negative", {{"Negative", "off", {"off"}}}, true, 0, 0},
      {"1 mm left", {{"zeReference", "1", {"1"}}}, false, -7, 0},
      {"1 mm right and up",
       {{"zeReference", "-1", {"-1"}}, {"yReference", "-1", {"-1"}}},
       false,
       7,
       -7},
      {"2 mm down, negative",
       {{"yReference", "2", {"2"}}, {"Negative", "off", {"off"}}},
       true,
       0,
       15},
  };
  for (const bool tspl : {false, true}) {
    for (const Case &c : cases) {
      SCOPED_TRACE(std::string(c.name) + (tspl ? " TSPL" : " ZPL"));
      std::vector<PpdOption> ppd = c.ppd;
      ppd.push_back({"Tag_Commands", tspl ? "TSPL" : "ZPL", {"ZPL", "TSPL"}});
      const Result filtered = RunFilter(PpdText(tspl ? 48 : 18, ppd), raster);
      const std::string prefix = ScratchDir() + "/round-trip";
      const Result preview = RunPreview(filtered.out, prefix);
      EXPECT_EQ(preview.exit_status, 0);
      const Picture picture = ReadPng(prefix + "-1.png");
      // TSPL images whole bytes: the row's last three dots are padding.
      ASSERT_EQ(picture.width, tspl ? 40u : 37u);
      ASSERT_EQ(picture.height, 300u);
      for (uint32_t y = 0; y < 300; ++y) {
        std::string expected;
        for (uint32_t x = 0; x < picture.width; ++x) {
          const int sx = static_cast<int>(x) - c.dx, sy = static_cast<int>(y) - c.dy;
          bool dot = false;
          if (x < 37 && sx >= 0 && sx < 37 && sy >= 0 && sy < 300) {
            unsigned char v = page.pixels[static_cast<size_t>(sy) * 37 + static_cast<size_t>(sx)];
            if (c.negative)
              v = static_cast<unsigned char>(255 - v);
            dot = v < 128;
          }
          expected += dot ? 'X' : '.';
        }
        ASSERT_EQ(picture.rows[y], expected) << "row " << y;
      }
    }
  }
}

TEST(Preview, NamesWhereAJobIsMalformedAndDrawsWhatCameBefore) {
  const std::string ppd = PpdText(18, {{"Tag_Commands", "ZPL", {"ZPL"}}});
  const std::string one = RunFilter(ppd, RasterStream({GreyPage(16, 4, 0)})).out;
  const std::string two =
      RunFilter(ppd, RasterStream({GreyPage(16, 4, 0), GreyPage(16, 4, 0)})).out;
  const size_t second = one.size(); // where the second label's frames start
  const std::string end_frame = EndOfPageFrame();
  struct Case {
    const char *name;
    std::string job;
    std::string error;
    size_t drawn; // labels drawn
  };
  const size_t band = two.find("^GFB", second);
  const Case cases[] = {
      {"a band cut short", two.substr(0, two.size() - 30),
       "at byte " + std::to_string(band) + ": expected 8 bytes of band data, found 5", 2},
      {"an unknown frame", one + Frame(0x99, {0x00}),
       "at byte " + std::to_string(one.size()) +
           ": expected a known control frame (0x16, 0x36, 0x41 or 0x45), found 0x99",
       1},
      {"a label without its end", two.substr(0, two.size() - end_frame.size()),
       "at byte " + std::to_string(two.find("^XA", second)) +
           ": label 2 has no end (its trailer and the end-of-page frame)",
       2},
      {"garbage", one + "hello\n",
       "at byte " + std::to_string(one.size()) +
           ": expected a ZPL or TSPL command, found \"hello\\x0A\"",
       1},
      {"binary garbage", one + std::string("\x00\x01\x02", 3),
       "at byte " + std::to_string(one.size()) +
           ": expected a command ended by LF, found \"\\x00\\x01\\x02\"",
       1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string prefix = ScratchDir() + "/malformed-" + std::to_string(&c - cases);
    const Result run = RunPreview(c.job, prefix);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(LinesStartingWith(run.err, "vellumpreview: malformed job"),
              std::vector<std::string>{"vellumpreview: malformed job " + c.error});
    const Picture first = ReadPng(prefix + "-1.png");
    EXPECT_EQ(first.rows, std::vector<std::string>(4, std::string(16, 'X')));
    EXPECT_EQ(ReadPng(prefix + "-2.png").height, c.drawn > 1 ? 4u : 0u);
  }
}

TEST(Preview, SummarisesTheJobAndEachLabel) {
  const std::string ppd = PpdText(48, {{"Tag_Commands", "TSPL", {"TSPL"}},
                                       {"zeMediaTracking", "Continuous", {"Continuous"}},
                                       {"Offset", "30", {"30"}},
                                       {"Print_Mode", "Thermal_Transfer", {"Thermal_Transfer"}},
                                       {"zePrintRate", "4", {"4"}},
                                       {"zeTearOffPosition", "2", {"2"}}});
  RasterPage page = GreyPage(406, 203);
  page.header.cupsCompression = 12;
  page.header.NumCopies = 3;
  const std::string job = RunFilter(ppd, RasterStream({page})).out;
  const std::string prefix = ScratchDir() + "/summary";
  const Result run = RunPreview(job, prefix);
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(
      SplitLines(run.out),
      (std::vector<std::string>{
          "job: " + std::to_string(job.size()) +
              " bytes, 1 label; media tracking continuous (0x02), feed offset 325 dots",
          "label 1 at byte " + std::to_string(job.find("SIZE")) +
              ": TSPL, 408 x 203 dots (SIZE 50.8 mm,25.4 mm), darkness 12, speed 4, "
              "tear-off 2 mm, copies 3, 1 band, print mode thermal transfer, command set TSPL",
          "  drawn to " + prefix + "-1.png"}));
}

// The printer application's stream as its printer gets it: a status query
// before the job is shown as such and skipped, the label after it drawn as
// without it; a program passed on as it is is shown, not drawn.
TEST(Preview, ReadsThePrinterApplicationsStream) {
  const std::string zpl_ppd = PpdText(18, {{"Tag_Commands", "ZPL", {"ZPL"}}});
  const std::string tspl_ppd = PpdText(48, {{"Tag_Commands", "TSPL", {"TSPL"}}});
  const std::string zpl = RunFilter(zpl_ppd, RasterStream({GreyPage(16, 4, 0)})).out;
  const std::string tspl = RunFilter(tspl_ppd, RasterStream({GreyPage(16, 4, 0)})).out;
  const std::string program = "^XA^FO50,50^BY3^BCN,100^FD12345678^FS^XZ\r\n";
  // The frames before a label (up to its ^XA), the program, the end frame.
  const std::string passed = zpl.substr(0, zpl.find("^XA")) + program + EndOfPageFrame();
  const struct {
    const char *name;
    std::string job;
    size_t labels;
    std::string line; // of -v
    std::string summary;
  } cases[] = {
      {"~HS before a ZPL job", "~HS~HS" + zpl, 1,
       "         3  status query ~HS (ZPL host status), not printed", ", 2 status queries"},
      {"ESC !? before a TSPL job", "\x1B!?" + tspl, 1,
       "         0  status query ESC !? (TSPL status byte), not printed", ", 1 status query"},
      {"a ZPL program passed on", "~HS" + passed, 0,
       std::string(10 - std::to_string(passed.find("^XA") + 3).size(), ' ') +
           std::to_string(passed.find("^XA") + 3) + "  ZPL program, " +
           std::to_string(program.size()) + " bytes, passed on as it is (not drawn)",
       ", 1 printer program, 1 status query"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string prefix = ScratchDir() + "/stream";
    const std::string path = WriteScratchFile("stream.job", c.job);
    const Result run = RunProgram({VELLUMPREVIEW_PATH, "-v", "-o", prefix, path}, {});
    EXPECT_EQ(run.exit_status, 0) << testing::PrintToString(run.err);
    EXPECT_TRUE(Contains(run.out, c.line + "\n")) << run.out;
    EXPECT_TRUE(Contains(run.out, " bytes, " + std::to_string(c.labels) +
                                      (c.labels == 1 ? " label" : " labels") + c.summary + ";"))
        << run.out;
    if (c.labels == 1) {
      EXPECT_EQ(ReadPng(prefix + "-1.png").rows, std::vector<std::string>(4, std::string(16, 'X')));
    }
  }
}

TEST(Preview, AnswersHelpAndVersionAsCommandLineToolsDo) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out_starts; // on standard output
    bool err_empty;
  };
  const Case cases[] = {
      {{"--help"}, 0, "usage: ", true},
      {{"--version"}, 0, "vellumpreview " VELLUM_VERSION "\n", true},
      {{"--bogus"}, 2, "", false},
      {{"-x"}, 2, "", false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args[0]);
    std::vector<std::string> argv = {VELLUMPREVIEW_PATH};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const Result run = RunProgram(argv, {});
    EXPECT_EQ(run.exit_status, c.status);
    EXPECT_EQ(run.out.rfind(c.out_starts, 0), 0u) << run.out;
    EXPECT_EQ(run.err.empty(), c.err_empty);
  }
}

} // namespace
} // namespace vellum_test
