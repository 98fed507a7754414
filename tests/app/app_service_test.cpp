// The printer application as a service: an owner's settings survive a
// restart and reach the printer bytes, and the web interface's test page
// prints the sample label.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <set>
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

size_t Occurrences(const std::string &text, const std::string &part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++count;
  return count;
}

// Labels queued for a printer that does not answer survive every way the
// server can stop (its shutdown sub-command, SIGTERM, SIGKILL): the stop
// takes a second or two, also while the server tries to connect to a
// printer that drops what is sent to it (a switched-off printer on the
// LAN), and once the server is back and the printer answers, every label
// prints once, in the order submitted. A job whose document went missing
// meanwhile ends aborted, saying why; a paused printer stays paused until
// its owner resumes it, also when the stop follows the pause at once; the
// spool keeps no file of a job that is gone.
TEST(AppService, QueuedLabelsSurviveEveryKindOfStopAndPrintInOrder) {
  struct Stop {
    const char *how;
    bool paused, remove_second;
    bool at_once; // the stop follows the last change at once
    bool silent;  // the printer drops what is sent to it
  };
  for (const Stop &stop :
       {Stop{"shutdown", true, false, false, false}, Stop{"shutdown", true, false, true, false},
        Stop{"SIGTERM", false, true, false, false}, Stop{"SIGTERM", false, false, false, true},
        Stop{"SIGKILL", false, false, false, false}}) {
    SCOPED_TRACE(std::string(stop.how) + (stop.at_once ? ", at once" : "") +
                 (stop.silent ? ", silent printer" : ""));
    std::optional<TestNetwork> network;
    if (stop.silent) {
      network.emplace();
      if (!network->Error().empty()) {
        std::cout << "skipped the silent printer: " << network->Error() << "\n";
        continue;
      }
    }
    const std::string host = stop.silent ? TestNetwork::kHost : "127.0.0.1";
    PrinterApp app;
    ASSERT_EQ(app.Start(), "");
    const int port = FreePort();
    ASSERT_EQ(
        app.AddPrinter("later", "vellum-zpl-203", "socket://" + host + ":" + std::to_string(port)),
        "");
    std::vector<int> jobs;
    const auto submit = [&app, &jobs] {
      for (int n = 1; n <= 4; ++n) {
        const std::string program =
            WriteScratchFile("label" + std::to_string(n) + ".zpl",
                             "^XA^FO50,50^A0N,40,40^FDLabel " + std::to_string(n) + "^FS^XZ\r\n");
        jobs.push_back(app.Print("later", program, "application/vnd.zebra-zpl"));
        EXPECT_GT(jobs.back(), 0) << cupsLastErrorString();
      }
    };
    // A stop at once after a pause, with no job waiting, is PAPPL's own end
    // (the jobs come after the restart).
    if (!stop.at_once)
      submit();
    if (stop.paused) {
      EXPECT_EQ(app.Command({"pause", "-d", "later"}).exit_status, 0);
    }
    // The state is saved within a second of a change.
    const std::string state = app.Dir() + "/vellum-printer-app.state";
    for (int i = 0; i < 100 && !stop.at_once &&
                    (Occurrences(ReadFile(state), "Job id=") < jobs.size() ||
                     (stop.paused && !Contains(ReadFile(state + ".queue"), "paused")));
         ++i)
      Sleep(50);
    if (stop.silent) {
      // The printer goes silent while the server tries it again and again
      // (every five seconds): the stop comes while it connects.
      network->SilenceHost();
      const size_t tries = Occurrences(app.Log(), "Opening device for job");
      for (int i = 0; i < 200 && Occurrences(app.Log(), "Opening device for job") == tries; ++i)
        Sleep(50);
    }
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

    if (stop.silent)
      network->WakeHost();
    SocketPrinter printer({}, port, host);
    ASSERT_EQ(app.Start(), "");
    if (stop.at_once)
      submit();
    std::vector<std::string> expected = {"Label 1", "Label 2", "Label 3", "Label 4"};
    if (stop.remove_second) {
      expected.erase(expected.begin() + 1);
      EXPECT_EQ(app.AwaitJob("later", jobs[1], 10), IPP_JSTATE_ABORTED);
      EXPECT_TRUE(Contains(app.JobText("later", jobs[1], "job-state-message"), removed))
          << app.JobText("later", jobs[1], "job-state-message");
    }
    if (stop.paused) {
      EXPECT_EQ(app.PrinterAttributes("later").find("printer-state")->second, "5")
          << "the printer is not paused after the restart";
      Sleep(3000);
      EXPECT_EQ(printer.Bytes(), 0u) << "a paused printer printed after the restart";
      EXPECT_EQ(app.Command({"resume", "-d", "later"}).exit_status, 0);
    }
    for (const int job : jobs) {
      if (!stop.remove_second || job != jobs[1]) {
        EXPECT_EQ(app.AwaitJob("later", job, 60), IPP_JSTATE_COMPLETED) << job;
      }
    }
    for (int i = 0; i < 100 && LabelTexts(printer.Captures()).size() < expected.size(); ++i)
      Sleep(50);
    EXPECT_EQ(LabelTexts(printer.Captures()), expected);
    const auto spooled = [&app] {
      std::vector<std::string> files;
      for (const auto &entry : std::filesystem::directory_iterator(app.Dir() + "/spool"))
        files.push_back(entry.path().string());
      return files;
    };
    // PAPPL removes an ended job's settings file when it next saves its state.
    for (int i = 0; i < 100 && !spooled().empty(); ++i)
      Sleep(50);
    for (const std::string &file : spooled())
      ADD_FAILURE() << "left in the spool: " << file;
  }
}

