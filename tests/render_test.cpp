// Row rendering: bands, thresholds, packing, shifts, inversion and short
// pages, read back from the printer bytes.
#include <cmath>
#include <cstdlib>

#include <gtest/gtest.h>

#include "harness.h"
#include "job_decoder.h"

namespace vellum_test {
namespace {

const PpdOption kZpl = {"Tag_Commands", "ZPL", {"ZPL", "TSPL"}};
const PpdOption kTspl = {"Tag_Commands", "TSPL", {"ZPL", "TSPL"}};

// A page drawn as rows of 'X' (black, 0) and '.' (white, 255).
RasterPage DrawnPage(const std::vector<std::string> &rows, uint32_t xdpi = 203,
                     uint32_t ydpi = 203) {
  RasterPage page = GreyPage(static_cast<uint32_t>(rows[0].size()),
                             static_cast<uint32_t>(rows.size()), 255, xdpi, ydpi);
  size_t i = 0;
  for (const std::string &row : rows)
    for (const char c : row)
      page.pixels[i++] = c == 'X' ? 0 : 255;
  return page;
}

// The one label of a job, checked to be well-formed.
Label OnlyLabel(const Result &run) {
  const DecodedJob job = DecodeJob(run.out);
  std::string error = job.error;
  std::vector<Label> labels = Labels(job, &error);
  EXPECT_EQ(error, "");
  EXPECT_EQ(labels.size(), 1u);
  return labels.empty() ? Label{} : labels[0];
}

// The label's dots as rows of 'X' (a dot) and '.', `width` pixels wide.
std::vector<std::string> Dots(const Label &label, uint64_t width) {
  std::vector<std::string> rows;
  for (const std::string &packed : label.rows) {
    std::string row;
    for (uint64_t x = 0; x < width; ++x)
      row += IsDot(label, packed, x) ? 'X' : '.';
    rows.push_back(row);
  }
  return rows;
}

std::vector<std::string> BandHeaders(const std::string &out) {
  std::vector<std::string> headers;
  std::string placement;
  for (const JobItem &item : DecodeJob(out).items) {
    if (item.kind == JobItem::Kind::kText && item.text.rfind("^FO", 0) == 0)
      placement = item.text;
    if (item.kind == JobItem::Kind::kBand) {
      headers.push_back(placement + item.text);
      placement.clear();
    }
  }
  return headers;
}

TEST(Render, BandsOf256RowsEachDeclareTheirRows) {
  struct Case {
    bool tspl;
    uint32_t height;
    std::vector<std::string> headers;
  };
  const Case cases[] = {
      {false, 100, {"^FO0,0\n^GFB,200,200,2,"}},
      {false, 256, {"^FO0,0\n^GFB,512,512,2,"}},
      {false, 257, {"^FO0,0\n^GFB,512,512,2,", "^FO0,256\n^GFB,2,2,2,"}},
      {false, 300, {"^FO0,0\n^GFB,512,512,2,", "^FO0,256\n^GFB,88,88,2,"}},
      {false,
       513,
       {"^FO0,0\n^GFB,512,512,2,", "^FO0,256\n^GFB,512,512,2,", "^FO0,512\n^GFB,2,2,2,"}},
      {true, 100, {"BITMAP 0,0,2,100,1,"}},
      {true, 256, {"BITMAP 0,0,2,256,1,"}},
      {true, 257, {"BITMAP 0,0,2,256,1,", "BITMAP 0,256,2,1,1,"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.height) + (c.tspl ? " TSPL" : " ZPL"));
    const Result run = RunFilter(PpdText(c.tspl ? 48 : 18, {c.tspl ? kTspl : kZpl}),
                                 RasterStream({GreyPage(16, c.height, 0)}));
    EXPECT_EQ(BandHeaders(run.out), c.headers);
    const Label label = OnlyLabel(run);
    EXPECT_EQ(label.rows, std::vector<std::string>(c.height, c.tspl ? std::string(2, '\0')
                                                                    : std::string("\xFF\xFF")));
    if (c.tspl) {
      EXPECT_NE(run.out.find("\r\n" + c.headers[0]), std::string::npos);
    }
    EXPECT_EQ(LinesStartingWith(run.err, "DEBUG: *输入字符串无效").size(), c.headers.size());
    EXPECT_EQ(LinesStartingWith(run.err, "header cupsBytesPerLine 2.").size(),
              c.tspl ? c.height : 0u);
  }
}

// The printer's light/dark decision for one pixel, computed the long way:
// single-precision normalisation, pow in double, truncation, bit 7.
bool LiteralIsLight(unsigned v, const char *gamma_text) {
  const auto gamma = static_cast<float>(std::atof(gamma_text));
  const auto normalized = static_cast<float>(v / 255.0);
  const auto corrected = static_cast<float>(
      std::pow(static_cast<double>(normalized), static_cast<double>(gamma)) * 255.0);
  return (static_cast<unsigned>(corrected) & 0x80u) != 0;
}

TEST(Render, EveryGreyValueIsDecidedAsTheGammaFormulaSays) {
  struct Case {
    const char *choice; // nullptr: no Gamma option
    const char *gamma;
    unsigned first_light;
  };
  const Case cases[] = {{"normal", "1.8", 174}, {"lighter", "0.7", 96}, {"light", "0.9", 119},
                        {"thicken", "3", 203},  {"thicker", "5", 223},  {"other", "1.0", 128},
                        {nullptr, "1.0", 128}};
  // Every grey value once in order, then again scrambled in a row whose
  // width is no multiple of 8 or 64.
  RasterPage page = GreyPage(256 + 301, 1);
  for (unsigned x = 0; x < page.pixels.size(); ++x)
    page.pixels[x] = static_cast<unsigned char>(x < 256 ? x : (x * 167 + 13) % 256);
  const std::string raster = RasterStream({page});
  for (const bool tspl : {false, true}) {
    for (const Case &c : cases) {
      SCOPED_TRACE(std::string(c.choice ? c.choice : "no option") + (tspl ? " TSPL" : " ZPL"));
      std::vector<PpdOption> ppd = {tspl ? kTspl : kZpl};
      if (c.choice != nullptr)
        ppd.push_back(
            {"Gamma", c.choice, {"normal", "lighter", "light", "thicken", "thicker", "other"}});
      const Label label = OnlyLabel(RunFilter(PpdText(tspl ? 48 : 18, ppd), raster));
      ASSERT_EQ(label.rows.size(), 1u);
      std::string literal;
      for (const unsigned char v : page.pixels)
        literal += LiteralIsLight(v, c.gamma) ? '.' : 'X';
      EXPECT_EQ(Dots(label, page.pixels.size())[0], literal);
      EXPECT_EQ(literal.substr(0, 256),
                std::string(c.first_light, 'X') + std::string(256 - c.first_light, '.'));
    }
  }
}

TEST(Render, PackingPutsTheLeftmostPixelInTheTopBit) {
  struct Case {
    bool tspl;
    std::string row;
    std::string bytes;
  };
  const Case cases[] = {
      {false, "X.X.X.X.", "\xAA"},
      {true, "X.X.X.X.", "\x55"},
      {false, "XXXXXXXXXXXXXXXX", "\xFF\xFF"},
      {true, "XXXXXXXXXXXXXXXX", std::string(2, '\0')},
      {false, "................", std::string(2, '\0')},
      {true, "................", "\xFF\xFF"},
      // Pixels past a row that is not a multiple of 8 wide count as white.
      {false, "XXXXXXXXXX", "\xFF\xC0"},
      {true, "XXXXXXXXXX", std::string("\x00\x3F", 2)},
      {false, "X", "\x80"},
      {true, "X", "\x7F"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.row + (c.tspl ? " TSPL" : " ZPL"));
    const Label label = OnlyLabel(RunFilter(PpdText(c.tspl ? 48 : 18, {c.tspl ? kTspl : kZpl}),
                                            RasterStream({DrawnPage({c.row})})));
    EXPECT_EQ(label.rows, std::vector<std::string>{c.bytes});
  }
}

TEST(Render, HorizontalShiftMovesEveryRowAndFillsWhite) {
  const std::vector<std::string> page = {"XXXXXXXX..XX...X", "X..............X"};
  struct Case {
    const char *choice;
    uint32_t dpi;
    const char *debug; // nullptr: no shift line
    std::vector<std::string> dots;
  };
  const Case cases[] = {
      {"PrinterS", 203, nullptr, page},
      {"0", 203, "0 ， 0", page},
      {"nonsense", 203, "0 ， 0", page},
      {"1", 203, "-7 ， 1", {"X..XX...X.......", "........X......."}},
      {"-1", 203, "7 ， -1", {".......XXXXXXXX.", ".......X........"}},
      {"1", 300, "-11 ， 1", {"X...X...........", "....X..........."}},
      {"2", 203, "-15 ， 2", {"X...............", "X..............."}},
      {"-2", 203, "15 ， -2", {"...............X", "...............X"}},
      {"-100", 203, "799 ， -100", {"................", "................"}},
      {"100", 203, "-799 ， 100", {"................", "................"}},
  };
  for (const bool tspl : {false, true}) {
    for (const Case &c : cases) {
      SCOPED_TRACE(std::string(c.choice) + " at " + std::to_string(c.dpi) + (tspl ? " TSPL" : ""));
      const PpdOption reference = {
          "zeReference",
          c.choice,
          {"PrinterS", "0", "nonsense", "1", "-1", "2", "-2", "100", "-100"}};
      const Result run = RunFilter(PpdText(tspl ? 48 : 18, {tspl ? kTspl : kZpl, reference}),
                                   RasterStream({DrawnPage(page, c.dpi, c.dpi)}));
      EXPECT_EQ(Dots(OnlyLabel(run), 16), c.dots);
      std::vector<std::string> expected;
      if (c.debug != nullptr)
        expected.assign(page.size(), std::string("DEBUG: *@@@@@@@左右偏移为: ") + c.debug);
      EXPECT_EQ(LinesStartingWith(run.err, "DEBUG: *@@@@@@@左右"), expected);
    }
  }
}

TEST(Render, VerticalShiftMovesThePageAlongTheFeed) {
  const std::vector<std::string> page = {
      "XXXXXXXX", "X......X", "........", "...XX...", "........", "........", "........",
      "........", "........", "........", "........", "........", "........", "........",
      "........", "........", "........", "........", "XXXX....", "....XXXX"};
  const std::vector<std::string> white(page.size(), "........");
  std::vector<std::string> down = white; // 15 rows down: page rows 0-4 land at 15-19
  std::vector<std::string> up = white;   // 15 rows up: page rows 15-19 land at 0-4
  for (size_t r = 0; r < 5; ++r) {
    down[15 + r] = page[r];
    up[r] = page[15 + r];
  }
  struct Case {
    const char *choice;
    uint32_t xdpi, ydpi;
    const char *debug; // nullptr: no shift line
    std::vector<std::string> dots;
  };
  const Case cases[] = {
      {"PrinterS", 203, 203, nullptr, page},
      {"0", 203, 203, "0 ， 0", page},
      {"2", 203, 203, "15 ， 2", down},
      {"-2", 203, 203, "-15 ， -2", up},
      {"2", 254, 254, "20 ， 2", white},
      {"-2", 254, 254, "-20 ， -2", white},
      {"1000", 203, 203, "7992 ， 1000", white},
      {"-1000", 203, 203, "-7992 ， -1000", white},
      // Along the feed a millimetre is measured in vertical dots.
      {"2", 600, 203, "15 ， 2", down},
      {"-2", 203, 600, "-47 ， -2", white},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.choice) + " at " + std::to_string(c.xdpi) + "x" +
                 std::to_string(c.ydpi));
    const PpdOption reference = {
        "yReference", c.choice, {"PrinterS", "0", "2", "-2", "1000", "-1000"}};
    const Result run =
        RunFilter(PpdText(18, {kZpl, reference}), RasterStream({DrawnPage(page, c.xdpi, c.ydpi)}));
    EXPECT_EQ(Dots(OnlyLabel(run), 8), c.dots);
    const std::vector<std::string> debug = LinesStartingWith(run.err, "DEBUG: *@@@@@@@垂直");
    std::vector<std::string> expected;
    if (c.debug != nullptr)
      expected.push_back(std::string("DEBUG: *@@@@@@@垂直偏移为: ") + c.debug);
    EXPECT_EQ(debug, expected);
  }
}

