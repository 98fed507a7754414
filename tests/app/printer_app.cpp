#include "printer_app.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <stdexcept>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef VELLUM_GTEST
#include <gtest/gtest.h>
#endif

namespace vellum_test {

namespace {

// A listening TCP socket on an address of this machine (127.0.0.1 unless
// named); port 0 takes any free one.
int Listen(int port, int *bound_port, const std::string &at = "127.0.0.1") {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  inet_pton(AF_INET, at.c_str(), &address.sin_addr);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(fd, 16) != 0)
    throw std::runtime_error("cannot listen on the loopback interface");
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
  *bound_port = ntohs(address.sin_port);
  return fd;
}

using Clock = std::chrono::steady_clock;

} // namespace

size_t WholeLabels(const std::string &capture, bool *all_whole) {
  const DecodedJob job = DecodeJob(capture);
  std::string error = job.error;
  const std::vector<Label> labels = Labels(job, &error);
  *all_whole = error.empty();
  for (const Label &label : labels)
    *all_whole = *all_whole && label.complete;
  return labels.size();
}

int FreePort() {
  int port = 0;
  close(Listen(0, &port));
  return port;
}

SocketPrinter::SocketPrinter(PrinterBehaviour behaviour, int port, const std::string &address)
    : behaviour_(behaviour), address_(address) {
  listen_fd_ = Listen(port, &port_, address);
  // A slow or stalling printer takes little into its buffer, as a real one
  // does, so that the sender waits for it rather than for the kernel.
  if (behaviour_.bytes_per_second > 0 || behaviour_.stall_after > 0) {
    const int size = 8192;
    setsockopt(listen_fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  thread_ = std::thread([this] { Serve(); });
}

SocketPrinter::~SocketPrinter() {
  stop_ = true;
  thread_.join();
  close(listen_fd_);
}

namespace {

// Whether a printer that received `before` is between labels: it has
// received nothing yet, or a job's bytes up to their end (the end-of-page
// frame that ends every job of the filters and the server).
bool BetweenLabels(const std::string &before) {
  if (before.empty())
    return true;
  const size_t frame = before.rfind("\x1b\xff\xfe");
  if (frame == std::string::npos)
    return false;
  const DecodedJob end = DecodeJob(before.substr(frame));
  return end.error.empty() && end.items.size() == 1 && end.items[0].kind == JobItem::Kind::kFrame &&
         end.items[0].code == 0x45 && end.items[0].payload.size() == 1 &&
         end.items[0].payload[0] == 0xFF;
}

} // namespace

void SocketPrinter::Serve() {
  while (!stop_) {
    pollfd waiting{listen_fd_, POLLIN, 0};
    if (poll(&waiting, 1, 100) <= 0)
      continue;
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
      continue;
    std::string capture;
    char buffer[65536];
    // A slow printer takes a tenth of a second's bytes, then waits for the
    // next tenth.
    const size_t budget = behaviour_.bytes_per_second / 10;
    size_t taken = 0, scanned = 0;
    for (;;) {
      pollfd reading{fd, POLLIN, 0};
      if (poll(&reading, 1, 100) == 0) {
        if (stop_)
          break;
        continue;
      }
      // A stalled printer reads nothing until it is resumed.
      if (behaviour_.stall_after > 0 && capture.size() >= behaviour_.stall_after && stalled_) {
        Sleep(20);
        continue;
      }
      size_t want = sizeof buffer;
      if (budget > 0)
        want = std::min(want, budget - taken);
      if (behaviour_.drop_after > 0)
        want = std::min(want, behaviour_.drop_after - capture.size());
      if (behaviour_.stall_after > 0 && stalled_)
        want = std::min(want, behaviour_.stall_after - capture.size());
      const ssize_t got = read(fd, buffer, want);
      if (got <= 0)
        break;
      capture.append(buffer, static_cast<size_t>(got));
      size_t data = static_cast<size_t>(got);
      // Status queries between labels are answered (or not) and dropped,
      // also one split across two reads; one inside a label is no query to
      // a printer, which prints it.
      for (const std::string query : {"~HS", "\x1b!?"}) {
        size_t at = capture.find(query, scanned);
        while (at != std::string::npos) {
          if (!BetweenLabels(capture.substr(0, at))) {
            at = capture.find(query, at + 1);
            continue;
          }
          capture.erase(at, query.size());
          data -= std::min(data, query.size());
          ++queries_;
          Answer(fd);
          at = capture.find(query, at);
        }
      }
      scanned = capture.size() > 2 ? capture.size() - 2 : 0;
      bytes_ += data;
      if (behaviour_.drop_after > 0 && capture.size() >= behaviour_.drop_after)
        break;
      taken += static_cast<size_t>(got);
      if (budget > 0 && taken >= budget) {
        Sleep(100);
        taken = 0;
      }
    }
    close(fd);
    // A connection that sends nothing (the server checking that the
    // printer answers) prints nothing, on a real printer too.
    if (capture.empty())
      continue;
    const std::lock_guard<std::mutex> lock(mutex_);
    captures_.push_back(std::move(capture));
  }
}

// The answer of a ZPL printer to ~HS (paper out and pause in the first
// string, head up and ribbon out in the second) or of a TSPL printer to
// <ESC>!? (one status byte), for the printer's fault.
void SocketPrinter::Answer(int fd) const {
  const PrinterFault fault = fault_;
  std::string answer;
  if (behaviour_.answers == PrinterBehaviour::Answers::kZpl) {
    const auto flag = [fault](PrinterFault f) { return fault == f ? "1" : "0"; };
    answer = std::string("\x02") + "030," + flag(PrinterFault::kPaperOut) + "," +
             flag(PrinterFault::kPaused) + ",1218,000,0,0,0,000,0,0,0\x03\r\n\x02" + "001,0," +
             flag(PrinterFault::kHeadOpen) + "," + flag(PrinterFault::kRibbonOut) +
             ",0,2,6,0,00000000,1,000\x03\r\n\x02" + "1234,0\x03\r\n";
  } else if (behaviour_.answers == PrinterBehaviour::Answers::kTspl) {
    const unsigned char bits[] = {0x00, 0x04, 0x01, 0x08, 0x10, 0x02};
    answer.assign(1, static_cast<char>(bits[static_cast<int>(fault)]));
  }
  if (!answer.empty() && write(fd, answer.data(), answer.size()) < 0)
    return;
}

bool SocketPrinter::AwaitBytes(size_t bytes, int seconds) const {
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  while (bytes_ < bytes) {
    if (Clock::now() > end)
      return false;
    Sleep(2);
  }
  return true;
}

std::vector<std::string> SocketPrinter::Captures() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return captures_;
}

bool SocketPrinter::AwaitCaptures(size_t count, int seconds) {
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  while (Clock::now() < end) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (captures_.size() >= count)
        return true;
    }
    Sleep(20);
  }
  return false;
}

