// The Debian package as a user gets it: built with ./scripts/package, its
// contents and fields checked, installed, used to print through a private
// scheduler with the installed filter and PPD, and purged. The machine is
// left as it was found, also when a check fails.
#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <regex>
#include <sstream>

#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "harness.h"
#include "load.h"
#include "printer_app.h"
#include "private_scheduler.h"

namespace vellum_test {
namespace {

namespace fs = std::filesystem;

const char kPackage[] = "printer-driver-vellum";
const char kAppPackage[] = "vellum-printer-app";
// ./scripts/package's status when it skips a build for another architecture.
const int kSkippedStatus = 77;

bool Installed(const char *package = kPackage) {
  return RunProgram({"/usr/bin/dpkg-query", "-W", "-f=${Status}", package}, {}).out ==
         "install ok installed";
}

// Purges the package and removes the scratch folders when the test ends,
// however it ends.
struct Cleanup {
  std::vector<std::string> folders;
  bool purge = false;
  const char *package = kPackage;
  ~Cleanup() {
    if (purge && Installed(package))
      RunProgram({"/usr/bin/dpkg", "--purge", package}, {});
    for (const std::string &folder : folders)
      fs::remove_all(folder);
  }
};

std::string TempFolder(const char *name) {
  std::string tmpl = std::string("/tmp/vellum-") + name + "-XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr)
    throw std::runtime_error("mkdtemp failed");
  return tmpl;
}

// The package's files: path (without the leading ".") to mode and owner.
struct Entry {
  std::string mode, owner;
};
std::map<std::string, Entry> Contents(const std::string &deb) {
  std::map<std::string, Entry> entries;
  for (const std::string &line : SplitLines(RunProgram({"/usr/bin/dpkg-deb", "-c", deb}, {}).out)) {
    std::istringstream words(line);
    std::string mode, owner, size, date, time, path;
    words >> mode >> owner >> size >> date >> time >> path;
    if (path.size() > 1)
      entries[path.substr(1)] = {mode, owner};
  }
  return entries;
}

std::string Field(const std::string &deb, const char *name) {
  std::string value = RunProgram({"/usr/bin/dpkg-deb", "-f", deb, name}, {}).out;
  while (!value.empty() && value.back() == '\n')
    value.pop_back();
  return value;
}

// The package holds exactly these files (path to mode), owned by root.
void ExpectFiles(const std::string &deb, const std::map<std::string, std::string> &expected) {
  SCOPED_TRACE("contents");
  const std::map<std::string, Entry> files = Contents(deb);
  for (const auto &[path, mode] : expected) {
    const auto it = files.find(path);
    ASSERT_NE(it, files.end()) << path;
    EXPECT_EQ(it->second.mode, mode) << path;
  }
  for (const auto &[path, entry] : files) {
    EXPECT_EQ(entry.owner, "root/root") << path;
    if (entry.mode[0] == '-') {
      EXPECT_TRUE(expected.count(path)) << "unexpected file " << path;
    }
  }
}

const char kExecutable[] = "-rwxr-xr-x", kData[] = "-rw-r--r--";

// The driver's package holds exactly its files, all below /usr.
void ExpectPackageFiles(const std::string &deb) {
  ExpectFiles(deb, {
                       {"/usr/lib/cups/filter/vellumfilter", kExecutable},
                       {"/usr/lib/cups/filter/vellumfilter_03", kExecutable},
                       {"/usr/bin/vellumpreview", kExecutable},
                       {"/usr/share/ppd/vellum/vellum-zpl-203.ppd", kData},
                       {"/usr/share/ppd/vellum/vellum-zpl-300.ppd", kData},
                       {"/usr/share/ppd/vellum/vellum-tspl-203.ppd", kData},
                       {"/usr/share/ppd/vellum/vellum-tspl-300.ppd", kData},
                       {"/usr/share/ppd/vellum/vellum-zpl-203-03.ppd", kData},
                       {"/usr/share/man/man1/vellumpreview.1.gz", kData},
                       {"/usr/share/man/man7/vellumfilter.7.gz", kData},
                       {"/usr/share/doc/printer-driver-vellum/README.md.gz", kData},
                       {"/usr/share/doc/printer-driver-vellum/copyright", kData},
                       {"/usr/share/doc/printer-driver-vellum/changelog.gz", kData},
                       {"/usr/share/cups/ppd-updaters/printer-driver-vellum.ppd-updater", kData},
                       {"/usr/share/cups/mime/vellum.types", kData},
                       {"/usr/share/cups/mime/vellum.convs", kData},
                   });
  for (const auto &[path, entry] : Contents(deb))
    EXPECT_EQ(path.rfind("/usr/", 0), 0u) << path;
}

// Dependencies from the binaries (the libraries of the package's own
// architecture), and never the package named just "cups".
void ExpectFields(const std::string &deb) {
  SCOPED_TRACE("fields");
  const std::string depends = Field(deb, "Depends"), recommends = Field(deb, "Recommends");
  for (const char *library : {"libcups2", "libpng16-16", "libstdc++6"})
    EXPECT_NE(depends.find(library), std::string::npos) << depends;
  EXPECT_EQ(recommends, "cups-filters, ghostscript");
  const std::regex cups("(^|[ ,|])cups([ ,(|]|$)");
  for (const char *field : {"Depends", "Pre-Depends", "Recommends"})
    EXPECT_FALSE(std::regex_search(Field(deb, field), cups)) << field;
}

// lintian reports neither an error nor a warning.
void ExpectLintianClean(const std::string &deb, const std::string &home) {
  if (access("/usr/bin/lintian", X_OK) != 0)
    return;
  SCOPED_TRACE("lintian");
  const Result lint =
      RunProgram({"/usr/bin/lintian", "--allow-root", deb}, {"HOME=" + home, "LC_ALL=C.UTF-8"});
  for (const std::string &line : SplitLines(lint.out)) {
    EXPECT_NE(line.rfind("E: ", 0), 0u) << line;
    EXPECT_NE(line.rfind("W: ", 0), 0u) << line;
  }
}

// The printer application's package: its files, its dependencies (the
// libraries of its own architecture, never the package named just "cups"),
// lintian clean.
void ExpectAppPackage(const std::string &deb, const std::string &scratch) {
  ExpectFiles(deb, {
                       {"/usr/sbin/vellum-printer-app", kExecutable},
                       {VELLUM_SYSTEMD_UNIT_DIR "/vellum-printer-app.service", kData},
                       {VELLUM_UDEV_RULES_DIR "/60-vellum-printer-app.rules", kData},
                       {"/usr/share/vellum-printer-app/test-label.pdf", kData},
                       {"/usr/share/man/man8/vellum-printer-app.8.gz", kData},
                       {"/usr/share/doc/vellum-printer-app/README.md.gz", kData},
                       {"/usr/share/doc/vellum-printer-app/copyright", kData},
                       {"/usr/share/doc/vellum-printer-app/changelog.gz", kData},
                   });
  const std::string depends = Field(deb, "Depends");
  for (const char *package : {"ghostscript", "adduser", "libpappl1", "libcups2", "libjpeg62-turbo"})
    EXPECT_NE(depends.find(package), std::string::npos) << depends;
  EXPECT_EQ(Field(deb, "Recommends"), "avahi-daemon");
  const std::regex cups("(^|[ ,|])cups([ ,(|]|$)");
  for (const char *field : {"Depends", "Pre-Depends", "Recommends"})
    EXPECT_FALSE(std::regex_search(Field(deb, field), cups)) << field;
  ExpectLintianClean(deb, scratch);
}

// The server `program` (or `emulator` running it) prints the test label
// (a 4 x 2 in PDF) to an AppSocket printer: one whole label.
void ExpectServerPrintsTheTestLabel(const std::string &program, const std::string &label) {
  PrinterApp app(program);
  ASSERT_EQ(app.Start(), "");
  EXPECT_EQ(SplitLines(app.Command({"drivers"}).out).size(), 5u);
  SocketPrinter printer;
  ASSERT_EQ(app.AddPrinter("installed", "vellum-zpl-203", printer.Uri()), "");
  const int job =
      app.Print("installed", label, "application/pdf", {{"media", "oe_4x2-label_4x2in"}});
  ASSERT_GT(job, 0);
  EXPECT_EQ(app.AwaitJob("installed", job, 120), IPP_JSTATE_COMPLETED);
  ASSERT_TRUE(printer.AwaitCaptures(1, 60));
  bool whole = false;
  EXPECT_EQ(WholeLabels(printer.Captures()[0], &whole), 1u);
  EXPECT_TRUE(whole);
}

// Builds the package with ./scripts/package and the given options into
// out; returns its path, or an empty one after a failure. Where the script
// says it skipped the build (what another architecture needs cannot be
// installed) and `skipped` is given, that line goes there instead of a
// failure.
std::string BuildPackage(const std::vector<std::string> &options, const std::string &out,
                         const std::string &build, std::string *skipped = nullptr) {
  std::vector<std::string> argv = {VELLUM_SOURCE_DIR "/scripts/package"};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.insert(argv.end(), {out, build});
  const Result built = RunProgram(argv, {"HOME=" + out, "LC_ALL=C"});
  if (skipped != nullptr && built.exit_status == kSkippedStatus) {
    for (const std::string &line : built.err)
      if (line.rfind("skipped: ", 0) == 0)
        *skipped = line;
    EXPECT_NE(*skipped, "") << testing::PrintToString(built.err);
    return "";
  }
  EXPECT_EQ(built.exit_status, 0) << testing::PrintToString(built.err);
  if (built.exit_status != 0)
    return "";
  // The packages' paths, the driver's first.
  for (const std::string &deb : SplitLines(built.out)) {
    if (std::regex_match(fs::path(deb).filename().string(),
                         std::regex("printer-driver-vellum_" VELLUM_VERSION "_[a-z0-9]+\\.deb")))
      return deb;
  }
  ADD_FAILURE() << "no printer-driver-vellum package: " << built.out;
  return "";
}

TEST(Package, BuildsInstallsPrintsAndPurgesWithoutATrace) {
  if (geteuid() != 0)
    GTEST_SKIP() << "installing a package needs root";
  if (access("/usr/bin/dpkg", X_OK) != 0)
    GTEST_SKIP() << "no dpkg";
  if (Installed())
    GTEST_SKIP() << kPackage << " is installed on this machine; the test leaves it alone";
  Cleanup cleanup;
  const std::string out = TempFolder("package"), build = TempFolder("package-build");
  cleanup.folders = {out, build};

  const std::string deb = BuildPackage({}, out, build);
  ASSERT_FALSE(deb.empty());

  ExpectPackageFiles(deb);
  ExpectFields(deb);
  ExpectLintianClean(deb, out);

  cleanup.purge = true;
  const Result installed = RunProgram({"/usr/bin/dpkg", "-i", deb}, {"LC_ALL=C"});
  ASSERT_EQ(installed.exit_status, 0) << testing::PrintToString(installed.err);
  for (const char *filter :
       {"/usr/lib/cups/filter/vellumfilter", "/usr/lib/cups/filter/vellumfilter_03"}) {
    struct stat info {};
    ASSERT_EQ(stat(filter, &info), 0) << filter;
    // The scheduler runs only filters owned by root that others cannot change.
    EXPECT_EQ(info.st_uid, 0u) << filter;
    EXPECT_EQ(info.st_mode & 07777, 0755u) << filter;
  }
  for (const char *page :
       {"/usr/share/man/man1/vellumpreview.1.gz", "/usr/share/man/man7/vellumfilter.7.gz"}) {
    const Result shown = RunProgram({"/usr/bin/man", "--warnings", "-l", page},
                                    {"LC_ALL=C.UTF-8", "MANPAGER=cat", "MANWIDTH=80"});
    EXPECT_EQ(shown.exit_status, 0) << page;
    EXPECT_EQ(shown.err, std::vector<std::string>{}) << page;
    EXPECT_NE(shown.out.find("vellum"), std::string::npos) << page;
  }
  EXPECT_EQ(RunProgram({"/usr/bin/vellumpreview", "--version"}, {}).out,
            "vellumpreview " VELLUM_VERSION "\n");

  {
    SCOPED_TRACE("printing with the installed filter and PPD");
    PrivateScheduler cupsd;
    SchedulerSetup setup;
    setup.log_level = "info";
    setup.capture_backend = CAPTURE_BACKEND_PATH;
    setup.installed_filters = true;
    ASSERT_EQ(cupsd.Start(setup), "");
    EXPECT_EQ(fs::read_symlink(cupsd.Dir() + "/serverbin/filter/vellumfilter"),
              "/usr/lib/cups/filter/vellumfilter");
    const std::string capture = cupsd.Dir() + "/out/";
    ASSERT_EQ(cupsd.AddQueue("installed", "/usr/share/ppd/vellum/vellum-zpl-203.ppd", capture), "");
    std::vector<LoadJob> jobs(1);
    jobs[0].id =
        cupsd.Submit("installed", VELLUM_SOURCE_DIR "/sample/label.ps", {"PageSize=w288h144"});
    ASSERT_GT(jobs[0].id, 0);
    ASSERT_TRUE(AwaitJobsDone(cupsd, jobs, 120));
    http_t *http = cupsd.Connect();
    EXPECT_EQ(JobState(http, jobs[0].id), IPP_JSTATE_COMPLETED);
    httpClose(http);
    const DecodedJob job = DecodeJob(ReadFile(capture + std::to_string(jobs[0].id) + ".prn"));
    std::string error = job.error;
    const std::vector<Label> labels = Labels(job, &error);
    EXPECT_EQ(error, "");
    ASSERT_EQ(labels.size(), 1u);
    EXPECT_TRUE(labels[0].complete);
    EXPECT_EQ(labels[0].width, 812u);
    EXPECT_EQ(labels[0].height, 406u);
    // The label's black box (564-761 x 124-321 dots) is ink; left of it,
    // between the bars and the box, is white.
    for (uint64_t y = 140; y < 300; y += 20) {
      EXPECT_TRUE(IsDot(labels[0], labels[0].rows[y], 660)) << y;
      EXPECT_FALSE(IsDot(labels[0], labels[0].rows[y], 480)) << y;
    }
    // The installed types know a ZPL file: it reaches the printer as it is.
    const std::string zpl = WriteScratchFile("installed.zpl", "^XA^FO20,20^GB100,100,4^FS^XZ\r\n");
    jobs[0].id = cupsd.Submit("installed", zpl);
    ASSERT_GT(jobs[0].id, 0);
    ASSERT_TRUE(AwaitJobsDone(cupsd, jobs, 120));
    EXPECT_EQ(ReadFile(capture + std::to_string(jobs[0].id) + ".prn"), ReadFile(zpl));
  }

  // Purged, nothing of the package remains.
  const std::map<std::string, Entry> files = Contents(deb);
  const Result purged = RunProgram({"/usr/bin/dpkg", "--purge", kPackage}, {"LC_ALL=C"});
  EXPECT_EQ(purged.exit_status, 0) << testing::PrintToString(purged.err);
  EXPECT_FALSE(Installed());
  for (const auto &[path, entry] : files) {
    if (entry.mode[0] == '-') {
      EXPECT_FALSE(fs::exists(path)) << path;
    }
  }
  for (const char *folder : {"/usr/share/ppd/vellum", "/usr/share/doc/printer-driver-vellum"})
    EXPECT_FALSE(fs::exists(folder)) << folder;
}

// The Raspberry Pi packages, built on this machine with the cross compilers:
// the same files and fields, lintian clean, their filters, run under
// qemu-user, print the sample label with exactly this machine's bytes and
// messages, and their printer application's server, under qemu-user,
// prints the test label.
TEST(Package, ArmPackagesPrintTheSameBytesAsThePc) {
  if (geteuid() != 0)
    GTEST_SKIP() << "the cross compilers are installed as root";
  if (access("/usr/bin/dpkg", X_OK) != 0)
    GTEST_SKIP() << "no dpkg";
  Cleanup cleanup;
  const std::string out = TempFolder("package-arm");
  cleanup.folders = {out};
  const std::string sample = out + "/sample-label.ras";
  ASSERT_EQ(RunProgram({MAKE_SAMPLE_LABEL_PATH, sample}, {}).exit_status, 0);

  struct Arch {
    const char *name, *qemu;
  };
  // An architecture whose libraries cannot be installed while a package
  // index does not download is skipped; the other is still checked.
  std::string skipped;
  for (const Arch arch :
       {Arch{"arm64", "/usr/bin/qemu-aarch64"}, Arch{"armhf", "/usr/bin/qemu-arm"}}) {
    SCOPED_TRACE(arch.name);
    std::string skip;
    const std::string deb =
        BuildPackage({"--arch", arch.name}, out, out + "/build-" + arch.name, &skip);
    if (!skip.empty()) {
      skipped += skip + "\n";
      continue;
    }
    ASSERT_FALSE(deb.empty());
    EXPECT_EQ(Field(deb, "Architecture"), arch.name);
    ExpectPackageFiles(deb);
    ExpectFields(deb);
    ExpectLintianClean(deb, out);

    const std::string root = out + "/" + arch.name;
    ASSERT_EQ(RunProgram({"/usr/bin/dpkg-deb", "-x", deb, root}, {}).exit_status, 0);
    ASSERT_EQ(access(arch.qemu, X_OK), 0) << "qemu-user is not installed";
    const std::string filters = root + "/usr/lib/cups/filter/",
                      ppds = root + "/usr/share/ppd/vellum/";
    struct Printer {
      const char *filter, *ppd;
      Variant variant;
    };
    for (const Printer &printer :
         {Printer{"vellumfilter", "vellum-zpl-203.ppd", Variant::kBase},
          Printer{"vellumfilter", "vellum-tspl-203.ppd", Variant::kBase},
          Printer{"vellumfilter_03", "vellum-zpl-203-03.ppd", Variant::k03}}) {
      SCOPED_TRACE(printer.ppd);
      std::vector<std::string> env = FilterEnv();
      env.push_back(std::string("PPD=") + ppds + printer.ppd);
      std::vector<std::string> pc = FilterArgs(printer.variant);
      pc.push_back(sample);
      std::vector<std::string> arm = pc;
      arm[0] = filters + printer.filter;
      arm.insert(arm.begin(), arch.qemu);
      const Result expected = RunProgram(pc, env), got = RunProgram(arm, env);
      EXPECT_EQ(expected.exit_status, 0);
      EXPECT_EQ(got.exit_status, 0);
      EXPECT_FALSE(expected.out.empty());
      EXPECT_TRUE(got.out == expected.out) << "the printer bytes differ";
      EXPECT_EQ(got.err, expected.err);
    }

    // The printer application's package, and its server under qemu-user
    // (Ghostscript is this machine's).
    SCOPED_TRACE("vellum-printer-app");
    const std::string app_deb =
        out + "/vellum-printer-app_" VELLUM_VERSION "_" + std::string(arch.name) + ".deb";
    ASSERT_TRUE(fs::exists(app_deb)) << "no vellum-printer-app package for " << arch.name;
    EXPECT_EQ(Field(app_deb, "Architecture"), arch.name);
    ExpectAppPackage(app_deb, out);
    ASSERT_EQ(RunProgram({"/usr/bin/dpkg-deb", "-x", app_deb, root}, {}).exit_status, 0);
    const std::string server = out + "/" + arch.name + "-server";
    {
      std::ofstream(server) << "#!/bin/sh\nexec " << arch.qemu << " " << root
                            << "/usr/sbin/vellum-printer-app \"$@\"\n";
    }
    fs::permissions(server, fs::perms::owner_all);
    ExpectServerPrintsTheTestLabel(server, root + "/usr/share/vellum-printer-app/test-label.pdf");
  }
  if (!skipped.empty())
    GTEST_SKIP() << skipped;
}

// Files below a folder with their contents, to see that nothing changed.
std::map<std::string, std::string> Tree(const std::string &folder) {
  std::map<std::string, std::string> files;
  for (const auto &entry : fs::recursive_directory_iterator(folder))
    if (entry.is_regular_file())
      files[entry.path().string()] = ReadFile(entry.path().string());
  return files;
}

void WriteFile(const std::string &path, const std::string &content) {
  std::ofstream(path, std::ios::binary) << content;
}

// The package database without the packages of one architecture, as a
// machine that has never installed them has it.
std::string WithoutArchitecture(const std::string &status, const std::string &arch) {
  std::string kept;
  std::istringstream in(status);
  std::string stanza, line;
  const auto flush = [&] {
    if (stanza.find("\nArchitecture: " + arch + "\n") == std::string::npos)
      kept += stanza + "\n";
    stanza.clear();
  };
  while (std::getline(in, line)) {
    if (line.empty())
      flush();
    else
      stanza += line + "\n";
  }
  flush();
  return kept;
}

// While the package index of another architecture cannot be fetched (here:
// an apt source where nothing listens, in an apt configuration and package
// database of the test's own), the scripts that build for it try a few
// times, name the index, say "skipped" with the reason and end as a skip:
// cross-test with 0, package with its own status. The machine's apt
// configuration and architectures are as they were.
TEST(Package, ArmStepsAreSkippedWhileTheirIndexCannotBeFetched) {
  if (geteuid() != 0)
    GTEST_SKIP() << "apt-get runs as root";
  if (access("/usr/bin/apt-get", X_OK) != 0)
    GTEST_SKIP() << "no apt-get";
  Cleanup cleanup;
  const std::string dir = TempFolder("apt-unreachable");
  cleanup.folders = {dir};
  for (const char *sub : {"/dpkg", "/lists/partial", "/cache/archives/partial", "/parts"})
    fs::create_directories(dir + sub);
  // A port that refuses connections: bound, never listening.
  const int closed = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(closed, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  ASSERT_EQ(bind(closed, reinterpret_cast<sockaddr *>(&address), length), 0);
  ASSERT_EQ(getsockname(closed, reinterpret_cast<sockaddr *>(&address), &length), 0);
  const std::string source =
      "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/debian";
  WriteFile(dir + "/sources.list", "deb [trusted=yes] " + source + " bookworm main\n");
  WriteFile(dir + "/apt.conf", "Dir::State::Lists \"" + dir + "/lists\";\n" + "Dir::Cache \"" +
                                   dir + "/cache\";\n" + "Dir::Etc::sourcelist \"" + dir +
                                   "/sources.list\";\n" + "Dir::Etc::sourceparts \"" + dir +
                                   "/parts\";\n" + "Dir::State::status \"" + dir +
                                   "/dpkg/status\";\n" + "Acquire::Retries \"0\";\n");
  WriteFile(dir + "/dpkg/status", WithoutArchitecture(ReadFile("/var/lib/dpkg/status"), "armhf"));
  WriteFile(dir + "/dpkg/arch", "");
  const std::vector<std::string> env = {"APT_CONFIG=" + dir + "/apt.conf",
                                        "DPKG_ADMINDIR=" + dir + "/dpkg", "HOME=" + dir,
                                        "LC_ALL=C"};

  const auto apt = Tree("/etc/apt");
  const std::string architectures =
      RunProgram({"/usr/bin/dpkg", "--print-foreign-architectures"}, {}).out;
  struct Step {
    std::vector<std::string> argv;
    int status;
  };
  for (const Step &step : {Step{{VELLUM_SOURCE_DIR "/scripts/cross-test", "armhf"}, 0},
                           Step{{VELLUM_SOURCE_DIR "/scripts/package", "--arch", "armhf",
                                 dir + "/out", dir + "/build"},
                                kSkippedStatus}}) {
    SCOPED_TRACE(step.argv[0]);
    const Result run = RunProgram(step.argv, env);
    EXPECT_EQ(run.exit_status, step.status) << testing::PrintToString(run.err);
    int warnings = 0, skips = 0;
    for (const std::string &line : run.err) {
      if (line.rfind("warning: going on without the package index", 0) == 0) {
        ++warnings;
        EXPECT_NE(line.find(source + "/dists/bookworm/InRelease"), std::string::npos) << line;
      }
      if (line.rfind("skipped: the armhf ", 0) == 0) {
        ++skips;
        EXPECT_NE(line.find(source), std::string::npos) << line;
      }
    }
    EXPECT_EQ(warnings, 1) << testing::PrintToString(run.err);
    EXPECT_EQ(skips, 1) << testing::PrintToString(run.err);
  }
  close(closed);
  EXPECT_FALSE(fs::exists(dir + "/build")) << "a skipped package build started";
  EXPECT_TRUE(Tree("/etc/apt") == apt) << "the machine's apt configuration changed";
  EXPECT_EQ(RunProgram({"/usr/bin/dpkg", "--print-foreign-architectures"}, {}).out, architectures);
}

// A systemd unit's settings: every value of each key, in order.
std::map<std::string, std::vector<std::string>> UnitSettings(const std::string &unit) {
  std::map<std::string, std::vector<std::string>> settings;
  for (const std::string &line : SplitLines(ReadFile(unit))) {
    const size_t equals = line.find('=');
    if (!line.empty() && line[0] != '#' && line[0] != '[' && equals != std::string::npos)
      settings[line.substr(0, equals)].push_back(line.substr(equals + 1));
  }
  return settings;
}

std::vector<std::string> Words(const std::string &text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;)
    words.push_back(word);
  return words;
}

// systemd-analyze's overall exposure of the unit (0, safest, to 10), or -1
// where it gives none; *said is the line that tells it.
double Exposure(const std::string &unit, std::string *said) {
  const Result analyzed = RunProgram(
      {"/usr/bin/systemd-analyze", "security", "--offline=true", "--no-pager", unit}, {"LC_ALL=C"});
  for (const std::string &line :
       SplitLines(analyzed.out + "\n" + testing::PrintToString(analyzed.err))) {
    std::smatch match;
    if (std::regex_search(line, match, std::regex("Overall exposure level for [^:]*: ([0-9.]+)"))) {
      *said = line;
      return std::stod(match[1]);
    }
  }
  *said = analyzed.out + testing::PrintToString(analyzed.err);
  return -1;
}

// The printer application's service started as systemd starts it, as far
// as a machine without a running systemd allows, from the installed unit:
// its ExecStartPre (the socket's link), the folders systemd makes for it
// (owned by its user) and their variables, its user, group and
// supplementary groups, no new privileges and no capabilities, its umask,
// and its ExecStart, with a port on the loopback interface of the test's.
class InstalledService {
public:
  explicit InstalledService(const std::string &unit) : settings_(UnitSettings(unit)) {}
  InstalledService(const InstalledService &) = delete;
  InstalledService &operator=(const InstalledService &) = delete;
  ~InstalledService() { Stop(); }