TEST(Render, NegativeOffComplementsTheGreyLevels) {
  RasterPage page = GreyPage(8, 1);
  const unsigned char greys[] = {0, 100, 127, 128, 200, 255, 0, 255};
  std::copy(std::begin(greys), std::end(greys), page.pixels.begin());
  const std::string raster = RasterStream({page});
  struct Case {
    const char *choice; // nullptr: no Negative option
    const char *dots;
  };
  for (const Case &c :
       {Case{"off", "...XXX.X"}, Case{"on", "XXX...X."}, Case{nullptr, "XXX...X."}}) {
    SCOPED_TRACE(c.choice ? c.choice : "no option");
    std::vector<PpdOption> ppd = {kZpl};
    if (c.choice != nullptr)
      ppd.push_back({"Negative", c.choice, {"on", "off"}});
    EXPECT_EQ(Dots(OnlyLabel(RunFilter(PpdText(18, ppd), raster)), 8),
              std::vector<std::string>{c.dots});
  }
}

TEST(Render, RowsAShortPageDidNotDeliverPrintWhite) {
  RasterPage page = DrawnPage({"XXXXXXXX", "X......X", "XXXXXXXX", "XXXXXXXX"});
  page.pixels.resize(2 * 8 + 3); // the stream ends in the third row
  const std::string raster = RasterStream({page});
  const std::vector<std::string> blank = {"........", "........"};
  struct Case {
    const char *negative;
    std::vector<std::string> top;
  };
  for (const Case &c :
       {Case{"on", {"XXXXXXXX", "X......X"}}, Case{"off", {"........", ".XXXXXX."}}}) {
    SCOPED_TRACE(c.negative);
    const Result run =
        RunFilter(PpdText(18, {kZpl, {"Negative", c.negative, {"on", "off"}}}), raster);
    EXPECT_EQ(run.exit_status, 0);
    std::vector<std::string> expected = c.top;
    expected.insert(expected.end(), blank.begin(), blank.end());
    EXPECT_EQ(Dots(OnlyLabel(run), 8), expected);
  }
}