TestNetwork::TestNetwork() {
  original_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  if (geteuid() != 0 || access("/bin/ip", X_OK) != 0) {
    error_ = "a network namespace of the test's own needs root and ip (iproute2)";
    return;
  }
  if (original_ < 0 || unshare(CLONE_NEWNET) != 0) {
    error_ = std::string("no network namespace: ") + std::strerror(errno);
    return;
  }
  for (const std::vector<std::string> &command : std::vector<std::vector<std::string>>{
           {"/bin/ip", "link", "set", "lo", "up"},
           {"/bin/ip", "link", "add", "vellum0", "type", "veth", "peer", "name", "vellum1"},
           {"/bin/ip", "addr", "add", std::string(kOther) + "/24", "dev", "vellum0"},
           {"/bin/ip", "link", "set", "vellum0", "up"},
           {"/bin/ip", "link", "set", "vellum1", "up"},
           {"/bin/ip", "addr", "add", std::string(kHost) + "/32", "dev", "vellum0"}}) {
    const Result run = RunProgram(command, {});
    if (run.exit_status != 0 && error_.empty())
      error_ = "ip " + command[1] + " " + command[2] + " failed";
  }
}

TestNetwork::~TestNetwork() {
  if (original_ >= 0) {
    setns(original_, CLONE_NEWNET);
    close(original_);
  }
}

