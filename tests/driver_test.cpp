// The filter's command line, input, PPD loading, page loop, accounting and
// cancellation, seen from outside.
#include <chrono>
#include <thread>

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "harness.h"
#include "job_decoder.h"

namespace vellum_test {
namespace {

const std::string kUsageError = "ERROR: vellumfilter job-id user title copies options [file]";

std::string ZplPpd() {
  return PpdText(18, {{"Tag_Commands", "ZPL", {"ZPL", "TSPL"}},
                      {"zeMediaTracking", "Web", {"Web", "Mark", "PrinterS"}},
                      {"Print_Mode", "Thermal", {"Thermal", "Thermal_Transfer"}}});
}

class BothFilters : public testing::TestWithParam<Variant> {};
INSTANTIATE_TEST_SUITE_P(Filters, BothFilters, testing::Values(Variant::kBase, Variant::k03),
                         [](const auto &info) { return std::string(VariantName(info.param)); });

TEST_P(BothFilters, WrongArgumentCountsAreRefusedBeforeAnyOutput) {
  const std::string program = FilterPath(GetParam());
  const std::string usage = "Usage: " + program + " <job-id>";
  const std::vector<std::string> all = {program, "1", "u", "t", "1", "", "f", "extra"};
  for (const size_t argc : {1, 2, 3, 4, 5, 8}) {
    SCOPED_TRACE("argc " + std::to_string(argc));
    const Result run =
        RunProgram({all.begin(), all.begin() + static_cast<long>(argc)}, FilterEnv());
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, std::vector<std::string>{argc == 1 ? usage : kUsageError});
  }
}

TEST_P(BothFilters, ReadsTheNamedFileOrStandardInputAlike) {
  const std::string raster = RasterStream({GreyPage(16, 3, 0)});
  const Result a = RunFilter(ZplPpd(), raster, "", GetParam(), Input::kStdin);
  const Result b = RunFilter(ZplPpd(), raster, "", GetParam(), Input::kFile);
  EXPECT_EQ(a.exit_status, 0);
  EXPECT_EQ(b.exit_status, 0);
  EXPECT_NE(a.out.find("^GFB,6,6,2,\xFF\xFF\xFF\xFF\xFF\xFF"), std::string::npos);
  EXPECT_EQ(a.out, b.out);
  EXPECT_EQ(a.err, b.err);
}

TEST(Driver, AnInputFileThatCannotBeOpenedEndsTheJob) {
  std::vector<std::string> argv = FilterArgs(Variant::kBase);
  argv.push_back(ScratchDir() + "/no-such-file.ras");
  const Result run = RunProgram(argv, FilterEnv(ZplPpd()));
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, std::vector<std::string>{
                         "ERROR:Unable to open raster file: No such file or directory"});
}

TEST(Driver, APpdThatCannotBeOpenedEndsTheJob) {
  const std::string raster = WriteScratchFile("one.ras", RasterStream({GreyPage(8, 1)}));
  struct Case {
    const char *name;
    std::string ppd_variable; // empty: PPD unset
    std::string debug_line;
  };
  const Case cases[] = {
      {"unset", "", "DEBUG: NULL PPD file pointer on line 0."},
      {"missing", "PPD=" + ScratchDir() + "/absent.ppd",
       "DEBUG: Unable to open PPD file on line 0."},
      {"not a PPD", "PPD=" + WriteScratchFile("garbage.ppd", "hello\n"),
       "DEBUG: Missing asterisk in column 1 on line 1."},
      {"a folder", "PPD=" + ScratchDir(), "DEBUG: Missing PPD-Adobe-4.x header on line 0."},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> env = FilterEnv();
    if (!c.ppd_variable.empty())
      env.push_back(c.ppd_variable);
    const Result run = RunProgram(FilterArgs(Variant::kBase), env, raster);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err,
              (std::vector<std::string>{"ERROR: The PPD file could not be opened.", c.debug_line}));
  }
}

TEST(Driver, InputWithoutPagesGetsOnlyTheSetupFrames) {
  const std::string garbage = "this is not a raster stream at all, just some text\n";
  for (const std::string &raster : {std::string(), garbage, RasterStream({})}) {
    const Result run = RunFilter(ZplPpd(), raster);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.out, Frame(0x16, {0x00}));
    EXPECT_EQ(run.err, std::vector<std::string>{"ERROR: No pages were found."});
  }
}

TEST(Driver, ACompleteOnePageJobWritesEveryByteAndMessageInOrder) {
  const std::string ppd = PpdText(18, {{"Tag_Commands", "ZPL", {"ZPL", "TSPL"}},
                                       {"zeMediaTracking", "Web", {"Web", "Mark"}},
                                       {"Print_Mode", "Thermal", {"Thermal", "Thermal_Transfer"}}});
  RasterPage page = GreyPage(8, 2, 0);
  page.header.PageSize[0] = 4;
  page.header.PageSize[1] = 1;
  const Result run = RunFilter(ppd, RasterStream({page}));
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.out, Frame(0x16, {0x00}) + Frame(0x41, {0x00}) + Frame(0x45, {0x01}) +
                         "^XA\r\n^PW8\r\n^LL2\r\n~SD0\r\n^FO0,0\n^GFB,2,2,1,\xFF\xFF"
                         "^PQ1,0,1,N\r\n^XZ\r\n" +
                         EndOfPageFrame());
  const std::vector<std::string> expected = {
      "No jobs found or an error occurred.",
      "Processing job 1...",
      "PAGE: 1 1",
      "INFO: Starting page 1.",
      "DEBUG: StartPage...",
      "DEBUG: Duplex = 0",
      "DEBUG: HWResolution = [ 203 203 ]",
      "DEBUG: ImagingBoundingBox = [ 0 0 0 0 ]",
      "DEBUG: Margins = [ 0 0 ]",
      "DEBUG: ManualFeed = 0",
      "DEBUG: MediaPosition = 0",
      "DEBUG: NumCopies = 1",
      "DEBUG: Orientation = 0",
      "DEBUG: PageSize = [ 4 1 ]",
      "DEBUG: cupsWidth = 8",
      "DEBUG: cupsHeight = 2",
      "DEBUG: cupsMediaType = 0",
      "DEBUG: cupsBitsPerColor = 8",
      "DEBUG: cupsBitsPerPixel = 8",
      "DEBUG: cupsBytesPerLine = 8",
      "DEBUG: cupsColorOrder = 0",
      "DEBUG: cupsColorSpace = 0",
      "DEBUG: cupsCompression = 0",
      "INFO: Printing page 1, 0% complete.",
      "ATTR: job-media-progress=0",
      "DEBUG: *CUPS_BYTES_PER_LINE = auto",
      "DEBUG: *输入字符串无效",
      "DEBUG: *CUPS_BYTES_PER_LINE = auto",
      "INFO: Finished page 1.",
  };
  EXPECT_EQ(run.err, expected);
}

