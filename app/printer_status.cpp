// The status query goes over the job's own connection to the printer,
// before the job's first byte and never inside a label. An AppSocket
// printer's answer is read from that connection with a short time-out of
// its own (PAPPL's reads wait ten seconds); a USB printer reports its
// paper and error signals through PAPPL's port status instead. A printer
// that does not answer is not asked again for ten minutes.
#include "printer_status.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include <dirent.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "models.h"

namespace vellum_app {

namespace {

constexpr int kAnswerMilliseconds = 400;   // how long a printer may take to answer
constexpr int kSilentSeconds = 600;        // a printer that did not answer is not asked again
constexpr int kRecheckMilliseconds = 2000; // while a fault holds a job back
constexpr int kDeliverySeconds = 60;       // for the printer to take a job's last bytes
// How long after its last byte PAPPL may take to end a job.
constexpr std::chrono::seconds kSentSettles{2};

// What the server knows of each printer, by printer ID.
struct Record {
  std::string words;
  time_t silent_until = 0;
  int job_id = 0;
  JobPhase phase = JobPhase::kNone;
  std::chrono::steady_clock::time_point phase_changed;
};
std::mutex records_mutex;
std::map<int, Record> records;
bool new_labels_stopped = false; // since the server stops; guarded by records_mutex

// The AppSocket connection of this process to the printer's device URI:
// the descriptor whose peer is its host and port; -1 for another kind of
// device, or when none or more than one matches.
int DeviceSocket(pappl_printer_t *printer) {
  const char *uri = papplPrinterGetDeviceURI(printer);
  char scheme[32], user[256], host[256], resource[256];
  int port = 0;
  if (uri == nullptr ||
      httpSeparateURI(HTTP_URI_CODING_ALL, uri, scheme, sizeof scheme, user, sizeof user, host,
                      sizeof host, &port, resource, sizeof resource) < HTTP_URI_STATUS_OK ||
      std::strcmp(scheme, "socket") != 0)
    return -1;
  const std::string service = std::to_string(port > 0 ? port : 9100);
  http_addrlist_t *addresses = httpAddrGetList(host, AF_UNSPEC, service.c_str());
  if (addresses == nullptr)
    return -1;
  int found = -1, matches = 0;
  if (DIR *fds = opendir("/proc/self/fd")) {
    while (const dirent *entry = readdir(fds)) {
      const int fd = std::atoi(entry->d_name);
      struct stat info {};
      sockaddr_storage peer{};
      socklen_t length = sizeof peer;
      if (fd <= 2 || fstat(fd, &info) != 0 || !S_ISSOCK(info.st_mode) ||
          getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) != 0)
        continue;
      for (const http_addrlist_t *a = addresses; a != nullptr; a = a->next) {
        const auto *want = reinterpret_cast<const sockaddr *>(&a->addr);
        if (want->sa_family != peer.ss_family)
          continue;
        bool same = false;
        if (peer.ss_family == AF_INET) {
          const auto &x = reinterpret_cast<const sockaddr_in &>(peer);
          const auto &y = reinterpret_cast<const sockaddr_in &>(a->addr);
          same = x.sin_port == y.sin_port && x.sin_addr.s_addr == y.sin_addr.s_addr;
        } else if (peer.ss_family == AF_INET6) {
          const auto &x = reinterpret_cast<const sockaddr_in6 &>(peer);
          const auto &y = reinterpret_cast<const sockaddr_in6 &>(a->addr);
          same = x.sin6_port == y.sin6_port &&
                 std::memcmp(&x.sin6_addr, &y.sin6_addr, sizeof x.sin6_addr) == 0;
        }
        if (same) {
          found = fd;
          ++matches;
          break;
        }
      }
    }
    closedir(fds);
  }
  httpAddrFreeList(addresses);
  return matches == 1 ? found : -1;
}

// Asks over the connection `fd` and reads the answer within its time-out;
// nothing when the printer does not answer.
std::optional<PrinterCondition> Ask(pappl_device_t *device, int fd, bool zpl) {
  char data[512];
  // A late answer to an earlier query is not this one's.
  while (recv(fd, data, sizeof data, MSG_DONTWAIT) > 0) {
  }
  const char *query = zpl ? "~HS" : "\x1b!?";
  papplDeviceWrite(device, query, std::strlen(query));
  papplDeviceFlush(device);
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kAnswerMilliseconds);
  std::string answer;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd readable{fd, POLLIN, 0};
    if (left <= 0 || poll(&readable, 1, static_cast<int>(left)) <= 0)
      break;
    const ssize_t got = recv(fd, data, sizeof data, MSG_DONTWAIT);
    if (got <= 0)
      break;
    answer.append(data, static_cast<size_t>(got));
    if (answer.size() >= kLongestStatusAnswer)
      break;
    if (zpl ? std::count(answer.begin(), answer.end(), '\x03') >= 3 : !answer.empty())
      break;
  }
  if (zpl)
    return ParseHostStatus(answer);
  if (answer.empty())
    return std::nullopt;
  return ParseTsplStatus(static_cast<unsigned char>(answer[0]));
}