void TestNetwork::SilenceHost() {
  RunProgram({"/bin/ip", "addr", "del", std::string(kHost) + "/32", "dev", "vellum0"}, {});
  // Frames for the host go to a hardware address no interface has.
  RunProgram({"/bin/ip", "neigh", "add", kHost, "lladdr", "02:00:00:00:00:09", "dev", "vellum0",
              "nud", "permanent"},
             {});
}

void TestNetwork::WakeHost() {
  RunProgram({"/bin/ip", "neigh", "del", kHost, "dev", "vellum0"}, {});
  RunProgram({"/bin/ip", "addr", "add", std::string(kHost) + "/32", "dev", "vellum0"}, {});
}

std::vector<std::string> AppSanitizerEnv(const std::string &folder) {
#ifdef VELLUM_SANITIZE
  // PAPPL leaks in its main loop and sub-commands; the application's own
  // leaks are still reported (full stacks, so that PAPPL's frames show).
  std::string suppressions = VELLUM_SOURCE_DIR "/tests/app/pappl.supp";
  if (!folder.empty()) {
    const std::string copy = folder + "/pappl.supp";
    std::filesystem::copy_file(suppressions, copy,
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(copy, std::filesystem::perms::others_read,
                                 std::filesystem::perm_options::add);
    suppressions = copy;
  }
  return {"ASAN_OPTIONS=fast_unwind_on_malloc=0",
          "LSAN_OPTIONS=print_suppressions=0:suppressions=" + suppressions};
#else
  (void)folder;
  return {};
#endif
}

std::vector<std::string> PrinterApp::Env() const {
  // PAPPL keeps its state and its socket in SNAP_COMMON when it is set, and
  // else, for root, in /var/lib and /run: an installed copy's.
  std::vector<std::string> env = {"SNAP_COMMON=" + dir_, "HOME=" + dir_, "LC_ALL=C"};
  // Another build of libpappl for the server (./scripts/test-with-pappl
  // --symbolic: one that binds its own calls).
  if (const char *library = std::getenv("VELLUM_SERVER_LIBRARY_PATH"))
    env.push_back(std::string("LD_LIBRARY_PATH=") + library);
  env.insert(env.end(), extra_env_.begin(), extra_env_.end());
  const std::vector<std::string> sanitizer = AppSanitizerEnv();
  env.insert(env.end(), sanitizer.begin(), sanitizer.end());
  return env;
}

PrinterApp::~PrinterApp() {
  Stop();
  if (!dir_.empty() && std::getenv("VELLUM_KEEP_TEST_FILES") == nullptr)
    std::filesystem::remove_all(dir_);
}

std::string PrinterApp::Start(const std::vector<std::string> &options) {
  if (dir_.empty()) {
    char tmpl[] = "/tmp/vellum-app-XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
      return "mkdtemp failed";
    dir_ = tmpl;
    std::filesystem::create_directory(dir_ + "/spool");
    port_ = FreePort();
  }
  std::vector<std::string> argv = {program_, "server",
                                   "-o",     "server-port=" + std::to_string(port_),
                                   "-o",     "listen-hostname=localhost",
                                   "-o",     "spool-directory=" + dir_ + "/spool",
                                   "-o",     "log-file=" + dir_ + "/log",
                                   "-o",     "log-level=debug"};
  for (const std::string &option : options) {
    argv.push_back("-o");
    argv.push_back(option);
  }
  argv.insert(argv.begin(), under_.begin(), under_.end());
  Process process = Spawn(argv, Env(), {"", dir_ + "/server.out"});
  pid_ = process.pid;
  errors_path_ = process.err_path;
  // Ready once it answers on its port and (as root, in its folder) has its
  // socket, which the sub-commands use: PAPPL adds the socket after the
  // port.
  const std::string socket = dir_ + "/vellum-printer-app.sock";
  for (int i = 0; i < 200; ++i) {
    http_t *http = httpConnect2("127.0.0.1", port_, nullptr, AF_INET, HTTP_ENCRYPTION_IF_REQUESTED,
                                0, 100, nullptr);
    if (http != nullptr) {
      httpClose(http);
      if (geteuid() != 0 || std::filesystem::exists(socket))
        return "";
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = 0;
      return "the server ended: " + ReadFile(dir_ + "/log");
    }
    Sleep(50);
  }
  return "the server does not answer on port " + std::to_string(port_);
}

void PrinterApp::Stop() {
  // A server that hangs (a deadlock) is killed after a minute, so that no
  // test waits for it for ever. One that does not end well (under the
  // sanitizers also one that lost memory on the way) fails the test.
  if (pid_ > 0 && StopBy("SIGTERM") < 0) {
    const std::string log = Log();
    const std::string why =
        "the server did not end well; its messages: " + ReadFile(errors_path_) +
        "; the end of its log: " + log.substr(log.size() > 2000 ? log.size() - 2000 : 0);
#ifdef VELLUM_GTEST
    ADD_FAILURE() << why;
#else
    std::fprintf(stderr, "%s\n", why.c_str());
#endif
  }
}

double PrinterApp::StopBy(const std::string &how) {
  if (pid_ <= 0)
    return -1;
  const auto start = Clock::now();
  if (how == "shutdown")
    Command({"shutdown"});
  else
    kill(pid_, how == "SIGKILL" ? SIGKILL : SIGTERM);
  int status = 0;
  while (waitpid(pid_, &status, WNOHANG) == 0) {
    if (Clock::now() - start > std::chrono::seconds(60)) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      pid_ = 0;
      return -1;
    }
    Sleep(20);
  }
  pid_ = 0;
  if (how != "SIGKILL" && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
    return -1;
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

Result PrinterApp::Command(const std::vector<std::string> &args) const {
  std::vector<std::string> argv = {program_};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv, Env());
}

std::string PrinterApp::AddPrinter(const std::string &name, const std::string &driver,
                                   const std::string &device_uri) const {
  const Result added = Command({"add", "-d", name, "-m", driver, "-v", device_uri});
  if (added.exit_status != 0) {
    std::string error = "add " + name + ":";
    for (const std::string &line : added.err)
      error += " " + line;
    return error;
  }
  return "";
}

std::string PrinterApp::PrinterUri(const std::string &printer) const {
  // PAPPL writes a space in a printer's name as '_' in its paths.
  std::string path = printer;
  std::replace(path.begin(), path.end(), ' ', '_');
  return "ipp://localhost:" + std::to_string(port_) + "/ipp/print/" + path;
}

std::pair<int, std::string> PrinterApp::Web(const std::string &path, const std::string &form,
                                            const std::string &address,
                                            const std::string &cookie) const {
  http_t *http = httpConnect2(address.c_str(), port_, nullptr, AF_UNSPEC,
                              HTTP_ENCRYPTION_IF_REQUESTED, 1, 30000, nullptr);
  if (http == nullptr)
    return {0, ""};
  const std::string host =
      (address == "127.0.0.1" ? "localhost" : address) + ":" + std::to_string(port_);
  httpClearFields(http);
  httpSetField(http, HTTP_FIELD_HOST, host.c_str());
  if (!cookie.empty())
    httpSetCookie(http, cookie.c_str());
  if (form.empty()) {
    httpGet(http, path.c_str());
  } else {
    httpSetField(http, HTTP_FIELD_CONTENT_TYPE, "application/x-www-form-urlencoded");
    httpSetLength(http, form.size());
    httpPost(http, path.c_str());
    httpWrite2(http, form.data(), form.size());
  }
  http_status_t status;
  while ((status = httpUpdate(http)) == HTTP_STATUS_CONTINUE) {
  }
  std::string body;
  char buffer[8192];
  ssize_t got = 0;
  while ((got = httpRead2(http, buffer, sizeof buffer)) > 0)
    body.append(buffer, static_cast<size_t>(got));
  httpClose(http);
  return {static_cast<int>(status), body};
}

std::string PrinterApp::SignIn() const {
  // libcups's HTTP client keeps no cookie it is sent: the answer is read as
  // it comes.
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  server.sin_port = htons(static_cast<uint16_t>(port_));
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr *>(&server), sizeof server) == 0) {
    const std::string request =
        "GET /vellum-sign-in HTTP/1.1\r\nHost: localhost:" + std::to_string(port_) +
        "\r\nConnection: close\r\n\r\n";
    if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
      // Its headers (PAPPL keeps the connection open for the next request).
      char buffer[4096];
      for (ssize_t got; answer.find("\r\n\r\n") == std::string::npos &&
                        (got = read(fd, buffer, sizeof buffer)) > 0;)
        answer.append(buffer, static_cast<size_t>(got));
    }
  }
  close(fd);
  // "Set-Cookie: auth=VALUE; path=/; ...": the cookie as a browser sends it.
  const size_t at = answer.find("\r\nSet-Cookie: ");
  if (at == std::string::npos)
    return "";
  const size_t from = at + 14;
  return answer.substr(from, answer.find(';', from) - from);
}