TEST(Driver, ProgressIsReportedEverySixteenRows) {
  const Result run = RunFilter(ZplPpd(), RasterStream({GreyPage(8, 100)}));
  std::vector<std::string> expected;
  for (const int percent : {0, 16, 32, 48, 64, 80, 96}) {
    expected.push_back("INFO: Printing page 1, " + std::to_string(percent) + "% complete.");
    expected.push_back("ATTR: job-media-progress=" + std::to_string(percent));
  }
  std::vector<std::string> progress = LinesStartingWith(run.err, "INFO: Printing");
  const std::vector<std::string> attrs = LinesStartingWith(run.err, "ATTR:");
  ASSERT_EQ(progress.size(), attrs.size());
  std::vector<std::string> interleaved;
  for (size_t i = 0; i < progress.size(); ++i) {
    interleaved.push_back(progress[i]);
    interleaved.push_back(attrs[i]);
  }
  EXPECT_EQ(interleaved, expected);
}

TEST(Driver, EveryPageIsCountedAndFramedButTheJobIsSetUpOnce) {
  const Result run = RunFilter(
      ZplPpd(), RasterStream({GreyPage(8, 1, 0), GreyPage(8, 1, 255), GreyPage(8, 1, 0)}));
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(LinesStartingWith(run.err, "PAGE:"),
            (std::vector<std::string>{"PAGE: 1 1", "PAGE: 2 1", "PAGE: 3 1"}));
  EXPECT_EQ(LinesStartingWith(run.err, "Processing job"),
            std::vector<std::string>(3, "Processing job 1..."));
  EXPECT_EQ(LinesStartingWith(run.err, "No jobs found"),
            std::vector<std::string>(3, "No jobs found or an error occurred."));
  const auto label = [](char dots) {
    return Frame(0x41, {0x00}) + Frame(0x45, {0x01}) + "^XA\r\n^PW8\r\n^LL1\r\n~SD0\r\n" +
           "^FO0,0\n^GFB,1,1,1," + dots + "^PQ1,0,1,N\r\n^XZ\r\n" + EndOfPageFrame();
  };
  EXPECT_EQ(run.out, Frame(0x16, {0x00}) + label('\xFF') + label('\x00') + label('\xFF'));
}

// Waits until the filter has written `text` to the file at path.
void AwaitText(const std::string &path, const std::string &text) {
  for (int i = 0; i < 3000 && ReadFile(path).find(text) == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_NE(ReadFile(path).find(text), std::string::npos) << "never saw " << text;
}

TEST(Driver, SigtermFinishesThePageInProgressAndStartsNoOther) {
  struct Case {
    const char *name;
    bool mid_page; // the signal lands while the first page is being read
  };
  for (const Case c : {Case{"between pages", false}, Case{"within a page", true}}) {
    SCOPED_TRACE(c.name);
    // The raster arrives on a pipe, so that the test decides when each byte does.
    Process live = Spawn(FilterArgs(Variant::kBase), FilterEnv(ZplPpd()), {kPipe, ""});
    const RasterPage first = GreyPage(16, 40, 0);
    const std::string stream = RasterStream({first, GreyPage(16, 40, 0)});
    const size_t second_page = RasterStream({first}).size();
    // While the signal lands the filter waits for the last 20 rows of the
    // first page, or for the second page's header.
    const size_t before_signal = c.mid_page ? second_page - 20 * 16 : second_page;
    ASSERT_EQ(write(live.stdin_fd, stream.data(), before_signal),
              static_cast<ssize_t>(before_signal));
    AwaitText(c.mid_page ? live.err_path : live.out_path,
              c.mid_page ? "INFO: Starting page 1." : EndOfPageFrame());
    kill(live.pid, SIGTERM);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const size_t rest = stream.size() - before_signal;
    ASSERT_EQ(write(live.stdin_fd, stream.data() + before_signal, rest),
              static_cast<ssize_t>(rest));
    const Result run = Wait(live);
    EXPECT_EQ(run.exit_status, 0);

    DecodedJob job = DecodeJob(run.out);
    std::string error = job.error;
    const std::vector<Label> labels = Labels(job, &error);
    EXPECT_EQ(error, "");
    ASSERT_EQ(labels.size(), 1u);
    EXPECT_EQ(labels[0].rows, std::vector<std::string>(40, "\xFF\xFF"));
    EXPECT_EQ(LinesStartingWith(run.err, "INFO: Starting page"),
              std::vector<std::string>{"INFO: Starting page 1."});
  }
}

} // namespace
} // namespace vellum_test
