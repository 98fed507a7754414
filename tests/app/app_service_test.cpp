// The printer application as a service: an owner's settings survive a
// restart and reach the printer bytes, and the web interface's test page
// prints the sample label.
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "harness.h"
#include "printer_app.h"

namespace vellum_test {
namespace {

// The labels of the captures, by the text each carries ("Label 2"), in the
// order they reached the printer.
std::vector<std::string> LabelTexts(const std::vector<std::string> &captures) {
  std::vector<std::string> texts;
  for (const std::string &capture : captures)
    for (size_t at = capture.find("^FDLabel "); at != std::string::npos;
         at = capture.find("^FDLabel ", at + 1))
      texts.push_back(capture.substr(at + 3, capture.find("^FS", at) - at - 3));
  return texts;
}

// Labels queued for a printer that does not answer survive every way the
// server can stop (its shutdown sub-command, SIGTERM, SIGKILL): the stop
// takes a second or two, and once the server is back and the printer
// answers, every label prints once, in the order submitted. A job whose
// document went missing meanwhile ends aborted, saying why; a paused
// printer stays paused until its owner resumes it; the spool keeps no file
// of a job that is gone.
TEST(AppService, QueuedLabelsSurviveEveryKindOfStopAndPrintInOrder) {
  struct Stop {
    const char *how;
    bool paused, remove_second;
  };
  for (const Stop &stop : {Stop{"shutdown", true, false}, Stop{"SIGTERM", false, true},
                           Stop{"SIGKILL", false, false}}) {
    SCOPED_TRACE(stop.how);
    PrinterApp app;
    ASSERT_EQ(app.Start(), "");
    const int port = FreePort();
    ASSERT_EQ(
        app.AddPrinter("later", "vellum-zpl-203", "socket://127.0.0.1:" + std::to_string(port)),
        "");
    std::vector<int> jobs;
    for (int n = 1; n <= 4; ++n) {
      const std::string program =
          WriteScratchFile("label" + std::to_string(n) + ".zpl",
                           "^XA^FO50,50^A0N,40,40^FDLabel " + std::to_string(n) + "^FS^XZ\r\n");
      jobs.push_back(app.Print("later", program, "application/vnd.zebra-zpl"));
      ASSERT_GT(jobs.back(), 0) << cupsLastErrorString();
    }
    if (stop.paused) {
      EXPECT_EQ(app.Command({"pause", "-d", "later"}).exit_status, 0);
    }
    Sleep(2500); // the state is saved within a second of a change
    const double took = app.StopBy(stop.how);
    EXPECT_GE(took, 0) << "the server did not end";
    EXPECT_LT(took, 5) << "the server took long to end";
    std::string removed;
    if (stop.remove_second) {
      for (const auto &entry : std::filesystem::directory_iterator(app.Dir() + "/spool"))
        if (Contains(entry.path().filename().string(), "j000000002-") &&
            entry.path().extension() != ".ipp")
          removed = entry.path().string();
      ASSERT_FALSE(removed.empty());
      std::filesystem::remove(removed);
    }

    SocketPrinter printer({}, port);
    ASSERT_EQ(app.Start(), "");
    std::vector<std::string> expected = {"Label 1", "Label 2", "Label 3", "Label 4"};
    if (stop.remove_second) {
      expected.erase(expected.begin() + 1);
      EXPECT_EQ(app.AwaitJob("later", jobs[1], 10), IPP_JSTATE_ABORTED);
      EXPECT_TRUE(Contains(app.JobText("later", jobs[1], "job-state-message"), removed))
          << app.JobText("later", jobs[1], "job-state-message");
    }
    if (stop.paused) {
      Sleep(3000);
      EXPECT_EQ(printer.Bytes(), 0u) << "a paused printer printed after the restart";
      EXPECT_EQ(app.Command({"resume", "-d", "later"}).exit_status, 0);
    }
    for (const int job : jobs) {
      if (!stop.remove_second || job != jobs[1]) {
        EXPECT_EQ(app.AwaitJob("later", job, 60), IPP_JSTATE_COMPLETED) << job;
      }
    }
    Sleep(500);
    EXPECT_EQ(LabelTexts(printer.Captures()), expected);
    for (const auto &entry : std::filesystem::directory_iterator(app.Dir() + "/spool"))
      ADD_FAILURE() << "left in the spool: " << entry.path();
  }
}

// The drivers sub-command, run while the server runs on the same state and
// spool, leaves both alone: a file in the spool of a job the saved state
// does not know yet (one still arriving) stays; the server that owns the
// spool clears such a file at its next start, and the job it restores is
// listed once (each of its attributes once).
TEST(AppService, TheDriversListLeavesARunningServersQueueAlone) {
  PrinterApp app;
  ASSERT_EQ(app.Start(), "");
  ASSERT_EQ(
      app.AddPrinter("later", "vellum-zpl-203", "socket://127.0.0.1:" + std::to_string(FreePort())),
      "");
  const int job =
      app.Print("later", WriteScratchFile("one.zpl", "^XA^XZ\r\n"), "application/vnd.zebra-zpl");
  ASSERT_GT(job, 0) << cupsLastErrorString();
  const std::string arriving = app.Dir() + "/spool/p00001j000000099-arriving.zpl";
  std::ofstream(arriving) << "^XA^XZ\r\n";
  const Result drivers = app.Command({"drivers", "-o", "spool-directory=" + app.Dir() + "/spool"});
  EXPECT_EQ(drivers.exit_status, 0);
  EXPECT_EQ(SplitLines(drivers.out).size(), 5u);
  EXPECT_TRUE(std::filesystem::exists(arriving)) << "the drivers list cleared the server's spool";

  ASSERT_GE(app.StopBy("SIGTERM"), 0);
  ASSERT_EQ(app.Start(), "");
  EXPECT_EQ(app.ActiveJobs("later"), std::vector<int>{job});
  EXPECT_FALSE(std::filesystem::exists(arriving));
}

// The sub-commands never start a server of their own. Where none answers
// (none ran, or one was stopped and its socket is gone, as a reboot or the
// service's stop leaves it) they say so, naming the socket, end with
// status 1 and leave no server behind; status and shutdown say so as
// PAPPL does. Run while a server starts again (its socket still there,
// refusing), a sub-command waits for it.
TEST(AppService, TheCommandLineNeverStartsAServerOfItsOwn) {
  if (geteuid() != 0)
    GTEST_SKIP() << "a user's sub-commands share one socket in /tmp with every other test's";
  PrinterApp app;
  ASSERT_EQ(app.Start(), "");
  ASSERT_EQ(app.AddPrinter("labels", "vellum-zpl-203", "socket://127.0.0.1:9"), "");
  ASSERT_GE(app.StopBy("SIGTERM"), 0);
  const std::string socket = app.Dir() + "/vellum-printer-app.sock";
  std::filesystem::remove(socket);
  const std::string label = WriteScratchFile("none.zpl", "^XA^XZ\r\n");
  struct Case {
    std::vector<std::string> args;
    int status;
    const char *said; // on standard error, or on standard output for status
  };
  const Case cases[] = {
      {{"jobs"}, 1, "No server is running"},
      {{"printers"}, 1, "No server is running"},
      {{"add", "-d", "more", "-m", "vellum-zpl-203", "-v", "socket://127.0.0.1:9"},
       1,
       "No server is running"},
      {{"submit", "-d", "labels", label}, 1, "No server is running"},
      {{label}, 1, "No server is running"},
      {{"cancel", "-d", "labels", "-j", "1"}, 1, "No server is running"},
      {{"status"}, 0, "Server is not running."},
      {{"shutdown"}, 1, "Server is not running."},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args[0]);
    const Result run = app.Command(c.args);
    EXPECT_EQ(run.exit_status, c.status);
    const std::string said = c.args[0] == "status" ? run.out : testing::PrintToString(run.err);
    EXPECT_TRUE(Contains(said, c.said)) << said;
    if (c.status != 0 && c.said == std::string("No server is running")) {
      EXPECT_TRUE(Contains(said, socket)) << "the socket tried is not named: " << said;
    }
    EXPECT_FALSE(std::filesystem::exists(socket)) << "a server of the sub-command's own started";
  }