std::string PrinterApp::FormSession(const std::string &path, const std::string &address) const {
  const std::string page = Web(path, "", address).second;
  const std::string marker = "name=\"session\" value=\"";
  const size_t at = page.find(marker);
  if (at == std::string::npos)
    return "";
  const size_t from = at + marker.size();
  return page.substr(from, page.find('"', from) - from);
}

// PAPPL starts a new log once it is large, keeping the last as log.O.
std::string PrinterApp::Log() const { return ReadFile(dir_ + "/log.O") + ReadFile(dir_ + "/log"); }

size_t PrinterApp::PeakMemoryKiB() const {
  if (pid_ <= 0)
    return 0;
  const std::string status = ReadFile("/proc/" + std::to_string(pid_) + "/status");
  const size_t at = status.find("VmHWM:");
  return at == std::string::npos ? 0 : std::strtoull(status.c_str() + at + 6, nullptr, 10);
}

namespace {

// Attributes whose values are integers; the others are keywords.
const std::set<std::string> kIntegers = {"copies",
                                         "print-darkness",
                                         "print-speed",
                                         "printer-darkness-configured",
                                         "media-top-offset",
                                         "media-left-offset",
                                         "label-tear-offset-configured"};

// Adds "name=value" attributes to a request; "media-col.MEMBER" ones go into
// one media-col collection.
void AddAttributes(ipp_t *request, ipp_tag_t group, const std::vector<JobAttribute> &attributes) {
  ipp_t *media_col = nullptr;
  for (const JobAttribute &a : attributes) {
    ipp_t *target = request;
    std::string name = a.name;
    if (name.rfind("media-col.", 0) == 0) {
      if (media_col == nullptr)
        media_col = ippNew();
      target = media_col;
      name = name.substr(10);
    }
    const std::string base = name.size() > 8 && name.compare(name.size() - 8, 8, "-default") == 0
                                 ? name.substr(0, name.size() - 8)
                                 : name;
    if (kIntegers.count(base) != 0)
      ippAddInteger(target, group, IPP_TAG_INTEGER, name.c_str(), std::atoi(a.value.c_str()));
    else
      ippAddString(target, group, IPP_TAG_KEYWORD, name.c_str(), nullptr, a.value.c_str());
  }
  if (media_col != nullptr) {
    ippAddCollection(request, group, group == IPP_TAG_JOB ? "media-col" : "media-col-default",
                     media_col);
    ippDelete(media_col);
  }
}

// A connection to the server; a server that stops answering fails the
// request after 30 s rather than holding the test.
http_t *Connect(int port, const std::string &address) {
  http_t *http = httpConnect2(address.c_str(), port, nullptr, AF_INET, HTTP_ENCRYPTION_IF_REQUESTED,
                              1, 30000, nullptr);
  if (http != nullptr)
    httpSetTimeout(http, 30, nullptr, nullptr);
  return http;
}

} // namespace