// The printer's condition, asked over its open device; nothing where it
// does not answer (or did not lately).
std::optional<PrinterCondition> Condition(pappl_printer_t *printer, pappl_device_t *device) {
  const int id = papplPrinterGetID(printer);
  {
    const std::lock_guard<std::mutex> lock(records_mutex);
    if (records[id].silent_until > std::time(nullptr))
      return std::nullopt;
  }
  const char *uri = papplPrinterGetDeviceURI(printer);
  if (uri != nullptr && std::strncmp(uri, "usb:", 4) == 0) {
    // The USB printer class's port status: paper out, not selected.
    return PortStatusCondition(papplDeviceGetStatus(device));
  }
  const int fd = DeviceSocket(printer);
  if (fd < 0)
    return std::nullopt;
  pappl_pr_driver_data_t driver;
  papplPrinterGetDriverData(printer, &driver);
  const auto *model = static_cast<const PrinterModel *>(driver.extension);
  const bool zpl = model == nullptr || model->model_number == 18;
  std::optional<PrinterCondition> condition = Ask(device, fd, zpl);
  if (!condition) {
    papplLogPrinter(printer, PAPPL_LOGLEVEL_INFO,
                    "The printer does not answer the status query; it is not asked again for "
                    "%d minutes.",
                    kSilentSeconds / 60);
    const std::lock_guard<std::mutex> lock(records_mutex);
    records[id].silent_until = std::time(nullptr) + kSilentSeconds;
  }
  return condition;
}

// Shows the condition on the printer; true when it changed.
bool Show(pappl_printer_t *printer, const PrinterCondition &condition) {
  papplPrinterSetReasons(printer, condition.reasons, kFaultReasons & ~condition.reasons);
  const std::lock_guard<std::mutex> lock(records_mutex);
  std::string &words = records[papplPrinterGetID(printer)].words;
  const bool changed = words != condition.words;
  words = condition.words;
  return changed;
}

} // namespace

bool AwaitPrinterReady(pappl_job_t *job, pappl_device_t *device) {
  pappl_printer_t *printer = papplJobGetPrinter(job);
  for (bool waited = false;; waited = true) {
    const auto asked = std::chrono::steady_clock::now();
    const std::optional<PrinterCondition> condition = Condition(printer, device);
    papplLogJob(
        job, PAPPL_LOGLEVEL_DEBUG, "The printer's status took %.1f ms: %s.",
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - asked).count(),
        !condition                                 ? "no answer"
        : condition->reasons == PAPPL_PREASON_NONE ? "ready"
                                                   : condition->words.c_str());
    if (!condition || condition->reasons == PAPPL_PREASON_NONE) {
      if (Show(printer, {}) || waited) {
        papplLogJob(job, PAPPL_LOGLEVEL_INFO, "The printer is ready.");
        papplJobSetMessage(job, "Printing.");
      }
      return true;
    }
    if (Show(printer, *condition) || !waited) {
      papplLogJob(job, PAPPL_LOGLEVEL_WARN, "%s: the label waits until the printer is ready.",
                  condition->words.c_str());
      papplJobSetMessage(job, "%s: the label waits until the printer is ready.",
                         condition->words.c_str());
    }
    for (int waited_ms = 0; waited_ms < kRecheckMilliseconds; waited_ms += 100) {
      if (papplJobIsCanceled(job))
        return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
}

void RecheckIdlePrinter(pappl_printer_t *printer) {
  if ((papplPrinterGetReasons(printer) & kFaultReasons) == 0 ||
      papplPrinterGetState(printer) == IPP_PSTATE_PROCESSING)
    return;
  pappl_device_t *device = papplPrinterOpenDevice(printer);
  if (device == nullptr)
    return;
  const std::optional<PrinterCondition> condition = Condition(printer, device);
  papplPrinterCloseDevice(printer);
  Show(printer, condition ? *condition : PrinterCondition{});
}

bool DeliveryConfirmed(pappl_printer_t *printer, pappl_device_t *device) {
  papplDeviceFlush(device);
  const int fd = DeviceSocket(printer);
  if (fd < 0)
    return true;
  // The bytes are delivered once the printer's end has acknowledged them;
  // a printer that closed the connection before it had read everything has
  // reset it. The last segment may wait for a delayed acknowledgement (40
  // ms and more once the printer has answered a query): it is not waited
  // for. PAPPL keeps the connection for the printer's next job, so it
  // stays open.
  int segment = 0;
  socklen_t size = sizeof segment;
  if (getsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &segment, &size) != 0)
    segment = 0;
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::seconds(kDeliverySeconds);
  for (;;) {
    int error = 0, unacknowledged = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error != 0)
      return false;
    if (ioctl(fd, SIOCOUTQ, &unacknowledged) != 0 || unacknowledged <= segment ||
        Clock::now() > deadline)
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

std::string ConditionWords(pappl_printer_t *printer) {
  const std::lock_guard<std::mutex> lock(records_mutex);
  const auto it = records.find(papplPrinterGetID(printer));
  return it != records.end() ? it->second.words : "";
}

void StopNewLabels() {
  const std::lock_guard<std::mutex> lock(records_mutex);
  new_labels_stopped = true;
}

bool SetJobPhase(pappl_printer_t *printer, int job_id, JobPhase phase) {
  const std::lock_guard<std::mutex> lock(records_mutex);
  if (phase == JobPhase::kSending && new_labels_stopped)
    return false;
  Record &record = records[papplPrinterGetID(printer)];
  record.job_id = job_id;
  record.phase = phase;
  record.phase_changed = std::chrono::steady_clock::now();
  return true;
}

bool LabelsInFlight() {
  const std::lock_guard<std::mutex> lock(records_mutex);
  const auto now = std::chrono::steady_clock::now();
  for (const auto &[id, record] : records)
    if (record.phase == JobPhase::kSending ||
        (record.phase == JobPhase::kSent && now - record.phase_changed < kSentSettles))
      return true;
  return false;
}

} // namespace vellum_app