  // Killed, the server leaves its socket; a sub-command run then waits
  // for the server that starts again.
  ASSERT_EQ(app.Start(), "");
  ASSERT_EQ(app.Command({"printers"}).exit_status, 0); // its socket is there
  ASSERT_GE(app.StopBy("SIGKILL"), 0);
  ASSERT_TRUE(std::filesystem::is_socket(socket));
  std::atomic<bool> done{false};
  Result listed;
  std::thread command([&] {
    listed = app.Command({"printers"});
    done = true;
  });
  Sleep(1000); // the sub-command meanwhile finds the socket refusing
  EXPECT_FALSE(done) << "the sub-command did not wait for the server";
  ASSERT_EQ(app.Start(), "");
  command.join();
  EXPECT_EQ(listed.exit_status, 0) << testing::PrintToString(listed.err);
  EXPECT_TRUE(Contains(listed.out, "labels")) << listed.out;
}

// A user's first run makes the folders of the default spool and state
// (~/.config), and names the one it cannot make.
TEST(AppService, AUsersFirstRunMakesItsFolders) {
  if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0)
    GTEST_SKIP() << "runs the server as another user: needs root and setpriv";
  // A home the user owns, in a folder the user can reach.
  char folder[] = "/tmp/vellum-home-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string home = std::string(folder) + "/home";
  std::filesystem::create_directories(home);
  std::filesystem::permissions(folder, std::filesystem::perms::owner_all |
                                           std::filesystem::perms::group_exec |
                                           std::filesystem::perms::others_exec);
  RunProgram({"/bin/chown", "nobody", home}, {});
  struct Run {
    std::string home;
    int status;
    std::string said;
  };
  for (const Run &run : {Run{home, 0, ""}, Run{"/proc/1/nowhere", 1, "/proc/1/nowhere"}}) {
    SCOPED_TRACE(run.home);
    std::vector<std::string> env = AppSanitizerEnv();
    env.insert(env.end(), {"HOME=" + run.home, "PATH=/usr/bin:/bin", "LC_ALL=C"});
    const Result drivers = RunProgram({"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup",
                                       "--clear-groups", VELLUM_PRINTER_APP_PATH, "drivers"},
                                      env);
    EXPECT_EQ(drivers.exit_status, run.status) << testing::PrintToString(drivers.err);
    if (run.status == 0) {
      EXPECT_EQ(SplitLines(drivers.out).size(), 5u);
      EXPECT_TRUE(std::filesystem::is_directory(home + "/.config"));
    } else {
      EXPECT_TRUE(Contains(testing::PrintToString(drivers.err), run.said))
          << testing::PrintToString(drivers.err);
    }
  }
  std::filesystem::remove_all(folder);
}