  std::string Setting(const char *key) const {
    const auto it = settings_.find(key);
    return it == settings_.end() ? "" : it->second.back();
  }
  std::string StateFolder() const { return "/var/lib/" + Setting("StateDirectory"); }
  std::string RuntimeFolder() const { return "/run/" + Setting("RuntimeDirectory"); }

  // Starts the service; "" or why not.
  std::string Start(int port, const std::string &output) {
    const std::string user = Setting("User"), group = Setting("Group");
    for (const auto &[folder, mode] :
         {std::pair{StateFolder(), Setting("StateDirectoryMode")},
          std::pair{RuntimeFolder(), Setting("RuntimeDirectoryMode")}}) {
      fs::create_directories(folder);
      RunProgram({"/bin/chown", user + ":" + group, folder}, {});
      RunProgram({"/bin/chmod", mode.empty() ? "0755" : mode, folder}, {});
    }
    for (std::string pre : settings_["ExecStartPre"]) {
      if (!pre.empty() && pre[0] == '+')
        pre.erase(0, 1);
      if (RunProgram(Words(pre), {}).exit_status != 0)
        return "ExecStartPre failed: " + pre;
    }
    std::string groups;
    for (const std::string &name : Words(Setting("SupplementaryGroups")))
      groups += (groups.empty() ? "" : ",") + name;
    std::vector<std::string> argv = {"/bin/sh",
                                     "-c",
                                     "umask " + Setting("UMask") + " && exec \"$0\" \"$@\"",
                                     "/usr/bin/setpriv",
                                     "--reuid=" + user,
                                     "--regid=" + group,
                                     "--groups=" + groups,
                                     "--no-new-privs",
                                     "--inh-caps=-all",
                                     "--bounding-set=-all"};
    for (const std::string &word : Words(Setting("ExecStart")))
      argv.push_back(word);
    argv.insert(argv.end(),
                {"-o", "server-port=" + std::to_string(port), "-o", "listen-hostname=localhost"});
    process_ = Spawn(argv,
                     {"STATE_DIRECTORY=" + StateFolder(), "RUNTIME_DIRECTORY=" + RuntimeFolder(),
                      "HOME=" + StateFolder(), "LC_ALL=C"},
                     {"", output});
    for (int i = 0; i < 400; ++i) {
      if (http_t *http = httpConnect2("127.0.0.1", port, nullptr, AF_INET,
                                      HTTP_ENCRYPTION_IF_REQUESTED, 0, 100, nullptr)) {
        httpClose(http);
        return "";
      }
      int status = 0;
      if (waitpid(process_.pid, &status, WNOHANG) == process_.pid) {
        process_.pid = 0;
        return "the service ended: " + ReadFile(output);
      }
      Sleep(50);
    }
    return "the service does not answer on its port";
  }

