#include "private_scheduler.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vellum_test {
namespace {

namespace fs = std::filesystem;

// Copies a program where the scheduler runs it: owned by root, not writable
// by group or others. What was there goes first: it may be a link to the
// machine's own filter, which must stay as it is.
void InstallProgram(const std::string &from, const std::string &to, fs::perms mode) {
  fs::remove(to);
  fs::copy_file(from, to);
  fs::permissions(to, mode);
}

} // namespace

std::string PrivateScheduler::Start(const SchedulerSetup &setup) {
  if (geteuid() != 0)
    return "the scheduler must start as root to run filters as lp";
  if (access("/usr/sbin/cupsd", X_OK) != 0)
    return "no /usr/sbin/cupsd (Debian: cups-daemon)";
  char tmpl[] = "/tmp/vellum-cups-XXXXXX";
  if (mkdtemp(tmpl) == nullptr)
    return "mkdtemp failed";
  dir_ = tmpl;
  chmod(dir_.c_str(), 0755); // lp runs the filters and must get through
  for (const char *sub : {"conf", "serverbin/filter", "serverbin/backend", "spool/tmp", "cache",
                          "state", "log", "out"})
    fs::create_directories(dir_ + "/" + sub);
  fs::create_directory_symlink("/usr/lib/cups/daemon", dir_ + "/serverbin/daemon");
  for (const auto &entry : fs::directory_iterator("/usr/lib/cups/filter"))
    fs::create_symlink(entry.path(),
                       dir_ + "/serverbin/filter/" + entry.path().filename().string());
  const fs::perms rwxr_xr_x = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec;
  // The stock filters are linked above, an installed vellum among them.
  if (!setup.installed_filters) {
    InstallProgram(setup.filter.empty() ? FilterPath(Variant::kBase) : setup.filter,
                   dir_ + "/serverbin/filter/vellumfilter", rwxr_xr_x);
    InstallProgram(setup.filter_03.empty() ? FilterPath(Variant::k03) : setup.filter_03,
                   dir_ + "/serverbin/filter/vellumfilter_03", rwxr_xr_x);
  }
  // The driver's types and conversions of printer programs, as the package
  // installs them in the scheduler's data folder (an installed copy's are
  // there already); the scheduler reads them from its ServerRoot too.
  if (!setup.installed_filters)
    for (const char *file : {"vellum.types", "vellum.convs"})
      fs::copy_file(std::string(VELLUM_MIME_DIR) + "/" + file, dir_ + "/conf/" + file);
  for (const std::string &backend : setup.stock_backends)
    fs::create_symlink("/usr/lib/cups/backend/" + backend, dir_ + "/serverbin/backend/" + backend);
  // Mode 0700: the scheduler runs the backend as root, which may write anywhere.
  InstallProgram(setup.capture_backend, dir_ + "/serverbin/backend/vellumcap",
                 fs::perms::owner_all);
  // MaxJobs 0: a print server under load may queue thousands of jobs;
  // MaxLogSize 0: the tests read the whole log.
  std::ofstream(dir_ + "/conf/cupsd.conf")
      << "LogLevel " << setup.log_level << "\nListen " << Socket()
      << "\nBrowsing No\nWebInterface No\nMaxJobs 0\nMaxLogSize 0\n"
      << "DefaultAuthType None\n<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
      << "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n";
  std::ofstream(dir_ + "/conf/cups-files.conf")
      << "ServerRoot " << dir_ << "/conf\nServerBin " << dir_ << "/serverbin\n"
      << "DataDir /usr/share/cups\nRequestRoot " << dir_ << "/spool\nTempDir " << dir_
      << "/spool/tmp\nCacheDir " << dir_ << "/cache\nStateDir " << dir_ << "/state\n"
      << "ErrorLog " << dir_ << "/log/error_log\nAccessLog " << dir_ << "/log/access_log\n"
      << "PageLog " << dir_ << "/log/page_log\nPrintcap " << dir_ << "/state/printcap\n"
      << "User lp\nGroup lp\nSystemGroup root\n";
  Process cupsd = Spawn({"/usr/sbin/cupsd", "-f", "-c", dir_ + "/conf/cupsd.conf", "-s",
                         dir_ + "/conf/cups-files.conf"},
                        {}, {"", ""});
  pid_ = cupsd.pid;
  for (int i = 0; i < 400; ++i) {
    if (Client({"/usr/bin/lpstat", "-r"}).exit_status == 0)
      return "";
    Sleep(50);
  }
  return "the private scheduler did not start: " + ReadFile(dir_ + "/log/error_log");
}