// Whichever way the server stops right after a change: a stop by signal
// is the keeper's, and PAPPL takes the server down itself at a shutdown
// with no job waiting.
TEST(AppService, PrinterSettingsSurviveARestartAndReachThePrinter) {
  for (const char *how : {"SIGTERM", "shutdown"}) {
    SCOPED_TRACE(how);
    PrinterApp app;
    ASSERT_EQ(app.Start(), "");
    SocketPrinter printer;
    ASSERT_EQ(app.AddPrinter("kept", "vellum-zpl-203", printer.Uri()), "");
    ASSERT_EQ(app.SetPrinterAttributes("kept", {{"printer-darkness-configured", "80"},
                                                {"print-speed-default", "10160"},
                                                {"print-color-mode-default", "monochrome"},
                                                {"print-content-optimize-default", "photo"},
                                                {"label-density-default", "thicker"},
                                                {"label-feed-offset-default", "minus-2"},
                                                {"label-print-mode-default", "thermal-transfer"},
                                                {"media-col.media-size-name", "oe_4x6-label_4x6in"},
                                                {"media-col.media-top-offset", "200"},
                                                {"media-col.media-tracking", "mark"}}),
              "");
    ASSERT_GE(app.StopBy(how), 0);
    ASSERT_EQ(app.Start(), "");

    const RasterPage page = LabelPage(812, 1218, 203);
    const std::string document = WriteScratchFile("kept.pwg", PwgRaster({page}));
    const int job = app.Print("kept", document, "image/pwg-raster");
    ASSERT_GT(job, 0) << cupsLastErrorString();
    EXPECT_EQ(app.AwaitJob("kept", job, 60), IPP_JSTATE_COMPLETED);
    ASSERT_TRUE(printer.AwaitCaptures(1, 30));
    // Configured darkness 80 of 100 is level 12 of 15.
    const std::string expected =
        FilterBytes("vellum-zpl-203", {page},
                    "Darkness=12 zePrintRate=4 Halftone=Diffusion Gamma=thicker Offset=-2 "
                    "Print_Mode=Thermal_Transfer yReference=2 zeMediaTracking=Mark",
                    12);
    EXPECT_TRUE(printer.Captures()[0] == expected) << "the printer bytes differ from the filter's";
  }
}

