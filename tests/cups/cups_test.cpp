// The driver under a real CUPS scheduler: a private cupsd with its own
// folders under /tmp, listening only on a socket there, queues made from the
// shipped PPDs whose output a capture backend writes to files.
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "harness.h"
#include "private_scheduler.h"
#include "scheduler_suite.h"

namespace vellum_test {
namespace {

namespace fs = std::filesystem;

// Waits up to `seconds` for done() to hold.
template <typename Done> bool Await(Done done, int seconds = 60) {
  for (int i = 0; i < seconds * 20; ++i) {
    if (done())
      return true;
    Sleep(50);
  }
  return done();
}

class Scheduler : public SchedulerSuite {
protected:
  // The tests read the filters' messages from the scheduler's log.
  static void SetUpTestSuite() { StartScheduler("debug"); }

  static Result Client(const std::vector<std::string> &argv) { return cupsd_->Client(argv); }

  static std::string Ppd(const std::string &name) {
    return std::string(VELLUM_PPD_DIR) + "/" + name;
  }
  static std::string Output(const std::string &queue) {
    return cupsd_->Dir() + "/out/" + queue + ".prn";
  }

  static void AddQueue(const std::string &queue, const std::string &ppd, bool slow = false) {
    ASSERT_EQ(cupsd_->AddQueue(queue, Ppd(ppd), Output(queue), slow ? "slow" : ""), "");
  }

  static int Submit(const std::string &queue, const std::string &file,
                    const std::vector<std::string> &options = {}) {
    return cupsd_->Submit(queue, file, options);
  }

  static bool Active(int job) { return cupsd_->Active(job); }

  // Prints a file and returns what the printer got.
  static std::string Print(const std::string &queue, const std::string &file,
                           const std::vector<std::string> &options, int *job = nullptr) {
    const int id = Submit(queue, file, options);
    EXPECT_GT(id, 0);
    EXPECT_TRUE(Await([id] { return !Active(id); })) << "job " << id << " did not finish";
    if (job != nullptr)
      *job = id;
    return ReadFile(Output(queue));
  }