// Many clients queue labels on one printer at the same moment: each label
// prints once and every job completes, each started once.
TEST(AppService, ManyClientsQueueingOnOnePrinterPrintEachLabelOnce) {
  PrinterApp app;
  ASSERT_EQ(app.Start(), "");
  SocketPrinter printer;
  ASSERT_EQ(app.AddPrinter("busy", "vellum-zpl-203", printer.Uri()), "");
  constexpr int kClients = 8, kJobsEach = 6;
  std::vector<std::string> programs;
  for (int n = 0; n < kClients * kJobsEach; ++n)
    programs.push_back(
        WriteScratchFile("busy" + std::to_string(n) + ".zpl",
                         "^XA^FO50,50^A0N,40,40^FDLabel " + std::to_string(n) + "^FS^XZ\r\n"));
  std::vector<std::vector<int>> jobs(kClients);
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c)
    clients.emplace_back([&, c] {
      for (int i = 0; i < kJobsEach; ++i)
        jobs[c].push_back(
            app.Print("busy", programs[c * kJobsEach + i], "application/vnd.zebra-zpl"));
    });
  for (std::thread &client : clients)
    client.join();
  for (const std::vector<int> &each : jobs)
    for (const int job : each)
      EXPECT_EQ(app.AwaitJob("busy", job, 60), IPP_JSTATE_COMPLETED) << job;
  std::multiset<std::string> printed;
  for (int i = 0; i < 100 && printed.size() < programs.size(); ++i) {
    const std::vector<std::string> texts = LabelTexts(printer.Captures());
    printed = std::multiset<std::string>(texts.begin(), texts.end());
    Sleep(50);
  }
  std::multiset<std::string> expected;
  for (int n = 0; n < kClients * kJobsEach; ++n)
    expected.insert("Label " + std::to_string(n));
  EXPECT_EQ(printed, expected);
  EXPECT_EQ(Occurrences(app.Log(), "Starting print job."), programs.size());
  EXPECT_FALSE(Contains(app.Log(), "starts its jobs itself")) << "the patch is not in force";
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
    std::vector<std::string> env = AppSanitizerEnv(folder);
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

// Whether a file names a printer by its id: the state's `id="3"`, a
// "3 ..." line of the speeds or "paused 3" of the queue, a spool file
// p00003....
bool NamesPrinter(const std::string &text, int id) {
  char spool[16];
  std::snprintf(spool, sizeof spool, "p%05d", id);
  const std::string n = std::to_string(id);
  return Contains(text, "id=\"" + n + "\"") || Contains("\n" + text, "\n" + n + " ") ||
         Contains(text, " " + n + "\n") || Contains(text, " " + n + " ") || Contains(text, spool);
}