// The owner's tear-off position of a TSPL printer (label-tear-off: PAPPL 1.3
// takes no label-tear-offset-configured).
TEST(AppService, TheTearOffPositionReachesATsplPrinter) {
  PrinterApp app;
  ASSERT_EQ(app.Start(), "");
  SocketPrinter printer;
  ASSERT_EQ(app.AddPrinter("tear", "vellum-tspl-203", printer.Uri()), "");
  ASSERT_EQ(app.SetPrinterAttributes("tear", {{"label-tear-off-default", "minus-2"}}), "");
  const RasterPage page = LabelPage(406, 203, 203);
  const int job = app.Print("tear", WriteScratchFile("tear.pwg", PwgRaster({page})),
                            "image/pwg-raster", {{"media", "oe_2x1-label_2x1in"}});
  ASSERT_GT(job, 0) << cupsLastErrorString();
  EXPECT_EQ(app.AwaitJob("tear", job, 60), IPP_JSTATE_COMPLETED);
  ASSERT_TRUE(printer.AwaitCaptures(1, 30));
  EXPECT_TRUE(printer.Captures()[0] ==
              FilterBytes("vellum-tspl-203", {page}, "zeTearOffPosition=-2"));
}

size_t Occurrences(const std::string &text, const std::string &part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++count;
  return count;
}

// A stop while a printer works through a backlog cuts no label: the label
// being sent is finished, no other starts, and the rest print after the
// restart, each once and whole, in the order submitted. The backlog takes
// the printer longer than the grace a label in progress has at a stop.
TEST(AppService, AStopDuringABacklogCutsNoLabel) {
  constexpr int kJobs = 12;
  PrinterApp app;
  ASSERT_EQ(app.Start(), "");
  SocketPrinter printer({120000});
  ASSERT_EQ(app.AddPrinter("busy", "vellum-zpl-203", printer.Uri()), "");
  // 150 KB a label: a picture of 750 rows of 100 bytes, in hexadecimal.
  std::string picture;
  for (int i = 0; i < 750 * 100; ++i)
    picture += i % 3 == 0 ? "F0" : "0F";
  std::vector<int> jobs;
  for (int n = 1; n <= kJobs; ++n) {
    const std::string program = "^XA^FO50,50^A0N,40,40^FDLabel " + std::to_string(n) +
                                "^FS^FO0,120^GFA,75000,75000,100," + picture + "^FS^XZ\r\n";
    jobs.push_back(
        app.Print("busy", WriteScratchFile("backlog.zpl", program), "application/vnd.zebra-zpl"));
    ASSERT_GT(jobs.back(), 0) << cupsLastErrorString();
  }
  ASSERT_TRUE(printer.AwaitBytes(1, 30));
  const double took = app.StopBy("SIGTERM");
  EXPECT_GE(took, 0) << "the server did not end";
  EXPECT_LT(took, 8) << "the server took long to end";

  ASSERT_EQ(app.Start(), "");
  for (const int job : jobs)
    EXPECT_EQ(app.AwaitJob("busy", job, 60), IPP_JSTATE_COMPLETED) << job;
  for (int i = 0; i < 300 && LabelTexts(printer.Captures()).size() < kJobs; ++i)
    Sleep(100);
  // A cut label would print again, whole: its text twice, one end more
  // than labels.
  std::vector<std::string> expected;
  for (int n = 1; n <= kJobs; ++n)
    expected.push_back("Label " + std::to_string(n));
  EXPECT_EQ(LabelTexts(printer.Captures()), expected);
  size_t ends = 0;
  for (const std::string &capture : printer.Captures())
    ends += Occurrences(capture, "^XZ");
  EXPECT_EQ(ends, static_cast<size_t>(kJobs));
}