int PrinterApp::Print(const std::string &printer, const std::string &path,
                      const std::string &format,
                      const std::vector<JobAttribute> &attributes) const {
  // Raster is printed as it arrives, so a printer busy with another job
  // answers "busy" until it is free: as CUPS's ipp backend, try again.
  const auto end = Clock::now() + std::chrono::seconds(60);
  for (;;) {
    http_t *http = Connect(port_, address_);
    if (http == nullptr)
      return -1;
    ipp_t *request = ippNewRequest(IPP_OP_PRINT_JOB);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                 PrinterUri(printer).c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "test");
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr,
                 format.c_str());
    AddAttributes(request, IPP_TAG_JOB, attributes);
    ipp_t *response = cupsDoFileRequest(http, request, "/ipp/print", path.c_str());
    const ipp_status_t status = ippGetStatusCode(response);
    int job = -1;
    if (status <= IPP_STATUS_OK_CONFLICTING) {
      if (ipp_attribute_t *id = ippFindAttribute(response, "job-id", IPP_TAG_INTEGER))
        job = ippGetInteger(id, 0);
    }
    ippDelete(response);
    httpClose(http);
    if (status != IPP_STATUS_ERROR_BUSY || Clock::now() > end)
      return job;
    Sleep(100);
  }
}

namespace {

// Sends a request about a printer (or one of its jobs) and returns the
// response; nullptr without a connection.
ipp_t *Ask(int port, const std::string &address, const std::string &printer_uri, ipp_op_t op,
           int job = 0) {
  http_t *http = Connect(port, address);
  if (http == nullptr)
    return nullptr;
  ipp_t *request = ippNewRequest(op);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
               printer_uri.c_str());
  if (job > 0)
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", job);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "test");
  ipp_t *response = cupsDoRequest(http, request, "/ipp/print");
  httpClose(http);
  return response;
}

} // namespace

