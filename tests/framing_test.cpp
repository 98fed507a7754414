// Job setup frames and the page header and trailer of every printer family,
// checked byte for byte on both filters.
#include <functional>

#include <gtest/gtest.h>

#include "harness.h"
#include "job_decoder.h"

namespace vellum_test {
namespace {

using HeaderEdit = std::function<void(cups_page_header2_t &)>;

const PpdOption kZpl = {"Tag_Commands", "ZPL", {"ZPL", "TSPL"}};
const PpdOption kTspl = {"Tag_Commands", "TSPL", {"ZPL", "TSPL"}};
const std::string kWhiteZplRow(1, '\0');

// A one-row, eight-pixel white ZPL label with the given frames before it and
// settings after ^LL.
std::string ZplLabel(const std::string &frames, const std::string &settings,
                     const std::string &quantity = "^PQ1,0,1,N\r\n") {
  return frames + "^XA\r\n^PW8\r\n^LL1\r\n" + settings + "^FO0,0\n^GFB,1,1,1," + kWhiteZplRow +
         quantity + "^XZ\r\n" + EndOfPageFrame();
}

// The same label in TSPL; settings stand between SIZE and CLS.
std::string TsplLabel(const std::string &frames, const std::string &settings,
                      const std::string &print = "PRINT 1,1\r\n") {
  return frames + "SIZE 1.0 mm,0.1 mm\r\n" + settings + "CLS\r\n\r\nBITMAP 0,0,1,1,1,\xFF\r\n" +
         print + EndOfPageFrame();
}

struct FramingCase {
  const char *name;
  int model_number;
  std::vector<PpdOption> ppd;
  HeaderEdit edit;
  std::string expected;
};

class Framing : public testing::TestWithParam<Variant> {};
INSTANTIATE_TEST_SUITE_P(Filters, Framing, testing::Values(Variant::kBase, Variant::k03),
                         [](const auto &info) { return std::string(VariantName(info.param)); });

void ExpectJobs(const std::vector<FramingCase> &cases, Variant variant) {
  for (const FramingCase &c : cases) {
    SCOPED_TRACE(c.name);
    RasterPage page = GreyPage(8, 1);
    if (c.edit)
      c.edit(page.header);
    const Result run = RunFilter(PpdText(c.model_number, c.ppd), RasterStream({page}), "", variant);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.out, c.expected);
  }
}

TEST_P(Framing, MediaTrackingIsSentOncePerJob) {
  const auto tracking = [](const char *choice) {
    return std::vector<PpdOption>{
        kZpl, {"zeMediaTracking", choice, {"Auto", "Continuous", "Web", "Mark", "PrinterS"}}};
  };
  const std::string label = ZplLabel(Frame(0x45, {0x01}), "~SD0\r\n");
  ExpectJobs({{"Web", 18, tracking("Web"), {}, Frame(0x16, {0x00}) + label},
              {"Mark", 18, tracking("Mark"), {}, Frame(0x16, {0x01}) + label},
              {"Continuous", 18, tracking("Continuous"), {}, Frame(0x16, {0x02}) + label},
              {"Auto sends one frame", 18, tracking("Auto"), {}, Frame(0x16, {0x03}) + label},
              {"PrinterS sends none", 18, tracking("PrinterS"), {}, label},
              {"no option", 18, {kZpl}, {}, label}},
             GetParam());
}

TEST_P(Framing, OffsetPrinterSSendsABareLineEnd) {
  ExpectJobs({{"PrinterS",
               18,
               {kZpl, {"Offset", "PrinterS", {"PrinterS", "0"}}},
               {},
               "\r\n" + ZplLabel(Frame(0x45, {0x01}), "~SD0\r\n")}},
             GetParam());
}

TEST_P(Framing, TheCommandFamilyFollowsTagCommandsAndTheModelNumber) {
  const std::string tspl_frame = Frame(0x45, {0x00});
  ExpectJobs({{"ZPL overrides model 48", 48, {kZpl}, {}, ZplLabel(Frame(0x45, {0x01}), "~SD0\r\n")},
              {"model 18 stays ZPL under TSPL, without the frame",
               18,
               {kTspl},
               {},
               ZplLabel("", "~SD0\r\n")},
              {"model 48 with TSPL", 48, {kTspl}, {}, TsplLabel(tspl_frame, "DENSITY 0\r\n")},
              {"model 48 without Tag_Commands", 48, {}, {}, TsplLabel("", "DENSITY 0\r\n")}},
             GetParam());
}

TEST_P(Framing, PrintModeIsSentWithEveryLabel) {
  const PpdOption thermal = {"Print_Mode", "Thermal", {"Thermal", "Thermal_Transfer"}};
  const PpdOption transfer = {"Print_Mode", "Thermal_Transfer", {"Thermal", "Thermal_Transfer"}};
  ExpectJobs({{"ZPL thermal",
               18,
               {kZpl, thermal},
               {},
               ZplLabel(Frame(0x41, {0x00}) + Frame(0x45, {0x01}), "~SD0\r\n")},
              {"ZPL thermal transfer",
               18,
               {kZpl, transfer},
               {},
               ZplLabel(Frame(0x41, {0x01}) + Frame(0x45, {0x01}), "~SD0\r\n")},
              {"TSPL thermal",
               48,
               {kTspl, thermal},
               {},
               TsplLabel(Frame(0x41, {0x00}) + Frame(0x45, {0x00}), "DENSITY 0\r\n")},
              {"TSPL thermal transfer",
               48,
               {kTspl, transfer},
               {},
               TsplLabel(Frame(0x41, {0x01}) + Frame(0x45, {0x00}), "DENSITY 0\r\n")}},
             GetParam());
}

TEST_P(Framing, DarknessAndPrintRate) {
  const auto level = [](unsigned value) {
    return [value](cups_page_header2_t &h) { h.cupsCompression = value; };
  };
  const PpdOption darkness_printer = {"Darkness", "PrinterS", {"PrinterS", "5"}};
  const PpdOption darkness_level = {"Darkness", "5", {"PrinterS", "5"}};
  const auto rate = [](const char *choice) {
    return PpdOption{"zePrintRate", choice, {"PrinterS", "4", "fast"}};
  };
  const std::string zpl = Frame(0x45, {0x01});
  const std::string tspl = Frame(0x45, {0x00});
  ExpectJobs(
      {{"level 15", 18, {kZpl}, level(15), ZplLabel(zpl, "~SD15\r\n")},
       {"level 16 is the printer's own", 18, {kZpl}, level(16), ZplLabel(zpl, "")},
       {"level 2^32-1", 18, {kZpl}, level(0xFFFFFFFF), ZplLabel(zpl, "")},
       {"Darkness PrinterS", 18, {kZpl, darkness_printer}, level(5), ZplLabel(zpl, "")},
       {"Darkness choice, level from the header",
        18,
        {kZpl, darkness_level},
        level(7),
        ZplLabel(zpl, "~SD7\r\n")},
       {"rate PrinterS", 18, {kZpl, rate("PrinterS")}, {}, ZplLabel(zpl, "~SD0\r\n")},
       {"rate 4", 18, {kZpl, rate("4")}, level(3), ZplLabel(zpl, "~SD3\r\n^PR4\r\n")},
       {"rate not a number", 18, {kZpl, rate("fast")}, {}, ZplLabel(zpl, "~SD0\r\n^PR0\r\n")},
       {"TSPL level 15", 48, {kTspl}, level(15), TsplLabel(tspl, "DENSITY 15\r\n")},
       {"TSPL level 16", 48, {kTspl}, level(16), TsplLabel(tspl, "")},
       {"TSPL Darkness PrinterS", 48, {kTspl, darkness_printer}, {}, TsplLabel(tspl, "")},
       {"TSPL rate 4", 48, {kTspl, rate("4")}, {}, TsplLabel(tspl, "DENSITY 0\r\nSPEED 4\r\n")},
       {"TSPL rate PrinterS", 48, {kTspl, rate("PrinterS")}, level(16), TsplLabel(tspl, "")}},
      GetParam());
}

TEST_P(Framing, TsplTearOffPosition) {
  const auto tear = [](const char *choice) {
    return PpdOption{"zeTearOffPosition", choice, {"PrinterS", "5", "-3"}};
  };
  const auto advance = [](cups_page_header2_t &h) {
    h.AdvanceDistance = 1000;
    h.cupsCompression = 16;
  };
  const auto no_darkness = [](cups_page_header2_t &h) { h.cupsCompression = 16; };
  const std::string tspl = Frame(0x45, {0x00});
  ExpectJobs(
      {{"AdvanceDistance 1000 wins",
        48,
        {kTspl, tear("5")},
        advance,
        TsplLabel(tspl, "OFFSET 0 mm\r\n")},
       {"AdvanceDistance 1000 alone", 48, {kTspl}, advance, TsplLabel(tspl, "OFFSET 0 mm\r\n")},
       {"5", 48, {kTspl, tear("5")}, no_darkness, TsplLabel(tspl, "OFFSET 5 mm\r\n")},
       {"-3", 48, {kTspl, tear("-3")}, no_darkness, TsplLabel(tspl, "OFFSET -3 mm\r\n")},
       {"PrinterS reads as 0",
        48,
        {kTspl, tear("PrinterS")},
        no_darkness,
        TsplLabel(tspl, "OFFSET 0 mm\r\n")},
       {"no option", 48, {kTspl}, no_darkness, TsplLabel(tspl, "")}},
      GetParam());
}

TEST_P(Framing, CopiesAndTheTrailersOfEveryFamily) {
  const auto copies = [](unsigned n) {
    return [n](cups_page_header2_t &h) {
      h.NumCopies = n;
      h.cupsCompression = 16;
    };
  };
  const auto cut = [](cups_page_header2_t &h) { h.CutMedia = CUPS_CUT_PAGE; };
  const std::string zpl = Frame(0x45, {0x01});
  const std::string tspl = Frame(0x45, {0x00});
  const std::string tracking = Frame(0x16, {0x02});
  const PpdOption continuous = {"zeMediaTracking", "Continuous", {"Continuous"}};
  ExpectJobs({{"0 copies", 18, {kZpl}, copies(0), ZplLabel(zpl, "")},
              {"1 copy", 18, {kZpl}, copies(1), ZplLabel(zpl, "")},
              {"3 copies", 18, {kZpl}, copies(3), ZplLabel(zpl, "", "^PQ3,0,1,N\r\n")},
              {"TSPL 0 copies", 48, {kTspl}, copies(0), TsplLabel(tspl, "")},
              {"TSPL 3 copies", 48, {kTspl}, copies(3), TsplLabel(tspl, "", "PRINT 1,3\r\n")},
              {"family 0",
               0,
               {continuous},
               {},
               tracking + "\x1B"
                          "E"},
              {"family 16",
               16,
               {continuous},
               {},
               tracking + "\x1B"
                          "E\f"},
              {"family 17", 17, {continuous}, {}, tracking + "P1\n"},
              {"family 17 cutting", 17, {continuous}, cut, tracking + "P1\nC\n"},
              {"another family", 5, {continuous}, cut, tracking}},
             GetParam());
}

TEST_P(Framing, TsplLabelSizeUsesSinglePrecisionPerAxis) {
  struct Case {
    uint32_t width, height, xdpi, ydpi;
    const char *size;
  };
  const Case cases[] = {
      {406, 203, 203, 203, "SIZE 50.8 mm,25.4 mm"},
      {400, 203, 203, 203, "SIZE 50.0 mm,25.4 mm"},
      {401, 1016, 508, 508, "SIZE 20.0 mm,50.8 mm"},
      {600, 600, 300, 600, "SIZE 50.8 mm,25.4 mm"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.size);
    const Result run =
        RunFilter(PpdText(48, {}), RasterStream({GreyPage(c.width, c.height, 255, c.xdpi, c.ydpi)}),
                  "", GetParam());
    std::string error;
    const std::vector<Label> labels = Labels(DecodeJob(run.out), &error);
    EXPECT_EQ(error, "");
    ASSERT_EQ(labels.size(), 1u);
    EXPECT_EQ(labels[0].size, c.size);
    EXPECT_NE(run.out.find(std::string(c.size) + "\r\n"), std::string::npos);
  }
}

TEST_P(Framing, FamiliesWithoutImagesStillLogEveryRow) {
  for (const int model : {0, 16, 17, 5}) {
    SCOPED_TRACE(model);
    const Result run =
        RunFilter(PpdText(model, {}), RasterStream({GreyPage(8, 20, 0)}), "", GetParam());
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(LinesStartingWith(run.err, "DEBUG: *CUPS_BYTES_PER_LINE = auto").size(), 20u);
    EXPECT_EQ(LinesStartingWith(run.err, "DEBUG: *输入字符串无效").size(), 0u);
    EXPECT_EQ(LinesStartingWith(run.err, "DEBUG: StartPage...").size(), 1u);
  }
}

// The three settings in which vellumfilter_03 differs from vellumfilter.
TEST(Variants, DifferInFeedOffsetPerforatedMediaAndAutoPrintMode) {
  struct Case {
    const char *name;
    int model_number;
    std::vector<PpdOption> ppd;
    std::string base, variant03; // expected bytes of each filter
  };
  const std::string zpl = ZplLabel(Frame(0x45, {0x01}), "~SD0\r\n");
  const auto offset = [](const char *choice) {
    return std::vector<PpdOption>{kZpl, {"Offset", choice, {choice}}};
  };
  const auto feed = [&zpl](unsigned char low, unsigned char high) {
    return Frame(0x36, {low, high}) + zpl;
  };
  const PpdOption perforated = {"zeMediaTracking", "Perforated", {"Perforated", "Web"}};
  const PpdOption auto_mode = {"Print_Mode", "Auto", {"Auto", "Thermal"}};
  const Case cases[] = {
      {"offset 0", 18, offset("0"), feed(0x55, 0x00), feed(0x70, 0x00)},
      {"offset -10", 18, offset("-10"), feed(0x0A, 0x00), feed(0x20, 0x00)},
      {"offset -13 raised to 10", 18, offset("-13"), feed(0x0A, 0x00), feed(0x0A, 0x00)},
      {"offset 30", 18, offset("30"), feed(0x45, 0x01), feed(0x60, 0x01)},
      {"offset 8192 keeps the low 16 bits", 18, offset("8192"), feed(0x55, 0x00), feed(0x70, 0x00)},
      {"offset 2147483647 wraps", 18, offset("2147483647"), feed(0x4D, 0x00), feed(0x68, 0x00)},
      {"offset -2147483648 wraps", 18, offset("-2147483648"), feed(0x55, 0x00), feed(0x70, 0x00)},
      {"offset not a number", 18, offset("none"), feed(0x55, 0x00), feed(0x70, 0x00)},
      {"Perforated", 18, {kZpl, perforated}, zpl, Frame(0x16, {0x01}) + zpl},
      {"Auto print mode, ZPL",
       18,
       {kZpl, auto_mode},
       zpl,
       ZplLabel(Frame(0x41, {0x02}) + Frame(0x45, {0x01}), "~SD0\r\n")},
      {"Auto print mode, TSPL",
       48,
       {kTspl, auto_mode},
       TsplLabel(Frame(0x45, {0x00}), "DENSITY 0\r\n"),
       TsplLabel(Frame(0x41, {0x02}) + Frame(0x45, {0x00}), "DENSITY 0\r\n")},
  };
  for (const Case &c : cases) {
    ExpectJobs({{c.name, c.model_number, c.ppd, {}, c.base}}, Variant::kBase);
    ExpectJobs({{c.name, c.model_number, c.ppd, {}, c.variant03}}, Variant::k03);
  }
}

} // namespace
} // namespace vellum_test