// Clients ask for a printer's attributes all at once, as CUPS's backend,
// phones and the web pages do, while printers are added and deleted (with
// the command line, one with a job queued for it, and with Delete-Printer):
// every answer comes, with each attribute once; each printer has its own
// printer-id from the start; a deleted printer leaves no trace in the
// state, the queue, the speeds or the spool; and the server stops cleanly.
TEST(AppService, PrintersComeAndGoWhileClientsAskForTheirAttributes) {
  PrinterApp app;
  ASSERT_EQ(app.Start(), "");
  SocketPrinter printer;
  ASSERT_EQ(app.AddPrinter("polled", "vellum-zpl-203", printer.Uri()), "");
  constexpr int kClients = 8, kRequests = 300;
  std::atomic<int> missing{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c)
    clients.emplace_back([&app, &missing] { missing += app.PollPrinter("polled", kRequests); });

  const std::string away = "socket://127.0.0.1:" + std::to_string(FreePort());
  struct Gone {
    const char *name, *driver;
    bool by_command, job_queued;
  };
  std::vector<int> gone_ids;
  for (const Gone &gone : {Gone{"gone-cli", "vellum-zpl-203", true, true},
                           Gone{"gone-ipp", "vellum-tspl-203", false, false}}) {
    SCOPED_TRACE(gone.name);
    ASSERT_EQ(app.AddPrinter(gone.name, gone.driver, away), "");
    const int id = app.Printers()[gone.name];
    EXPECT_GT(id, 1);
    const auto attributes = app.PrinterAttributes(gone.name);
    EXPECT_EQ(attributes.count("printer-id"), 1u);
    EXPECT_EQ(attributes.find("printer-id")->second, std::to_string(id));
    if (gone.job_queued) {
      const std::string program = WriteScratchFile("gone.zpl", "^XA^FDgone^FS^XZ\r\n");
      EXPECT_GT(app.Print(gone.name, program, "application/vnd.zebra-zpl"), 0);
    }
    if (gone.by_command)
      EXPECT_EQ(app.Command({"delete", "-d", gone.name}).exit_status, 0);
    else
      EXPECT_EQ(app.DeletePrinter(id), "");
    gone_ids.push_back(id);
  }
  // A printer busy with a job goes once PAPPL has ended it.
  for (int i = 0; i < 300 && app.Printers().size() > 1; ++i)
    Sleep(50);
  EXPECT_EQ(app.Printers().size(), 1u);
  ASSERT_EQ(app.AddPrinter("gone-cli", "vellum-zpl-203", away), "");
  EXPECT_GT(app.Printers()["gone-cli"], gone_ids.back()) << "a printer-id given twice";
  for (std::thread &client : clients)
    client.join();
  EXPECT_EQ(missing, 0) << "answers that never came";
  const auto attributes = app.PrinterAttributes("polled");
  EXPECT_EQ(attributes.count("printer-strings-languages-supported"), 1u);
  EXPECT_EQ(attributes.count("printer-id"), 1u);

  const double took = app.StopBy("shutdown");
  EXPECT_GE(took, 0) << "the server did not end cleanly";
  EXPECT_LT(took, 5);
  const std::string state = app.Dir() + "/vellum-printer-app.state";
  for (const std::string &file : {state, state + ".queue", state + ".speeds"})
    for (const int id : gone_ids)
      EXPECT_FALSE(NamesPrinter(ReadFile(file), id)) << file << " names printer " << id;
  for (const auto &entry : std::filesystem::directory_iterator(app.Dir() + "/spool"))
    for (const int id : gone_ids)
      EXPECT_FALSE(NamesPrinter(entry.path().filename().string(), id)) << entry.path();
}

// The system calls of a strace -f log, each whole on one line ("PID
// call(arguments) = result"): a call another thread interrupted
// ("<unfinished ...>") is joined with the rest of it ("<... call resumed>").
std::vector<std::pair<std::string, std::string>> SystemCalls(const std::string &log) {
  std::vector<std::pair<std::string, std::string>> calls; // pid, call
  std::map<std::string, std::string> unfinished;
  for (const std::string &line : SplitLines(log)) {
    const std::string pid = line.substr(0, line.find(' '));
    std::string call = line.substr(line.find_first_not_of(' ', line.find(' ')));
    const size_t cut = call.find(" <unfinished ...>");
    if (cut != std::string::npos) {
      unfinished[pid] = call.substr(0, cut);
      continue;
    }
    if (call.rfind("<... ", 0) == 0) {
      call = unfinished[pid] + call.substr(call.find("resumed>") + 8);
      unfinished.erase(pid);
    }
    calls.emplace_back(pid, call);
  }
  return calls;
}

