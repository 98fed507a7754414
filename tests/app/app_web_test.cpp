// The printer application's web pages as owners use them, in a real
// browser (headless Chromium driven by Selenium, tests/app/web_browser.py):
// every page opens and reads in words, every printer setting set through
// the forms reaches the printer bytes (compared with the filter's) and
// survives a restart, the test page prints, values the forms do not offer
// change nothing, and no page or sub-command stops the server, with the
// Avahi daemon running and without it. Other machines may not change
// settings until the owner allows them, nor at all where PAPPL does not
// call the application's guards.
#include <dlfcn.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>

#include <gtest/gtest.h>

#include "harness.h"
#include "pappl/bindings.h"
#include "printer_app.h"

namespace vellum_test {
namespace {

// Whether the browser test can run: Chromium, its driver and Selenium.
std::string BrowserMissing() {
  if (access("/usr/bin/chromium", X_OK) != 0 || access("/usr/bin/chromedriver", X_OK) != 0 ||
      RunProgram({"/usr/bin/python3", "-c", "import selenium"}, {}).exit_status != 0)
    return "needs chromium, chromium-driver and python3-selenium";
  return "";
}

// The Avahi daemon for the server: the machine's own when it runs one,
// else (as root) a private one on a private system message bus, which the
// server finds through DBUS_SYSTEM_BUS_ADDRESS.
class Avahi {
public:
  ~Avahi() {
    for (pid_t pid : {avahi_, bus_})
      if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
      }
    if (!dir_.empty())
      std::filesystem::remove_all(dir_);
  }
  // Empty text when a daemon runs; else why not.
  std::string Start() {
    if (RunProgram({"/usr/sbin/avahi-daemon", "--check"}, {}).exit_status == 0)
      return "";
    if (getuid() != 0)
      return "the Avahi daemon is not running and only root may start one";
    char tmpl[] = "/tmp/vellum-avahi-XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
      return "mkdtemp failed";
    dir_ = tmpl;
    const std::string config = WriteConfig();
    bus_ = Spawn({"/usr/bin/dbus-daemon", "--config-file=" + config, "--nofork"}, {},
                 {"", dir_ + "/bus.out"})
               .pid;
    for (int i = 0; i < 100 && access((dir_ + "/bus").c_str(), F_OK) != 0; ++i)
      Sleep(50);
    const Process avahi =
        Spawn({"/usr/sbin/avahi-daemon", "--no-chroot", "--no-drop-root", "--no-rlimits"}, {Env()},
              {"", dir_ + "/avahi.out"});
    avahi_ = avahi.pid;
    for (int i = 0; i < 100; ++i) {
      if (Contains(ReadFile(avahi.err_path), "Server startup complete"))
        return "";
      Sleep(50);
    }
    return "the Avahi daemon did not start: " + ReadFile(avahi.err_path);
  }
  // The environment setting that leads the server to the daemon's bus.
  std::string Env() const {
    return dir_.empty() ? "" : "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + dir_ + "/bus";
  }

private:
  // A system bus that lets everyone own and call everything.
  std::string WriteConfig() const {
    const std::string path = dir_ + "/bus.conf";
    std::FILE *file = std::fopen(path.c_str(), "w");
    std::fprintf(file,
                 "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                 "1.0//EN\"\n \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                 "<busconfig><type>system</type><listen>unix:path=%s/bus</listen>"
                 "<auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
                 "<allow own=\"*\"/><allow send_destination=\"*\"/>"
                 "<allow receive_sender=\"*\"/></policy></busconfig>\n",
                 dir_.c_str());
    std::fclose(file);
    return path;
  }
  std::string dir_;
  pid_t bus_ = 0, avahi_ = 0;
};

// Runs one step of the browser script; returns its report, and fails the
// test when a check of the step failed.
std::string Browser(const PrinterApp &app, const std::string &step, const std::string &args) {
  const Result run =
      RunProgram({"/usr/bin/python3", WEB_BROWSER_PATH,
                  "http://localhost:" + std::to_string(app.Port()), ScratchDir(), step, args},
                 {});
  std::string err;
  for (const std::string &line : run.err)
    err += line + "\n";
  EXPECT_EQ(run.exit_status, 0) << step << ":\n" << run.out << err;
  return run.out;
}

// Whether the server still serves its front page.
bool Answers(const PrinterApp &app) { return app.Web("/").first == 200; }

// A printer of the test: its driver, its name, its AppSocket printer and
// what its owner sets in the forms; the same as the filter's options.
struct WebPrinter {
  std::string name, driver;
  std::string settings; // the browser script's arguments
  std::string filter_options;
  unsigned darkness;
  RasterPage page;
  SocketPrinter socket{};
};

// Prints the printer's page as PWG raster; the printer bytes.
std::string PrintPage(PrinterApp &app, WebPrinter &printer) {
  const size_t before = printer.socket.Captures().size();
  const int job = app.Print(printer.name, WriteScratchFile("web.pwg", PwgRaster({printer.page})),
                            "image/pwg-raster");
  EXPECT_GT(job, 0) << cupsLastErrorString();
  EXPECT_EQ(app.AwaitJob(printer.name, job, 60), IPP_JSTATE_COMPLETED);
  EXPECT_TRUE(printer.socket.AwaitCaptures(before + 1, 30));
  const std::vector<std::string> captures = printer.socket.Captures();
  return captures.size() > before ? captures.back() : "";
}

void ExpectFilterBytes(PrinterApp &app, WebPrinter &printer, const char *when) {
  SCOPED_TRACE(printer.name + ", " + when);
  const std::string got = PrintPage(app, printer);
  const std::string expected =
      FilterBytes(printer.driver, {printer.page}, printer.filter_options, printer.darkness);
  EXPECT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected) << "the printer bytes differ from the filter's";
}