  void Stop() {
    if (process_.pid > 0) {
      kill(process_.pid, SIGTERM);
      int status = 0;
      waitpid(process_.pid, &status, 0);
      process_.pid = 0;
    }
  }

  pid_t Pid() const { return process_.pid; }

private:
  std::map<std::string, std::vector<std::string>> settings_;
  Process process_;
};

// A line of /proc/PID/status ("Uid:", "Groups:", "NoNewPrivs:"), its
// values.
std::string ProcessStatus(pid_t pid, const std::string &field) {
  for (const std::string &line : SplitLines(ReadFile("/proc/" + std::to_string(pid) + "/status")))
    if (line.rfind(field, 0) == 0)
      return line.substr(field.size());
  return "";
}

// The command line of the printer application, run as root as a user
// runs it: it finds the server on /run's socket.
Result AppCommand(const std::vector<std::string> &args) {
  std::vector<std::string> argv = {"/usr/sbin/vellum-printer-app"};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv, {"LC_ALL=C"});
}

// Where the service keeps its state, and where the package's server,
// before it ran as a user of its own, kept it as root.
const char kServiceFolder[] = "/var/lib/vellum-printer-app";
const char kOldState[] = "/var/lib/vellum-printer-app.state";
const char kOldSpool[] = "/var/spool/vellum-printer-app";
const char kSystemSocket[] = "/run/vellum-printer-app.sock";

// The state an older package's server, run by root, left: a printer that
// does not answer and a label waiting for it. The installed server,
// started as that service was (root, no folder of systemd's), keeps its
// state where that one did.
void LeaveAnOldServersState(int printer_port, const std::string &scratch) {
  const int port = FreePort();
  Process old =
      Spawn({"/usr/sbin/vellum-printer-app", "server", "-o", "server-port=" + std::to_string(port),
             "-o", "listen-hostname=localhost", "-o", "log-file=-"},
            {"LC_ALL=C", "HOME=/root"}, {"", scratch + "/old-server.out"});
  for (int i = 0; i < 200 && !fs::exists(kSystemSocket); ++i)
    Sleep(50);
  EXPECT_EQ(AppCommand({"add", "-d", "kept", "-m", "vellum-zpl-203", "-v",
                        "socket://127.0.0.1:" + std::to_string(printer_port)})
                .exit_status,
            0);
  const std::string label = scratch + "/kept.zpl";
  std::ofstream(label) << "^XA^FO50,50^A0N,40,40^FDKept label^FS^XZ\r\n";
  EXPECT_EQ(
      AppCommand({"submit", "-d", "kept", "-o", "document-format=application/vnd.zebra-zpl", label})
          .exit_status,
      0);
  // The state is saved within a second of a change.
  for (int i = 0; i < 100 && !Contains(ReadFile(kOldState), "Job "); ++i)
    Sleep(100);
  kill(old.pid, SIGTERM);
  Wait(old);
  EXPECT_TRUE(Contains(ReadFile(kOldState), "Job ")) << "no job in the old state";
  EXPECT_FALSE(fs::is_empty(kOldSpool));
}

// The printer application's package: its files, fields and lintian; the
// service's confinement as systemd-analyze rates it (printed; at most
// 3.0). Once installed (and installed again over the state an older
// package's root server left, which moves into the service's folder), its
// service, started as systemd starts it, runs as its own user without
// privileges, keeps that state (the printer, and the waiting label, which
// prints), takes the command line's requests through /run's socket and
// prints the test label; the installed server, run privately, prints it
// too; the service is enabled for boot; a purge leaves nothing behind, the
// service's user included.
TEST(Package, PrinterApplicationInstallsPrintsAndPurgesWithoutATrace) {
  if (geteuid() != 0)
    GTEST_SKIP() << "installing a package needs root";
  if (access("/usr/bin/dpkg", X_OK) != 0)
    GTEST_SKIP() << "no dpkg";
  if (Installed(kAppPackage))
    GTEST_SKIP() << kAppPackage << " is installed on this machine; the test leaves it alone";
  for (const char *path : {kServiceFolder, kOldState, kOldSpool, kSystemSocket})
    if (fs::exists(path) || fs::is_symlink(path))
      GTEST_SKIP() << path << " is on this machine; the test leaves it alone";
  const std::string out = TempFolder("package-app"), build = TempFolder("package-app-build");
  Cleanup cleanup;
  cleanup.folders = {out, build};
  cleanup.package = kAppPackage;
  cleanup.purge = true;
  ASSERT_FALSE(BuildPackage({}, out, build).empty());
  std::string app_deb;
  for (const auto &entry : fs::directory_iterator(out))
    if (entry.path().filename().string().rfind("vellum-printer-app_", 0) == 0)
      app_deb = entry.path().string();
  ASSERT_FALSE(app_deb.empty()) << "no vellum-printer-app package";

  ExpectAppPackage(app_deb, out);
  const std::map<std::string, Entry> files = Contents(app_deb);

  const Result install = RunProgram({"/usr/bin/dpkg", "-i", app_deb}, {"LC_ALL=C"});
  ASSERT_EQ(install.exit_status, 0) << testing::PrintToString(install.err);
  // Enabled for boot, starting the installed server.
  const std::string unit = VELLUM_SYSTEMD_UNIT_DIR "/vellum-printer-app.service";
  const std::string wants =
      "/etc/systemd/system/multi-user.target.wants/vellum-printer-app.service";
  EXPECT_TRUE(fs::is_symlink(wants));
  EXPECT_NE(ReadFile(unit).find("ExecStart=/usr/sbin/vellum-printer-app server"),
            std::string::npos);
  {
    SCOPED_TRACE("the service's confinement");
    ASSERT_EQ(access("/usr/bin/systemd-analyze", X_OK), 0)
        << "systemd-analyze (Debian's systemd) is not installed";
    std::string said;
    const double exposure = Exposure(unit, &said);
    std::cout << said << std::endl;
    RecordProperty("exposure", said);
    EXPECT_GE(exposure, 0) << said;
    EXPECT_LE(exposure, 3.0) << said;
  }
  const Result shown = RunProgram(
      {"/usr/bin/man", "--warnings", "-l", "/usr/share/man/man8/vellum-printer-app.8.gz"},
      {"LC_ALL=C.UTF-8", "MANPAGER=cat", "MANWIDTH=80"});
  EXPECT_EQ(shown.exit_status, 0);
  EXPECT_EQ(shown.err, std::vector<std::string>{});
  {
    SCOPED_TRACE("the installed server prints the test label");
    ExpectServerPrintsTheTestLabel("/usr/sbin/vellum-printer-app",
                                   "/usr/share/vellum-printer-app/test-label.pdf");
  }

  {
    SCOPED_TRACE("the service, over an older package's state");
    const int kept_port = FreePort();
    LeaveAnOldServersState(kept_port, out);
    const Result again = RunProgram({"/usr/bin/dpkg", "-i", app_deb}, {"LC_ALL=C"});
    ASSERT_EQ(again.exit_status, 0) << testing::PrintToString(again.err);
    EXPECT_FALSE(fs::exists(kOldState)) << "the old state stayed where it was";
    EXPECT_FALSE(fs::exists(kOldSpool)) << "the old spool stayed where it was";

    InstalledService service(unit);
    const std::string user = service.Setting("User");
    ASSERT_NE(user, "");
    ASSERT_EQ(service.Start(FreePort(), out + "/service.out"), "");
    // Its own user and group, in lp, without privileges.
    const passwd *account = getpwnam(user.c_str());
    const group *lp = getgrnam("lp");
    ASSERT_NE(account, nullptr) << "no user " << user;
    ASSERT_NE(lp, nullptr);
    const std::string uid = std::to_string(account->pw_uid), lp_gid = std::to_string(lp->gr_gid);
    EXPECT_EQ(Words(ProcessStatus(service.Pid(), "Uid:")), std::vector<std::string>(4, uid));
    const std::vector<std::string> groups = Words(ProcessStatus(service.Pid(), "Groups:"));
    EXPECT_NE(std::find(groups.begin(), groups.end(), lp_gid), groups.end())
        << testing::PrintToString(groups);
    EXPECT_EQ(Words(ProcessStatus(service.Pid(), "NoNewPrivs:")), std::vector<std::string>{"1"});
    EXPECT_EQ(Words(ProcessStatus(service.Pid(), "CapEff:")),
              std::vector<std::string>{"0000000000000000"});
    for (const auto &entry : fs::recursive_directory_iterator(kServiceFolder)) {
      struct stat info {};
      ASSERT_EQ(lstat(entry.path().c_str(), &info), 0);
      EXPECT_EQ(std::to_string(info.st_uid), uid) << entry.path();
    }

    // The command line reaches it through /run's socket; the printer and
    // the label kept by the older package's server are there, and the
    // label prints once the printer answers.
    const Result printers = AppCommand({"printers"});
    EXPECT_EQ(printers.exit_status, 0) << testing::PrintToString(printers.err);
    EXPECT_TRUE(Contains(printers.out, "kept")) << printers.out;
    SocketPrinter kept({}, kept_port);
    ASSERT_TRUE(kept.AwaitCaptures(1, 60)) << ReadFile(out + "/service.out");
    EXPECT_TRUE(Contains(kept.Captures()[0], "^FDKept label^FS"));

    // It prints the test label (PDF, through Ghostscript, as its user).
    SocketPrinter printer;
    ASSERT_EQ(AppCommand({"add", "-d", "installed", "-m", "vellum-zpl-203", "-v", printer.Uri()})
                  .exit_status,
              0);
    const Result submitted =
        AppCommand({"submit", "-d", "installed", "-o", "media=oe_4x2-label_4x2in",
                    "/usr/share/vellum-printer-app/test-label.pdf"});
    EXPECT_EQ(submitted.exit_status, 0) << testing::PrintToString(submitted.err);
    ASSERT_TRUE(printer.AwaitCaptures(1, 120)) << ReadFile(out + "/service.out");
    bool whole = false;
    EXPECT_EQ(WholeLabels(printer.Captures()[0], &whole), 1u);
    EXPECT_TRUE(whole);
    service.Stop();
  }

  // What an older package's server kept in /var/lib beside its state: the
  // queue, the speeds, the lock and a save in progress.
  for (const char *suffix : {"", ".queue", ".speeds", ".lock", ".new", ".queue.new"})
    WriteFile(std::string(kOldState) + suffix, "");
  const Result purged = RunProgram({"/usr/bin/dpkg", "--purge", kAppPackage}, {"LC_ALL=C"});
  EXPECT_EQ(purged.exit_status, 0) << testing::PrintToString(purged.err);
  EXPECT_FALSE(Installed(kAppPackage));
  for (const char *suffix : {"", ".queue", ".speeds", ".lock", ".new", ".queue.new"}) {
    const std::string path = std::string(kOldState) + suffix;
    EXPECT_FALSE(fs::exists(path)) << path;
    fs::remove(path);
  }
  for (const char *path : {kServiceFolder, kOldSpool, kSystemSocket, "/run/vellum-printer-app"})
    EXPECT_FALSE(fs::exists(path) || fs::is_symlink(path)) << path;
  EXPECT_NE(RunProgram({"/usr/bin/getent", "passwd", "vellum-printer-app"}, {}).exit_status, 0)
      << "the service's user stayed";
  for (const auto &[path, entry] : files) {
    if (entry.mode[0] == '-') {
      EXPECT_FALSE(fs::exists(path)) << path;
    }
  }
  EXPECT_FALSE(fs::exists(wants) || fs::is_symlink(wants));
  EXPECT_FALSE(fs::exists("/usr/share/vellum-printer-app"));
}

} // namespace
} // namespace vellum_test