// The first two quoted arguments of a call (a rename's paths, an openat's).
std::vector<std::string> Paths(const std::string &call) {
  std::vector<std::string> paths;
  for (size_t at = call.find('"'); at != std::string::npos && paths.size() < 2;
       at = call.find('"', call.find('"', at + 1) + 1))
    paths.push_back(call.substr(at + 1, call.find('"', at + 1) - at - 1));
  return paths;
}

// Whether a thread's calls before the call `at` (or after it, with
// `after`) open `path` (a folder where `folder`) and then flush what they
// opened: the last such opening before it, the first after it.
bool OpensAndFlushes(const std::vector<std::pair<std::string, std::string>> &calls, size_t at,
                     bool after, const std::string &path, bool folder) {
  const std::string &pid = calls[at].first;
  const size_t begin = after ? at + 1 : 0, end = after ? calls.size() : at;
  size_t opened = end;
  std::string fd;
  for (size_t i = begin; i < end && (!after || fd.empty()); ++i) {
    const auto &[who, call] = calls[i];
    if (who == pid && call.rfind("openat(", 0) == 0 && !Paths(call).empty() &&
        Paths(call)[0] == path && Contains(call, "O_DIRECTORY") == folder &&
        !Contains(call, "= -1")) {
      fd = call.substr(call.rfind("= ") + 2);
      opened = i;
    }
  }
  for (size_t i = opened + 1; i < end; ++i)
    if (calls[i].first == pid && calls[i].second.rfind("fsync(" + fd + ")", 0) == 0 &&
        Contains(calls[i].second, "= 0"))
      return true;
  return false;
}

// What the server keeps (its state, the queue, the speeds) reaches the
// disk before it takes the place of the old file, and its folder after, so
// that a power cut leaves the old file or the new one, whole.
TEST(AppService, KeptFilesReachTheDiskBeforeTheyReplaceTheOldOnes) {
  if (access("/usr/bin/strace", X_OK) != 0)
    GTEST_SKIP() << "needs strace";
  const std::string trace = ScratchDir() + "/server.strace";
  PrinterApp app;
  app.RunUnder({"/usr/bin/strace", "-f", "-qq", "-o", trace, "-e",
                "trace=openat,fsync,?rename,renameat,?renameat2"});
  // LeakSanitizer cannot look at a traced process.
  app.AddEnv("ASAN_OPTIONS=detect_leaks=0");
  ASSERT_EQ(app.Start(), "");
  ASSERT_EQ(
      app.AddPrinter("kept", "vellum-zpl-203", "socket://127.0.0.1:" + std::to_string(FreePort())),
      "");
  EXPECT_GT(
      app.Print("kept", WriteScratchFile("kept.zpl", "^XA^XZ\r\n"), "application/vnd.zebra-zpl"),
      0);
  EXPECT_EQ(app.Command({"pause", "-d", "kept"}).exit_status, 0);
  const std::string state = app.Dir() + "/vellum-printer-app.state";
  for (int i = 0; i < 100 && !Contains(ReadFile(state + ".queue"), "paused"); ++i)
    Sleep(50);
  EXPECT_GE(app.StopBy("shutdown"), 0);
  const auto calls = SystemCalls(ReadFile(trace));
  std::set<std::string> replaced;
  for (size_t i = 0; i < calls.size(); ++i) {
    const std::string &call = calls[i].second;
    const std::vector<std::string> paths = Paths(call);
    if (call.rfind("rename", 0) != 0 || paths.size() != 2 || !Contains(call, "= 0") ||
        paths[1].rfind(app.Dir() + "/", 0) != 0)
      continue;
    replaced.insert(paths[1]);
    EXPECT_TRUE(OpensAndFlushes(calls, i, false, paths[0], false))
        << paths[0] << " was not flushed before it replaced " << paths[1];
    EXPECT_TRUE(OpensAndFlushes(calls, i, true, app.Dir(), true))
        << "the folder was not flushed after " << paths[1] << " was replaced";
  }
  for (const std::string &file : {state, state + ".queue", state + ".speeds"})
    EXPECT_EQ(replaced.count(file), 1u) << file << " was not written";
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