void PrivateScheduler::Stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = 0;
  }
  // VELLUM_KEEP_TEST_FILES keeps the folders for a look after a failure.
  if (!dir_.empty() && std::getenv("VELLUM_KEEP_TEST_FILES") == nullptr) {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  dir_.clear();
}

std::vector<std::string> PrivateScheduler::Env() const {
  return {"LC_ALL=C", "CUPS_SERVER=" + Socket(), "HOME=" + dir_};
}

Result PrivateScheduler::Client(const std::vector<std::string> &argv) const {
  Result result;
  for (int attempt = 0; attempt < 20; ++attempt) {
    result = RunProgram(argv, Env());
    bool refused = false;
    for (const std::string &line : result.err)
      refused = refused || Contains(line, "Unable to connect to server");
    if (!refused)
      break;
    Sleep(250);
  }
  return result;
}

http_t *PrivateScheduler::Connect() const {
  for (int attempt = 0; attempt < 20; ++attempt) {
    http_t *http = httpConnect2(Socket().c_str(), 0, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_NEVER, 1,
                                30000, nullptr);
    if (http != nullptr)
      return http;
    Sleep(250);
  }
  return nullptr;
}

std::string PrivateScheduler::AddQueue(const std::string &queue, const std::string &ppd,
                                       const std::string &capture, const std::string &mode) const {
  const std::string uri = "vellumcap:" + capture + (mode.empty() ? "" : "?" + mode);
  const Result added = Client({"/usr/sbin/lpadmin", "-p", queue, "-E", "-v", uri, "-P", ppd});
  if (added.exit_status == 0)
    return "";
  std::string why = "lpadmin failed for " + queue + ":";
  for (const std::string &line : added.err)
    why += " " + line;
  return why;
}

int PrivateScheduler::Submit(const std::string &queue, const std::string &file,
                             const std::vector<std::string> &options) const {
  std::vector<std::string> argv = {"/usr/bin/lp", "-d", queue};
  for (const std::string &option : options) {
    argv.push_back("-o");
    argv.push_back(option);
  }
  argv.push_back(file);
  // lp answers "request id is QUEUE-ID (1 file(s))".
  const std::string out = Client(argv).out;
  const size_t at = out.find(queue + "-");
  return at == std::string::npos ? -1 : std::atoi(out.c_str() + at + queue.size() + 1);
}

bool PrivateScheduler::Active(int job) const {
  return Contains(Client({"/usr/bin/lpstat", "-o"}).out, "-" + std::to_string(job) + " ");
}

std::vector<std::string> PrivateScheduler::JobLog(int job) const {
  std::vector<std::string> lines;
  const std::string tag = "[Job " + std::to_string(job) + "] ";
  for (const std::string &line : SplitLines(ReadFile(dir_ + "/log/error_log")))
    if (Contains(line, tag))
      lines.push_back(line.substr(line.find(tag) + tag.size()));
  return lines;
}

double PrivateScheduler::CpuSeconds() const {
  // Fields 14 and 15 of /proc/PID/stat, after the parenthesised name.
  const std::string stat = ReadFile("/proc/" + std::to_string(pid_) + "/stat");
  const size_t name_end = stat.rfind(')');
  if (name_end == std::string::npos)
    return 0;
  std::istringstream fields(stat.substr(name_end + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14)
      utime = std::stoull(field);
    else if (i == 15)
      stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int JobState(http_t *http, int job) {
  ipp_t *request = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
  const std::string uri = "ipp://localhost/jobs/" + std::to_string(job);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "job-uri", nullptr, uri.c_str());
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
               "job-state");
  ipp_t *response = cupsDoRequest(http, request, "/");
  ipp_attribute_t *state = ippFindAttribute(response, "job-state", IPP_TAG_ENUM);
  const int value = state != nullptr ? ippGetInteger(state, 0) : 0;
  ippDelete(response);
  return value;
}

} // namespace vellum_test