int PrinterApp::JobState(const std::string &printer, int job) const {
  ipp_t *response = Ask(port_, address_, PrinterUri(printer), IPP_OP_GET_JOB_ATTRIBUTES, job);
  ipp_attribute_t *attr = ippFindAttribute(response, "job-state", IPP_TAG_ENUM);
  const int state = attr != nullptr ? ippGetInteger(attr, 0) : 0;
  ippDelete(response);
  return state;
}

std::string PrinterApp::JobText(const std::string &printer, int job, const char *name) const {
  ipp_t *response = Ask(port_, address_, PrinterUri(printer), IPP_OP_GET_JOB_ATTRIBUTES, job);
  std::string value;
  if (ipp_attribute_t *attr = ippFindAttribute(response, name, IPP_TAG_ZERO)) {
    const ipp_tag_t tag = ippGetValueTag(attr);
    value = tag == IPP_TAG_INTEGER || tag == IPP_TAG_ENUM
                ? std::to_string(ippGetInteger(attr, 0))
                : std::string(ippGetString(attr, 0, nullptr) ? ippGetString(attr, 0, nullptr) : "");
  }
  ippDelete(response);
  return value;
}

std::vector<int> PrinterApp::ActiveJobs(const std::string &printer) const {
  ipp_t *response = Ask(port_, address_, PrinterUri(printer), IPP_OP_GET_JOBS);
  std::vector<int> jobs;
  for (ipp_attribute_t *attr = ippFindAttribute(response, "job-id", IPP_TAG_INTEGER);
       attr != nullptr; attr = ippFindNextAttribute(response, "job-id", IPP_TAG_INTEGER))
    jobs.push_back(ippGetInteger(attr, 0));
  ippDelete(response);
  return jobs;
}

bool PrinterApp::CancelJob(const std::string &printer, int job) const {
  ipp_t *response = Ask(port_, address_, PrinterUri(printer), IPP_OP_CANCEL_JOB, job);
  const bool done = response != nullptr && ippGetStatusCode(response) <= IPP_STATUS_OK_CONFLICTING;
  ippDelete(response);
  return done;
}

std::string PrinterApp::PrinterStateReasons(const std::string &printer) const {
  ipp_t *response = Ask(port_, address_, PrinterUri(printer), IPP_OP_GET_PRINTER_ATTRIBUTES);
  std::string reasons;
  if (ipp_attribute_t *attr = ippFindAttribute(response, "printer-state-reasons", IPP_TAG_KEYWORD))
    for (int i = 0; i < ippGetCount(attr); ++i)
      reasons += (i > 0 ? "," : "") + std::string(ippGetString(attr, i, nullptr));
  ippDelete(response);
  return reasons;
}