  static std::vector<std::string> JobLog(int job) { return cupsd_->JobLog(job); }
};

// The one label of a job, which must be well-formed and complete.
Label OnlyLabel(const std::string &job) {
  const DecodedJob decoded = DecodeJob(job);
  std::string error = decoded.error;
  const std::vector<Label> labels = Labels(decoded, &error);
  EXPECT_EQ(error, "");
  EXPECT_EQ(labels.size(), 1u);
  return labels.empty() ? Label{} : labels[0];
}

// Whether every pixel of the rectangle is (or, with dots false, none is) a dot.
bool All(const Label &label, uint64_t x0, uint64_t y0, uint64_t x1, uint64_t y1, bool dots) {
  for (uint64_t y = y0; y < y1 && y < label.rows.size(); ++y)
    for (uint64_t x = x0; x < x1; ++x)
      if (IsDot(label, label.rows[y], x) != dots)
        return false;
  return y1 <= label.rows.size();
}

// The first dot along a row or a column, scanning from (x, y) by (dx, dy).
uint64_t FirstDot(const Label &label, uint64_t x, uint64_t y, int dx, int dy) {
  while (y < label.rows.size() && x < DotsWide(label) && !IsDot(label, label.rows[y], x)) {
    x += static_cast<uint64_t>(dx);
    y += static_cast<uint64_t>(dy);
  }
  return dx != 0 ? x : y;
}

// A raster page in the printer's colour space (255 is black ink): a box.
std::string BoxRaster(size_t pages = 1, uint32_t height = 406) {
  RasterPage page = GreyPage(812, height, 0);
  page.header.cupsColorSpace = CUPS_CSPACE_K;
  for (uint32_t y = 120; y < 320; ++y)
    for (uint32_t x = 560; x < 760; ++x)
      page.pixels[size_t{y} * 812 + x] = 255;
  return WriteScratchFile("box-" + std::to_string(pages) + ".ras",
                          RasterStream(std::vector<RasterPage>(pages, page)));
}

TEST_F(Scheduler, PrintsARasterFileAndAPostScriptLabelEndToEnd) {
  AddQueue("zpl", "vellum-zpl-203.ppd");
  {
    SCOPED_TRACE("raster file");
    int job = 0;
    const std::string out = Print("zpl", BoxRaster(), {"zeMediaTracking=Web", "Offset=0"}, &job);
    EXPECT_EQ(out.rfind(Frame(0x16, {0x00}) + Frame(0x36, {0x55, 0x00}), 0), 0u);
    const Label label = OnlyLabel(out);
    EXPECT_EQ(label.width, 812u);
    EXPECT_EQ(label.height, 406u);
    EXPECT_TRUE(All(label, 560, 120, 760, 320, true));
    EXPECT_TRUE(All(label, 0, 0, 812, 120, false));
    EXPECT_TRUE(All(label, 0, 320, 812, 406, false));
    EXPECT_TRUE(All(label, 0, 120, 560, 320, false));
    // Run by the scheduler, the filter sees its own job processing.
    const std::vector<std::string> log = JobLog(job);
    EXPECT_NE(
        std::find(log.begin(), log.end(), "Job " + std::to_string(job) + " is now processing..."),
        log.end());
  }
  const std::string label_ps = std::string(VELLUM_SOURCE_DIR) + "/sample/label.ps";
  uint64_t top = 0, left = 0;
  {
    SCOPED_TRACE("PostScript label");
    const Label label = OnlyLabel(Print("zpl", label_ps, {"PageSize=w288h144"}));
    EXPECT_EQ(label.width, 812u);
    EXPECT_EQ(label.height, 406u);
    // The box spans 564-761 x 124-321 dots; below the text, the page between
    // bars and box is white.
    EXPECT_TRUE(All(label, 574, 134, 751, 311, true));
    EXPECT_TRUE(All(label, 400, 130, 530, 406, false));
    EXPECT_FALSE(All(label, 40, 160, 360, 340, false)); // the bars
    top = FirstDot(label, 660, 0, 0, 1);
    left = FirstDot(label, 400, 220, 1, 0);
    EXPECT_NEAR(static_cast<double>(top), 124, 2);
    EXPECT_NEAR(static_cast<double>(left), 564, 2);
  }
  {
    SCOPED_TRACE("PostScript label moved 2 mm down and 2 mm left");
    const Label label =
        OnlyLabel(Print("zpl", label_ps, {"PageSize=w288h144", "yReference=2", "zeReference=2"}));
    EXPECT_EQ(FirstDot(label, 660, 0, 0, 1), top + 15);
    EXPECT_EQ(FirstDot(label, 400, 220, 1, 0), left - 15);
  }
}

TEST_F(Scheduler, PrintsTsplAndThe03Printer) {
  const std::string label_ps = std::string(VELLUM_SOURCE_DIR) + "/sample/label.ps";
  AddQueue("tspl", "vellum-tspl-300.ppd");
  {
    SCOPED_TRACE("TSPL at 300 dpi");
    const Label label = OnlyLabel(Print("tspl", label_ps, {"PageSize=w288h144"}));
    EXPECT_TRUE(label.tspl);
    EXPECT_EQ(label.size, "SIZE 101.6 mm,50.8 mm");
    EXPECT_EQ(label.rows.size(), 600u);
    EXPECT_TRUE(All(label, 845, 195, 1113, 463, true)); // the box, 833-1125 x 183-475
    EXPECT_TRUE(All(label, 590, 190, 780, 600, false));
  }
  AddQueue("zpl03", "vellum-zpl-203-03.ppd");
  {
    SCOPED_TRACE("vellumfilter_03");
    int job = 0;
    const std::string out =
        Print("zpl03", label_ps, {"PageSize=w288h144", "Print_Mode=Auto", "Offset=0"}, &job);
    EXPECT_EQ(out.rfind(Frame(0x36, {0x70, 0x00}) + Frame(0x41, {0x02}), 0), 0u);
    OnlyLabel(out);
    bool started = false;
    for (const std::string &line : JobLog(job))
      started = started || (Contains(line, "Started filter") && Contains(line, "/vellumfilter_03"));
    EXPECT_TRUE(started);
  }
}

// Carriers' ZPL and TSPL files, typed by the driver's CUPS types or sent
// raw, reach the printer byte for byte through the queue of their
// language; text prints as text; bytes that are nothing are refused.
TEST_F(Scheduler, PrinterProgramsPassThroughTheirQueuesAndTextPrintsAsText) {
  AddQueue("programs-zpl", "vellum-zpl-203.ppd");
  AddQueue("programs-tspl", "vellum-tspl-203.ppd");
  const std::string zpl = WriteScratchFile(
      "label.zpl", "\xEF\xBB\xBF^XA^FO50,50^A0N,40,40^FDParcel 1^FS^BY3^FO50,120^BCN,100"
                   "^FD12345678^FS^XZ\r\n");
  const std::string designer = WriteScratchFile(
      "designer.zpl", "CT~~CD,~CC^~CT~\r\n^XA~TA000~JSN^LT0^MNW^PW812^XZ\r\n^XA^FO20,20"
                      "^GB100,100,4^FS^PQ1,0,1,Y^XZ\r\n");
  const std::string tspl =
      WriteScratchFile("label.tspl", "SIZE 50 mm,25 mm\r\nGAP 3 mm,0\r\nDIRECTION 1\r\nCLS\r\n"
                                     "TEXT 20,20,\"3\",0,1,1,\"Parcel 1\"\r\nPRINT 1,1\r\n");
  const std::string text =
      WriteScratchFile("notes.txt", "SIZE of the box: 4 x 6 in\nCLS means clear screen.\n");
  std::string noise(3000, '\0');
  for (size_t i = 0; i < noise.size(); ++i)
    noise[i] = static_cast<char>((i * 2654435761u) >> 13);
  // What the printer gets: the file as it is, a label of the filter's, or
  // nothing as the scheduler refuses the file.
  enum Expect { kAsSent, kLabel, kRefused };
  const struct {
    const char *name, *queue;
    std::string file;
    std::vector<std::string> options;
    Expect expect;
  } roads[] = {
      {"ZPL", "programs-zpl", zpl, {}, kAsSent},
      {"ZPL, raw", "programs-zpl", zpl, {"raw"}, kAsSent},
      {"ZPL from ZebraDesigner", "programs-zpl", designer, {}, kAsSent},
      {"TSPL", "programs-tspl", tspl, {}, kAsSent},
      {"TSPL, raw", "programs-tspl", tspl, {"raw"}, kAsSent},
      {"text", "programs-zpl", text, {"PageSize=w288h144"}, kLabel},
      {"unknown bytes", "programs-zpl", WriteScratchFile("noise.bin", noise), {}, kRefused},
  };
  for (const auto &road : roads) {
    SCOPED_TRACE(road.name);
    if (road.expect == kRefused) {
      EXPECT_EQ(Submit(road.queue, road.file, road.options), -1);
      continue;
    }
    const std::string out = Print(road.queue, road.file, road.options);
    if (road.expect == kAsSent)
      EXPECT_TRUE(out == ReadFile(road.file)) << "the printer got other bytes";
    else
      EXPECT_FALSE(All(OnlyLabel(out), 0, 0, 812, 406, false)) << "a blank label";
  }
}

TEST_F(Scheduler, TheFilterWaitsWhileItsJobIsHeld) {
  AddQueue("held", "vellum-zpl-203.ppd");
  const std::string raster = BoxRaster();
  const int job = Submit("held", raster, {"job-hold-until=indefinite"});
  ASSERT_GT(job, 0);
  const std::string id = std::to_string(job);
  std::vector<std::string> env = cupsd_->Env();
  env.push_back("PPD=" + Ppd("vellum-zpl-203.ppd"));
  Process filter =
      Spawn({FilterPath(Variant::kBase), id, "user", "title", "1", "", raster}, env, {"", ""});
  const std::string paused = "Job " + id + " is paused. Sleeping for 1 second...";
  const auto paused_lines = [&] {
    return LinesStartingWith(SplitLines(ReadFile(filter.err_path)), paused).size();
  };
  EXPECT_TRUE(Await([&] { return paused_lines() >= 2; }, 20));
  // Still waiting, and nothing of the page printed yet.
  EXPECT_EQ(LinesStartingWith(SplitLines(ReadFile(filter.err_path)), "PAGE:").size(), 0u);
  ASSERT_EQ(Client({"/usr/bin/lp", "-i", id, "-H", "resume"}).exit_status, 0);
  const Result run = Wait(filter);
  EXPECT_EQ(run.exit_status, 0);
  const std::vector<std::string> &err = run.err;
  size_t i = 0;
  while (i < err.size() && err[i] == paused)
    ++i;
  EXPECT_GE(i, 2u);
  ASSERT_LT(i, err.size());
  // The first query after the release ends the wait: the job is processing,
  // or already done, absent from the active jobs or with none left at all.
  if (err[i] == "Job " + id + " is now processing..." ||
      err[i] == "No jobs found or an error occurred.")
    ++i;
  ASSERT_LT(i, err.size());
  EXPECT_EQ(err[i], "Processing job " + id + "...");
  OnlyLabel(run.out);
  EXPECT_TRUE(Await([job] { return !Active(job); }));
}

TEST_F(Scheduler, ACancelledJobEndsWithTheLabelInProgress) {
  AddQueue("slow", "vellum-zpl-203.ppd", true);
  const int job = Submit("slow", BoxRaster(10, 1218));
  ASSERT_GT(job, 0);
  const auto started = [job] {
    const std::vector<std::string> log = JobLog(job);
    return std::count(log.begin(), log.end(), "Starting page 2.") > 0;
  };
  ASSERT_TRUE(Await(started, 60));
  ASSERT_EQ(Client({"/usr/bin/cancel", std::to_string(job)}).exit_status, 0);
  // The backend copies what the filter still sends, then ends.
  const auto backend_done = [job] {
    // "PID n (.../vellumcap) exited with no errors." or "... stopped with status n."
    for (const std::string &line : JobLog(job))
      if (line.rfind("PID ", 0) == 0 && Contains(line, "/vellumcap)"))
        return true;
    return false;
  };
  ASSERT_TRUE(Await(backend_done)) << ReadFile(cupsd_->Dir() + "/log/error_log");
  const DecodedJob decoded = DecodeJob(ReadFile(Output("slow")));
  std::string error = decoded.error;
  const std::vector<Label> labels = Labels(decoded, &error);
  EXPECT_EQ(error, "");
  EXPECT_GE(labels.size(), 2u);
  EXPECT_LT(labels.size(), 10u);
  for (const Label &label : labels)
    EXPECT_EQ(label.rows.size(), 1218u);
  size_t pages_started = 0;
  for (const std::string &line : JobLog(job))
    pages_started += line.rfind("Starting page ", 0) == 0 ? 1 : 0;
  EXPECT_EQ(pages_started, labels.size());
}

TEST_F(Scheduler, AThousandQueuedJobsChangeNothingTheFilterReports) {
  AddQueue("lines", "vellum-zpl-203.ppd");
  AddQueue("others", "vellum-zpl-203.ppd");
  const std::string raster = BoxRaster(2);
  // The job's state reports and page accounting, its id written as N.
  const auto reports = [](int job) {
    const std::string id = std::to_string(job);
    std::vector<std::string> lines;
    for (std::string line : JobLog(job)) {
      if (line.rfind("Job " + id + " ", 0) != 0 && line.rfind("No jobs found", 0) != 0 &&
          line.rfind("Processing job ", 0) != 0)
        continue;
      for (size_t at; (at = line.find(id)) != std::string::npos;)
        line.replace(at, id.size(), "N");
      lines.push_back(line);
    }
    return lines;
  };
  int alone = 0;
  Print("lines", raster, {}, &alone);
  const std::vector<std::string> expected = {"Job N is now processing...", "Processing job N...",
                                             "Job N is now processing...", "Processing job N..."};
  EXPECT_EQ(reports(alone), expected);

  http_t *http = cupsd_->Connect();
  ASSERT_NE(http, nullptr);
  cups_option_t *hold = nullptr;
  const int count = cupsAddOption("job-hold-until", "indefinite", 0, &hold);
  for (int i = 0; i < 1000; ++i)
    ASSERT_GT(cupsPrintFile2(http, "others", raster.c_str(), "held", count, hold), 0);
  cupsFreeOptions(count, hold);
  httpClose(http);
  int behind_1000 = 0;
  Print("lines", raster, {}, &behind_1000);
  EXPECT_EQ(reports(behind_1000), expected);
  // Later tests find the scheduler idle again.
  EXPECT_EQ(Client({"/usr/bin/cancel", "-a", "others"}).exit_status, 0);
}

} // namespace
} // namespace vellum_test