TEST(Render, AShortPageShiftsAsIfItsMissingRowsWereWhite) {
  RasterPage page =
      DrawnPage({"XXXXXXXX", "X......X", "..XXXX..", "XXXXXXXX", "XXXXXXXX", "XXXXXXXX"}, 203,
                51);         // at 51 dpi along the feed, 1 mm is 2 rows
  page.pixels.resize(3 * 8); // the stream ends after three rows
  const std::string raster = RasterStream({page});
  struct Case {
    const char *shift;
    const char *negative;
    std::vector<std::string> dots;
  };
  const Case cases[] = {
      {"1", "on", {"........", "........", "XXXXXXXX", "X......X", "..XXXX..", "........"}},
      {"-1", "on", {"..XXXX..", "........", "........", "........", "........", "........"}},
      {"1", "off", {"........", "........", "........", ".XXXXXX.", "XX....XX", "........"}},
      {"-1", "off", {"XX....XX", "........", "........", "........", "........", "........"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.shift) + " mm, Negative " + c.negative);
    const Result run = RunFilter(PpdText(18, {kZpl,
                                              {"yReference", c.shift, {"1", "-1"}},
                                              {"Negative", c.negative, {"on", "off"}}}),
                                 raster);
    EXPECT_EQ(Dots(OnlyLabel(run), 8), c.dots);
  }
}

TEST(Render, ABandReportsARangeErrorLeftByAnEarlierConversion) {
  // atoi of a number too large for a long leaves ERANGE behind: the print
  // rate's before the first band, the horizontal shift's only after it.
  const char *const kHuge = "99999999999999999999";
  const std::string overflow = "DEBUG: *转换出错";
  const std::string fine = "DEBUG: *输入字符串无效";
  struct Case {
    const char *keyword;
    std::vector<std::string> band_lines;
  };
  const Case cases[] = {{"zePrintRate", {overflow, overflow}},
                        {"zeReference", {fine, overflow}},
                        {"Gamma", {fine, fine}}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.keyword);
    const Result run = RunFilter(PpdText(18, {kZpl, {c.keyword, kHuge, {kHuge}}}),
                                 RasterStream({GreyPage(8, 300)}));
    std::vector<std::string> band_lines;
    for (const std::string &line : run.err)
      if (line == overflow || line == fine)
        band_lines.push_back(line);
    EXPECT_EQ(band_lines, c.band_lines);
  }
}

} // namespace
} // namespace vellum_test