namespace {

// An attribute's values as text: integers in decimal, several joined by
// commas.
std::string ValueText(ipp_attribute_t *attr) {
  std::string text;
  for (int i = 0; i < ippGetCount(attr); ++i) {
    const ipp_tag_t tag = ippGetValueTag(attr);
    const char *value = ippGetString(attr, i, nullptr);
    text += (i > 0 ? "," : "") + (tag == IPP_TAG_INTEGER || tag == IPP_TAG_ENUM
                                      ? std::to_string(ippGetInteger(attr, i))
                                      : std::string(value != nullptr ? value : ""));
  }
  return text;
}

} // namespace

std::multimap<std::string, std::string>
PrinterApp::PrinterAttributes(const std::string &printer) const {
  ipp_t *response = Ask(port_, address_, PrinterUri(printer), IPP_OP_GET_PRINTER_ATTRIBUTES);
  std::multimap<std::string, std::string> attributes;
  for (ipp_attribute_t *attr = ippFirstAttribute(response); attr != nullptr;
       attr = ippNextAttribute(response))
    if (ippGetGroupTag(attr) == IPP_TAG_PRINTER && ippGetName(attr) != nullptr)
      attributes.emplace(ippGetName(attr), ValueText(attr));
  ippDelete(response);
  return attributes;
}

std::map<std::string, int> PrinterApp::Printers() const {
  http_t *http = Connect(port_, address_);
  if (http == nullptr)
    return {};
  ipp_t *request = ippNewRequest(IPP_OP_GET_PRINTERS);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "system-uri", nullptr,
               ("ipp://localhost:" + std::to_string(port_) + "/ipp/system").c_str());
  ipp_t *response = cupsDoRequest(http, request, "/ipp/system");
  httpClose(http);
  std::map<std::string, int> printers;
  std::string name;
  int id = 0;
  // One group of attributes per printer, each with its name and id.
  for (ipp_attribute_t *attr = ippFirstAttribute(response);; attr = ippNextAttribute(response)) {
    if (attr == nullptr || ippGetName(attr) == nullptr) {
      if (!name.empty())
        printers[name] = id;
      name.clear();
      id = 0;
      if (attr == nullptr)
        break;
      continue;
    }
    if (std::strcmp(ippGetName(attr), "printer-name") == 0)
      name = ippGetString(attr, 0, nullptr);
    else if (std::strcmp(ippGetName(attr), "printer-id") == 0)
      id = ippGetInteger(attr, 0);
  }
  ippDelete(response);
  return printers;
}

std::string PrinterApp::DeletePrinter(int printer_id) const {
  http_t *http = Connect(port_, address_);
  if (http == nullptr)
    return "no connection";
  ipp_t *request = ippNewRequest(IPP_OP_DELETE_PRINTER);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "system-uri", nullptr,
               ("ipp://localhost:" + std::to_string(port_) + "/ipp/system").c_str());
  ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "printer-id", printer_id);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "test");
  ipp_t *response = cupsDoRequest(http, request, "/ipp/system");
  httpClose(http);
  const ipp_status_t status = ippGetStatusCode(response);
  ippDelete(response);
  return status <= IPP_STATUS_OK_CONFLICTING
             ? ""
             : std::string(ippErrorString(status)) + ": " + cupsLastErrorString();
}

int PrinterApp::PollPrinter(const std::string &printer, int count) const {
  http_t *http = Connect(port_, address_);
  int missing = 0;
  for (int i = 0; i < count; ++i) {
    // A kept connection that the server closed just as the request went is
    // opened again and the request sent again, as clients do.
    ipp_t *response = nullptr;
    for (int attempt = 0; attempt < 2 && response == nullptr; ++attempt) {
      if (attempt > 0) {
        httpClose(http);
        http = Connect(port_, address_);
      }
      ipp_t *request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
      ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                   PrinterUri(printer).c_str());
      if (http != nullptr)
        response = cupsDoRequest(http, request, "/ipp/print");
      else
        ippDelete(request);
    }
    if (ippGetStatusCode(response) != IPP_STATUS_OK)
      ++missing;
    ippDelete(response);
  }
  httpClose(http);
  return missing;
}

int PrinterApp::AwaitJob(const std::string &printer, int job, int seconds) const {
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  while (Clock::now() < end) {
    const int state = JobState(printer, job);
    if (state >= IPP_JSTATE_CANCELED)
      return state;
    Sleep(20);
  }
  return 0;
}

