// Untrusted input, failing output and cancellation at any moment: the filter
// never dies by a signal, never leaves a label half-sent, and never reports
// success for a job the printer did not get.
#include <chrono>
#include <random>
#include <thread>

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "harness.h"
#include "job_decoder.h"

namespace vellum_test {
namespace {

const PpdOption kZpl = {"Tag_Commands", "ZPL", {"ZPL", "TSPL"}};
const PpdOption kTspl = {"Tag_Commands", "TSPL", {"ZPL", "TSPL"}};

// The labels of a job, which must be well-formed.
std::vector<Label> WellFormedLabels(const std::string &out) {
  const DecodedJob job = DecodeJob(out);
  std::string error = job.error;
  std::vector<Label> labels = Labels(job, &error);
  EXPECT_EQ(error, "");
  return labels;
}

// The bytes of a raster stream's first `n` bytes: a stream cut short.
std::string Cut(const std::string &stream, size_t n) { return stream.substr(0, n); }

// A header alone, with no pixel data behind it.
std::string HeaderOnly(uint32_t bytes_per_line, uint32_t height) {
  RasterPage page = GreyPage(8, 1);
  page.header.cupsWidth = bytes_per_line;
  page.header.cupsBytesPerLine = bytes_per_line;
  page.header.cupsHeight = height;
  page.pixels.clear();
  return RasterStream({page});
}

TEST(Hostile, RasterStreams) {
  const std::string one_page = RasterStream({GreyPage(16, 50, 0)});
  const std::string two_pages = RasterStream({GreyPage(16, 50, 0), GreyPage(16, 50, 0)});
  RasterPage short_page = GreyPage(13, 50, 0);
  short_page.pixels.resize(13 * 10 + 5);
  struct Case {
    const char *name;
    std::string raster;
    int exit_status;
    const char *error; // the ERROR line expected, if any
    size_t labels;
    size_t rows; // rows of each label
  };
  const Case cases[] = {
      {"size needs 33 bits", HeaderOnly(65536, 65537), 1,
       "ERROR: Page 1 is too large to print (65536 x 65537).", 0, 0},
      {"size is 2^32, zero in 32 bits", HeaderOnly(65536, 65536), 1,
       "ERROR: Page 1 is too large to print (65536 x 65536).", 0, 0},
      {"height 2^32-1, no data", HeaderOnly(1, 0xFFFFFFFF), 1,
       "ERROR: Page 1 is too large to print (1 x 4294967295).", 0, 0},
      {"row of 2^31-1 bytes", HeaderOnly(0x7FFFFFFF, 1), 1,
       "ERROR: Page 1 is too large to print (2147483647 x 1).", 0, 0},
      {"row of 2^31 bytes, which libcups refuses", HeaderOnly(0x80000000, 1), 1,
       "ERROR: No pages were found.", 0, 0},
      {"tall page, no data", HeaderOnly(16, 200000), 0, nullptr, 1, 200000},
      {"truncated first header", Cut(one_page, 900), 1, "ERROR: No pages were found.", 0, 0},
      {"truncated second header", Cut(two_pages, one_page.size() + 900), 0, nullptr, 1, 50},
      {"truncated page", Cut(one_page, one_page.size() - 333), 0, nullptr, 1, 50},
      {"short page, odd width", RasterStream({short_page}), 0, nullptr, 1, 50},
      {"short compressed page", RasterStream({short_page}, CUPS_RASTER_WRITE_COMPRESSED), 0,
       nullptr, 1, 50},
      {"empty", "", 1, "ERROR: No pages were found.", 0, 0},
      {"sync word only", "RaS2", 1, "ERROR: No pages were found.", 0, 0},
  };
  for (const bool tspl : {false, true}) {
    for (const Case &c : cases) {
      SCOPED_TRACE(std::string(c.name) + (tspl ? " TSPL" : " ZPL"));
      const Result run = RunFilter(PpdText(tspl ? 48 : 18, {tspl ? kTspl : kZpl}), c.raster);
      EXPECT_EQ(run.signal, 0);
      EXPECT_EQ(run.exit_status, c.exit_status);
      const std::vector<Label> labels = WellFormedLabels(run.out);
      ASSERT_EQ(labels.size(), c.labels);
      for (const Label &label : labels)
        EXPECT_EQ(label.rows.size(), c.rows);
      const std::vector<std::string> errors = LinesStartingWith(run.err, "ERROR");
      EXPECT_EQ(errors, c.error ? std::vector<std::string>{c.error} : std::vector<std::string>{});
    }
  }
}

TEST(Hostile, GarbageAfterASyncWord) {
  std::mt19937 random(20261208);
  for (const char *sync : {"RaSt", "tSaR", "RaS2", "2SaR", "RaS3", "3SaR"}) {
    for (int i = 0; i < 4; ++i) {
      std::string raster = sync;
      const size_t size = 1800 + random() % 4000;
      for (size_t b = 0; b < size; ++b)
        raster += static_cast<char>(random() & 0xFF);
      SCOPED_TRACE(std::string(sync) + " #" + std::to_string(i));
      const Result run = RunFilter(PpdText(18, {kZpl}), raster);
      EXPECT_EQ(run.signal, 0);
      EXPECT_TRUE(run.exit_status == 0 || run.exit_status == 1);
      const std::vector<Label> labels = WellFormedLabels(run.out);
      EXPECT_EQ(run.exit_status, labels.empty() ? 1 : 0);
    }
  }
}

TEST(Hostile, AbsurdOptionValues) {
  const std::vector<std::string> page = {"XXXXXXXXXXXXX", "X...........X", "XXXXXXXXXXXXX"};
  RasterPage raster = GreyPage(13, 3, 0);
  struct Case {
    const char *name;
    std::vector<PpdOption> ppd;
    std::string options;
    bool white; // the shift leaves nothing of the page
  };
  const auto choice = [](const char *keyword, const char *value) {
    return PpdOption{keyword, value, {value, "PrinterS"}};
  };
  const Case cases[] = {
      {"Offset 99999999999", {choice("Offset", "99999999999")}, "", false},
      {"Offset 2^63", {choice("Offset", "9223372036854775808")}, "", false},
      {"yReference -100000", {choice("yReference", "-100000")}, "", true},
      {"zeReference 100000", {choice("zeReference", "100000")}, "", true},
      {"yReference 2^31-1", {choice("yReference", "2147483647")}, "", true},
      {"yReference -2^31", {choice("yReference", "-2147483648")}, "", true},
      {"zeReference 2^31-1", {choice("zeReference", "2147483647")}, "", true},
      {"zeReference -2^31", {choice("zeReference", "-2147483648")}, "", true},
      // atoi reads a number beyond long as LONG_MAX, whose low 32 bits are -1.
      {"zeReference beyond long", {choice("zeReference", "99999999999999999999")}, "", false},
      {"rate and tear-off beyond int",
       {choice("zePrintRate", "-99999999999999999999"), choice("zeTearOffPosition", "1e99")},
       "",
       false},
      {"non-numeric choices",
       {choice("Offset", "abc"), choice("yReference", "x1"), choice("zeReference", "--5")},
       "",
       false},
      {"empty and unknown job options",
       {choice("Offset", "0"), choice("Gamma", "normal")},
       "Offset= yReference= zeReference=abc Gamma=\"\" Negative=maybe Darkness=-1",
       false},
  };
  for (const bool tspl : {false, true}) {
    for (const Case &c : cases) {
      SCOPED_TRACE(std::string(c.name) + (tspl ? " TSPL" : " ZPL"));
      std::vector<PpdOption> ppd = c.ppd;
      ppd.push_back(tspl ? kTspl : kZpl);
      const Result run = RunFilter(PpdText(tspl ? 48 : 18, ppd), RasterStream({raster}), c.options);
      EXPECT_EQ(run.signal, 0);
      EXPECT_EQ(run.exit_status, 0);
      const std::vector<Label> labels = WellFormedLabels(run.out);
      ASSERT_EQ(labels.size(), 1u);
      ASSERT_EQ(labels[0].rows.size(), 3u);
      bool any_dot = false;
      for (const std::string &row : labels[0].rows)
        for (uint64_t x = 0; x < 13; ++x)
          any_dot = any_dot || IsDot(labels[0], row, x);
      EXPECT_EQ(any_dot, !c.white);
    }
  }
}

// Pages of 800 x 300 grey pixels in a pattern, 30 KB of printer data each.
std::string LargeJob(size_t pages) {
  RasterPage page = GreyPage(800, 300, 255);
  for (size_t i = 0; i < page.pixels.size(); ++i)
    page.pixels[i] = static_cast<unsigned char>((i * 7 + i / 800) & 0xFF);
  return RasterStream(std::vector<RasterPage>(pages, page));
}

TEST(Hostile, OutputThatFailsIsNeverReportedAsPrinted) {
  const std::string raster = WriteScratchFile("large.ras", LargeJob(6));
  const std::vector<std::string> env = FilterEnv(PpdText(18, {kZpl}));
  {
    SCOPED_TRACE("full device");
    Process process = Spawn(FilterArgs(Variant::kBase), env, {raster, "/dev/full"});
    const Result run = Wait(process);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(
        LinesStartingWith(run.err, "ERROR"),
        std::vector<std::string>{"ERROR:Unable to write print data: No space left on device"});
    EXPECT_EQ(LinesStartingWith(run.err, "INFO: Starting page").size(), 1u);
  }
  {
    SCOPED_TRACE("reader that goes away");
    Process process = Spawn(FilterArgs(Variant::kBase), env, {raster, kPipe});
    char bytes[100];
    ASSERT_EQ(read(process.stdout_fd, bytes, sizeof bytes), static_cast<ssize_t>(sizeof bytes));
    const Result run = Wait(process);
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(LinesStartingWith(run.err, "ERROR"),
              std::vector<std::string>{"ERROR:Unable to write print data: Broken pipe"});
    EXPECT_LT(LinesStartingWith(run.err, "INFO: Starting page").size(), 6u);
  }
}

// Reads a pipe to its end, slowly, as a printer backend on a slow link does.
std::string SlowlyRead(int fd) {
  std::string bytes;
  char chunk[2048];
  for (;;) {
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0)
      break;
    bytes.append(chunk, static_cast<size_t>(n));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return bytes;
}

TEST(Hostile, SigtermAtAnyMomentLeavesEveryLabelWhole) {
  constexpr size_t kPages = 6;
  std::mt19937 random(8122026);
  for (const bool tspl : {false, true}) {
    const std::string raster = WriteScratchFile("stress.ras", LargeJob(kPages));
    const std::vector<std::string> env = FilterEnv(PpdText(tspl ? 48 : 18, {tspl ? kTspl : kZpl}));
    // The whole job, uncancelled: every cancelled run must match its labels.
    const Result whole = RunProgram(FilterArgs(Variant::kBase), env, raster);
    const std::vector<Label> expected = WellFormedLabels(whole.out);
    ASSERT_EQ(expected.size(), kPages);
    for (int run_index = 0; run_index < 20; ++run_index) {
      const auto delay = std::chrono::microseconds(random() % 150000);
      SCOPED_TRACE(std::string(tspl ? "TSPL" : "ZPL") + " SIGTERM after " +
                   std::to_string(delay.count()) + " us");
      Process process = Spawn(FilterArgs(Variant::kBase), env, {raster, kPipe});
      std::string out;
      std::thread reader([&] { out = SlowlyRead(process.stdout_fd); });
      // The moments count from the first page's job query, by which time
      // the filter handles SIGTERM.
      while (ReadFile(process.err_path).empty())
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      std::this_thread::sleep_for(delay);
      kill(process.pid, SIGTERM);
      const size_t pages_at_signal =
          LinesStartingWith(SplitLines(ReadFile(process.err_path)), "PAGE:").size();
      reader.join();
      const Result run = Wait(process);
      EXPECT_EQ(run.signal, 0);
      const std::vector<Label> labels = WellFormedLabels(out);
      const size_t pages = LinesStartingWith(run.err, "PAGE:").size();
      EXPECT_EQ(run.exit_status, pages > 0 ? 0 : 1);
      EXPECT_EQ(labels.size(), pages);
      EXPECT_LE(pages, pages_at_signal + 1);
      for (size_t i = 0; i < labels.size() && i < kPages; ++i)
        EXPECT_EQ(labels[i].rows, expected[i].rows) << "label " << i;
    }
  }
}

TEST(Hostile, ValgrindFindsNoErrorOrLeakInAMultiPageJob) {
#ifdef VELLUM_SANITIZE
  GTEST_SKIP() << "valgrind does not run sanitized programs";
#endif
#ifdef VELLUM_CROSS_BUILD
  GTEST_SKIP() << "valgrind does not run programs built for another processor";
#endif
  const std::string raster = WriteScratchFile(
      "valgrind.ras", RasterStream({GreyPage(40, 300, 0), GreyPage(24, 20, 100), GreyPage(8, 1)}));
  const std::string ppd = PpdText(18, {kZpl,
                                       {"zeReference", "1", {"1"}},
                                       {"yReference", "-1", {"-1"}},
                                       {"Negative", "off", {"off"}},
                                       {"Gamma", "thicker", {"thicker"}}});
  const std::string log = ScratchDir() + "/valgrind.log";
  std::vector<std::string> argv = {"/usr/bin/valgrind", "--error-exitcode=99", "--leak-check=full",
                                   "--log-file=" + log, "-q"};
  for (const std::string &arg : FilterArgs(Variant::kBase))
    argv.push_back(arg);
  const Result checked = RunProgram(argv, FilterEnv(ppd), raster);
  const Result plain = RunProgram(FilterArgs(Variant::kBase), FilterEnv(ppd), raster);
  EXPECT_EQ(checked.exit_status, 0) << ReadFile(log);
  EXPECT_EQ(ReadFile(log), "");
  EXPECT_EQ(checked.out, plain.out);
  EXPECT_EQ(WellFormedLabels(checked.out).size(), 3u);
}

} // namespace
} // namespace vellum_test