TEST(AppWeb, AnOwnerSetsEveryPrinterSettingInTheBrowser) {
  if (const std::string missing = BrowserMissing(); !missing.empty())
    GTEST_SKIP() << missing;
  Avahi avahi;
  const std::string avahi_missing = avahi.Start();
  // Root starts one where the machine runs none.
  if (getuid() == 0)
    ASSERT_EQ(avahi_missing, "");
  else if (!avahi_missing.empty())
    std::cout << "Without Avahi: " << avahi_missing << "\n";
  PrinterApp app;
  if (!avahi.Env().empty())
    app.AddEnv(avahi.Env());
  ASSERT_EQ(app.Start(), "");

  // Every owner's setting, on one printer or another; the TSPL printer
  // keeps its own media tracking and the 03 printer its own darkness
  // through a save of their pages ("Printer Default").
  WebPrinter printers[] = {
      {"zpl", "vellum-zpl-203",
       R"json({"printer": "zpl",
           "media": {"ready0-size": "oe_2x1-label_2x1in", "ready0-tracking": "mark",
                     "ready0-left-offset": "2", "ready0-top-offset": "-3"},
           "printing": {"print-darkness": "80", "print-speed": "4",
                        "print-color-mode": "monochrome", "print-content-optimize": "photo",
                        "label-print-mode": "thermal-transfer", "label-feed-offset": "minus-5",
                        "label-command-set": "zpl", "label-density": "thicker",
                        "label-negative": "on"}})json",
       "zeMediaTracking=Mark zeReference=-2 yReference=-3 Darkness=12 zePrintRate=4 "
       "Halftone=Diffusion Print_Mode=Thermal_Transfer Offset=-5 Gamma=thicker Negative=on",
       12, LabelPage(406, 203, 203)},
      {"tspl", "vellum-tspl-300",
       R"json({"printer": "tspl",
           "media": {"ready0-size": "om_50x30mm_50x30mm", "ready0-tracking": "printer-default",
                     "ready0-left-offset": "-1", "ready0-top-offset": "4"},
           "printing": {"print-darkness": "20", "print-speed": "2",
                        "label-print-mode": "direct-thermal", "label-feed-offset": "10",
                        "label-command-set": "tspl", "label-density": "lighter",
                        "label-negative": "off", "label-tear-off": "minus-2"}})json",
       "zeReference=1 yReference=4 Darkness=3 zePrintRate=2 "
       "Print_Mode=Thermal Offset=10 Gamma=lighter zeTearOffPosition=-2",
       3, LabelPage(591, 354, 300)},
      {"zpl03", "vellum-zpl-203-03",
       R"json({"printer": "zpl03",
           "printing": {"label-print-mode": "automatic", "label-perforated-media": "on",
                        "label-command-set": "tspl"}})json",
       "zeMediaTracking=Perforated Print_Mode=Auto Tag_Commands=TSPL", 0, LabelPage(406, 203, 203)},
  };
  for (WebPrinter &printer : printers)
    ASSERT_EQ(app.AddPrinter(printer.name, printer.driver, printer.socket.Uri()), "");

  // Every page, in words.
  Browser(app, "tour", R"json({"printers": ["zpl", "tspl", "zpl03"], "names": {
      "/zpl/media": ["4 x 6 in", "2 x 1 in", "1.25 x 0.25 in", "100 x 150 mm"],
      "/zpl/printing": ["Printing Method", "Thermal transfer", "Feed Offset", "Printer Language",
                        "Print Density", "Neutral (true bar widths)", "Negative Print",
                        "Printer Default"],
      "/tspl/printing": ["Tear-Off Position", "0 mm", "TSPL"],
      "/zpl03/printing": ["Perforated Media", "Automatic"]}})json");
  // The owner's settings, through the forms, reach the printer bytes...
  for (WebPrinter &printer : printers) {
    Browser(app, "set", printer.settings);
    ExpectFilterBytes(app, printer, "set in the browser");
  }
  // ... and survive a restart.
  app.Stop();
  ASSERT_EQ(app.Start(), "");
  for (WebPrinter &printer : printers) {
    Browser(app, "check", printer.settings);
    ExpectFilterBytes(app, printer, "after a restart");
  }

  // "Print Test Page": one whole label.
  WebPrinter &zpl = printers[0];
  const size_t before = zpl.socket.Captures().size();
  Browser(app, "testpage", R"json({"printer": "zpl"})json");
  ASSERT_TRUE(zpl.socket.AwaitCaptures(before + 1, 60));
  bool whole = false;
  EXPECT_EQ(WholeLabels(zpl.socket.Captures().back(), &whole), 1u);
  EXPECT_TRUE(whole);

  // Values the forms do not offer, from the browser and as raw POSTs: a
  // message, and the printer bytes as before.
  Browser(app, "garbage", R"json({"printer": "zpl"})json");
  const struct {
    const char *path, *form;
  } posts[] = {
      {"/zpl/printing", "label-density=bogus"},
      {"/zpl/printing", "print-darkness=500"},
      {"/zpl/printing", "print-darkness=abc"},
      {"/zpl/printing", "print-speed=13"},
      {"/zpl/printing", "print-quality=bogus"},
      {"/zpl/printing", "label-negative=%00"},
      {"/zpl/media", "ready0-size=bogus&ready0-tracking=gap&ready0-left-offset=0"},
      {"/zpl/media", "ready0-size=oe_2x1-label_2x1in&ready0-left-offset=50"},
      {"/zpl/media", "ready0-size=oe_2x1-label_2x1in&ready0-top-offset=nan"},
      {"/zpl/media", "ready0-size=custom&ready0-custom-width=999&ready0-custom-length=2"},
  };
  for (const auto &post : posts) {
    SCOPED_TRACE(post.form);
    const std::string form = "session=" + app.FormSession(post.path) + "&" + post.form;
    const auto answer = app.Web(post.path, form);
    EXPECT_EQ(answer.first, 200);
    EXPECT_TRUE(Contains(answer.second, "Invalid form submission.")) << answer.second;
    ASSERT_TRUE(Answers(app));
  }
  ExpectFilterBytes(app, zpl, "after values the forms do not offer");

  // The devices sub-command lists network printers through Avahi.
  const Result devices = app.Command({"devices"});
  EXPECT_EQ(devices.signal, 0);
  EXPECT_TRUE(Answers(app));
  if (avahi_missing.empty()) {
    EXPECT_TRUE(Contains(app.Log(), "Registering DNS-SD name")) << "the server found no Avahi";
  }
}