std::string PrinterApp::SetPrinterAttributes(const std::string &printer,
                                             const std::vector<JobAttribute> &attributes) const {
  http_t *http = Connect(port_, address_);
  if (http == nullptr)
    return "no connection";
  ipp_t *request = ippNewRequest(IPP_OP_SET_PRINTER_ATTRIBUTES);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
               PrinterUri(printer).c_str());
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "test");
  AddAttributes(request, IPP_TAG_PRINTER, attributes);
  ipp_t *response = cupsDoRequest(http, request, "/ipp/print");
  const ipp_status_t status = ippGetStatusCode(response);
  std::string error;
  if (status > IPP_STATUS_OK_CONFLICTING)
    error = std::string(ippErrorString(status)) + ": " + cupsLastErrorString();
  ippDelete(response);
  httpClose(http);
  return error;
}

std::string PwgRaster(const std::vector<RasterPage> &pages, cups_mode_t mode) {
  std::vector<RasterPage> pwg = pages;
  for (RasterPage &page : pwg) {
    cups_page_header2_t &h = page.header;
    h.cupsColorSpace = CUPS_CSPACE_SW;
    h.cupsColorOrder = CUPS_ORDER_CHUNKED;
    h.cupsNumColors = 1;
    h.PageSize[0] = static_cast<unsigned>(h.cupsWidth * 72.0 / h.HWResolution[0] + 0.5);
    h.PageSize[1] = static_cast<unsigned>(h.cupsHeight * 72.0 / h.HWResolution[1] + 0.5);
    h.NumCopies = 1;
    h.cupsCompression = 0;
    std::strcpy(h.MediaColor, "");
    std::strcpy(h.cupsRenderingIntent, "");
  }
  return RasterStream(pwg, mode);
}

// A label page: bars, text-like strokes, a grey ramp and a photo-like
// patch, so that every halftone and gamma decides differently. Grey levels,
// 0 black.
RasterPage LabelPage(uint32_t width, uint32_t height, uint32_t dpi) {
  RasterPage page = GreyPage(width, height, 255, dpi, dpi);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      unsigned char v = 255;
      if (y > height / 10 && y < height / 3)
        v = (x / 6) % 3 == 0 ? 0 : 255; // bars
      else if (y >= height / 3 && y < height / 2)
        v = static_cast<unsigned char>(x * 255 / width); // a ramp
      else if (y >= height / 2 && y < height * 3 / 4)
        v = static_cast<unsigned char>((x * x + y * 7) % 251); // a picture
      else if ((x + y) % 37 < 3)
        v = 90; // grey strokes
      page.pixels[size_t{y} * width + x] = v;
    }
  }
  return page;
}

// The filter's raster of the same pages: black ink (255 black), as CUPS
// rasterises for the PPDs, with the darkness level and the copies in the
// header as the PPDs put them there.
std::string FilterRaster(std::vector<RasterPage> pages, unsigned darkness, unsigned copies) {
  for (RasterPage &page : pages) {
    for (unsigned char &v : page.pixels)
      v = static_cast<unsigned char>(255 - v);
    page.header.cupsColorSpace = CUPS_CSPACE_K;
    page.header.cupsCompression = darkness;
    page.header.NumCopies = copies;
  }
  return RasterStream(pages);
}

std::string FilterBytes(const std::string &driver, const std::vector<RasterPage> &pages,
                        const std::string &options, unsigned darkness, unsigned copies) {
  const bool variant_03 = driver.size() > 3 && driver.compare(driver.size() - 3, 3, "-03") == 0;
  const std::string ppd = ReadFile(VELLUM_PPD_DIR "/" + driver + ".ppd");
  const std::string raster = WriteScratchFile("filter.ras", FilterRaster(pages, darkness, copies));
  std::vector<std::string> argv = FilterArgs(variant_03 ? Variant::k03 : Variant::kBase, options);
  argv.push_back(raster);
  const Result run = RunProgram(argv, FilterEnv(ppd));
  return run.exit_status == 0 ? run.out : "(the filter failed)";
}

} // namespace vellum_test