// Set-Printer-Attributes takes any keyword for an owner's setting and any
// offset; such values go back to the last valid ones within a second (when
// the server saves its state), so the printer bytes stay those of the valid
// settings.
TEST(AppService, SettingsOutOfRangeGoBackToTheLastValidOnes) {
  PrinterApp app;
  ASSERT_EQ(app.Start(), "");
  SocketPrinter printer;
  ASSERT_EQ(app.AddPrinter("kept", "vellum-zpl-203", printer.Uri()), "");
  ASSERT_EQ(app.SetPrinterAttributes("kept", {{"label-density-default", "thicker"},
                                              {"media-col.media-size-name", "oe_2x1-label_2x1in"},
                                              {"media-col.media-top-offset", "200"}}),
            "");
  const std::vector<std::vector<JobAttribute>> out_of_range = {
      {{"label-density-default", "bogus"}},
      {{"label-print-mode-default", "../../etc"}, {"label-negative-default", "maybe"}},
      {{"media-col.media-size-name", "oe_2x1-label_2x1in"}, {"media-col.media-top-offset", "5000"}},
  };
  const RasterPage page = LabelPage(406, 203, 203);
  const std::string document = WriteScratchFile("kept.pwg", PwgRaster({page}));
  const std::string expected = FilterBytes("vellum-zpl-203", {page}, "Gamma=thicker yReference=2");
  size_t printed = 0;
  for (const auto &attributes : out_of_range) {
    SCOPED_TRACE(attributes[0].name + "=" + attributes[0].value);
    const size_t refused = Occurrences(app.Log(), "Refused settings out of range");
    app.SetPrinterAttributes("kept", attributes); // taken and then refused
    for (int i = 0; i < 200 && Occurrences(app.Log(), "Refused settings out of range") == refused;
         ++i)
      Sleep(50);
    const int job = app.Print("kept", document, "image/pwg-raster");
    ASSERT_GT(job, 0) << cupsLastErrorString();
    EXPECT_EQ(app.AwaitJob("kept", job, 60), IPP_JSTATE_COMPLETED);
    ASSERT_TRUE(printer.AwaitCaptures(++printed, 30));
    EXPECT_TRUE(printer.Captures().back() == expected) << "the printer bytes changed";
  }
  EXPECT_EQ(Occurrences(app.Log(), "Refused settings out of range"), out_of_range.size());
}

TEST(AppService, TheTestPageButtonPrintsTheSampleLabel) {
  PrinterApp app;
  ASSERT_EQ(app.Start(), "");
  SocketPrinter printer;
  ASSERT_EQ(app.AddPrinter("test-page", "vellum-tspl-300", printer.Uri()), "");
  const auto [status, page] = app.Web("/test-page/");
  ASSERT_EQ(status, 200);
  ASSERT_NE(page.find("print-test-page"), std::string::npos) << "no test page button";
  const std::string session = app.FormSession("/test-page/");
  ASSERT_NE(session, "");
  const auto posted = app.Web("/test-page/", "session=" + session + "&action=print-test-page");
  EXPECT_LT(posted.first, 400);
  ASSERT_TRUE(printer.AwaitCaptures(1, 60));
  bool whole = false;
  ASSERT_EQ(WholeLabels(printer.Captures()[0], &whole), 1u);
  EXPECT_TRUE(whole);
  const DecodedJob job = DecodeJob(printer.Captures()[0]);
  std::string error;
  const std::vector<Label> labels = Labels(job, &error);
  // Ink on the label: the sample's bars and box.
  size_t dots = 0;
  for (const std::string &row : labels[0].rows)
    for (uint64_t x = 0; x < row.size() * 8; x += 4)
      dots += IsDot(labels[0], row, x) ? 1 : 0;
  EXPECT_GT(dots, 1000u);
  // The label printed from a copy: PAPPL removes a job's file with the job.
  app.Stop();
  EXPECT_EQ(access(VELLUM_SOURCE_DIR "/sample/label.pdf", R_OK), 0);
}

} // namespace
} // namespace vellum_test