// Without the Avahi daemon (no system message bus here), the "Add Printer"
// page and the devices sub-command list no network printers, and the
// server keeps serving.
TEST(AppWeb, WithoutAvahiNoPageOrSubCommandStopsTheServer) {
  PrinterApp app;
  app.AddEnv("DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/vellum-test-bus");
  ASSERT_EQ(app.Start(), "");
  SocketPrinter printer;
  ASSERT_EQ(app.AddPrinter("zpl", "vellum-zpl-203", printer.Uri()), "");
  for (const char *path : {"/", "/addprinter", "/config", "/zpl/", "/zpl/media", "/zpl/printing",
                           "/zpl/jobs", "/zpl/supplies", "/zpl/config", "/zpl/delete"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(app.Web(path).first, 200);
    ASSERT_TRUE(Answers(app));
  }
  const Result devices = app.Command({"devices"});
  EXPECT_EQ(devices.signal, 0);
  EXPECT_EQ(devices.exit_status, 0);
  std::cout << "devices without Avahi:";
  for (const std::string &line : devices.err)
    std::cout << " " << line;
  std::cout << "\n";
  EXPECT_TRUE(Answers(app));
}

// A client at another address than the loopback one sees the printers but
// not the settings forms, and its forms change nothing, until the server
// runs with web-remote (where PAPPL does not call the guards, the test
// below holds instead).
TEST(AppWeb, OtherMachinesChangeSettingsOnlyWithRemoteAdministration) {
  const TestNetwork network;
  if (!network.Error().empty())
    GTEST_SKIP() << network.Error();
  const std::string other = TestNetwork::kOther;
  PrinterApp app;
  ASSERT_EQ(app.Start({"listen-hostname=*"}), "");
  if (Contains(app.Log(), "This PAPPL binds its own authorisation calls"))
    GTEST_SKIP() << "this libpappl binds its own calls: its guards are PAPPL's web password";
  SocketPrinter printer;
  ASSERT_EQ(app.AddPrinter("zpl", "vellum-zpl-203", printer.Uri()), "");

  EXPECT_EQ(app.Web("/", "", other).first, 200);
  EXPECT_EQ(app.Web("/zpl/", "", other).first, 200);
  for (const char *path :
       {"/zpl/printing", "/zpl/media", "/config", "/addprinter", "/zpl/delete"}) {
    SCOPED_TRACE(path);
    const auto page = app.Web(path, "", other);
    EXPECT_EQ(page.first, 403);
    EXPECT_TRUE(Contains(page.second, "web-remote"));
    EXPECT_EQ(app.Web(path).first, 200) << "from this machine";
  }
  const std::string session = app.FormSession("/zpl/", other);
  ASSERT_NE(session, "");
  const auto paused = app.Web("/zpl/", "session=" + session + "&action=pause-printer", other);
  EXPECT_TRUE(Contains(paused.second, "Invalid form submission."));
  EXPECT_EQ(app.PrinterStateReasons("zpl"), "none");
  EXPECT_EQ(app.Web("/zpl/printing", "session=" + session + "&label-negative=on", other).first,
            403);

  app.Stop();
  ASSERT_EQ(app.Start({"listen-hostname=*", "server-options=web-remote"}), "");
  const std::string remote_session = app.FormSession("/zpl/printing", other);
  const auto saved =
      app.Web("/zpl/printing", "session=" + remote_session + "&label-negative=on", other);
  EXPECT_TRUE(Contains(saved.second, "Changes saved.")) << saved.second;
}

// Where libpappl binds its own authorisation calls (linked with
// -Bsymbolic-functions, as Ubuntu links its packages: ./scripts/
// test-with-pappl runs the server on such a libpappl; elsewhere the guards
// are looked for in another library), PAPPL's web password guards the settings, which no
// other machine knows, and other machines go on printing, see the printers
// and their jobs; this machine signs in by itself.
TEST(AppWeb, WhereLibpapplBindsItsOwnCallsOtherMachinesPrintButChangeNoSetting) {
  const TestNetwork network;
  if (!network.Error().empty())
    GTEST_SKIP() << network.Error();
  const std::string other = TestNetwork::kOther;
  const char kByPassword[] =
      "This PAPPL binds its own authorisation calls; its settings ask for the web password";
  PrinterApp app;
  app.AddEnv("VELLUM_GUARDED_LIBRARY=libcups.so");
  ASSERT_EQ(app.Start({"listen-hostname=*"}), "");
  SocketPrinter printer;
  ASSERT_EQ(app.AddPrinter("zpl", "vellum-zpl-203", printer.Uri()), "");
  const auto front = app.Web("/", "", other);
  EXPECT_EQ(front.first, 200) << "another machine cannot reach the server";
  EXPECT_TRUE(Contains(front.second, kByPassword));
  EXPECT_TRUE(Contains(app.Log(), kByPassword));
  EXPECT_EQ(app.Web("/zpl/", "", other).first, 200) << "the printer's page";
  app.SendTo(other);
  const std::string program = WriteScratchFile("other.zpl", "^XA^FDfrom another machine^FS^XZ\r\n");
  const int job = app.Print("zpl", program, "application/vnd.zebra-zpl");
  EXPECT_GT(job, 0) << "another machine cannot print: " << cupsLastErrorString();
  EXPECT_EQ(app.AwaitJob("zpl", job, 60), IPP_JSTATE_COMPLETED);
  EXPECT_EQ(app.ActiveJobs("zpl").size(), 0u) << "another machine cannot list the jobs";
  EXPECT_EQ(app.PrinterAttributes("zpl").count("printer-state"), 1u);
  EXPECT_NE(app.SetPrinterAttributes("zpl", {{"label-negative-default", "on"}}), "")
      << "another machine changed a setting over IPP";
  app.SendTo("127.0.0.1");
  for (const std::string &address : {other, std::string("127.0.0.1")}) {
    SCOPED_TRACE(address);
    const auto settings = app.Web("/zpl/printing", "", address);
    EXPECT_FALSE(Contains(settings.second, "label-negative")) << "the settings without password";
  }
  const std::string cookie = app.SignIn();
  ASSERT_NE(cookie, "");
  EXPECT_TRUE(Contains(app.Web("/zpl/printing", "", "127.0.0.1", cookie).second, "label-negative"))
      << "this machine, signed in, does not see the settings";
  ASSERT_TRUE(printer.AwaitCaptures(1, 30));
  EXPECT_TRUE(Contains(printer.Captures().back(), "from another machine"));
}

// The probe function this program defines (and exports); the probe
// libraries define their own and call it, one through the dynamic linker,
// one bound inside itself by -Bsymbolic-functions.
extern "C" int vellum_guard_probe() { return 1; }

// The start-up check of the guards tells a library whose calls reach the
// program's definition from one that binds them itself.
TEST(AppWeb, TheGuardCheckTellsALibraryThatBindsItsOwnCalls) {
  struct Library {
    const char *path;
    bool reaches;
  };
  for (const Library &library :
       {Library{GUARD_PROBE_PATH, true}, Library{GUARD_PROBE_SYMBOLIC_PATH, false}}) {
    SCOPED_TRACE(library.path);
    void *handle = dlopen(library.path, RTLD_NOW);
    ASSERT_NE(handle, nullptr) << dlerror();
    const auto call = reinterpret_cast<int (*)()>(dlsym(handle, "vellum_guard_probe_call"));
    ASSERT_NE(call, nullptr);
    EXPECT_EQ(call() == 1, library.reaches) << "the library's call is not where the test thinks";
    EXPECT_EQ(vellum_app::CallsReach(std::filesystem::path(library.path).filename().string(),
                                     "vellum_guard_probe",
                                     reinterpret_cast<const void *>(&vellum_guard_probe)),
              library.reaches);
    dlclose(handle);
  }
}

} // namespace
} // namespace vellum_test
