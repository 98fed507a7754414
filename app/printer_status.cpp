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

#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "models.h"
#include "pappl/patches.h"

namespace vellum_app {

namespace {

constexpr int kAnswerMilliseconds = 400;   // how long a printer may take to answer
constexpr int kSilentSeconds = 600;        // a printer that did not answer is not asked again
constexpr int kRecheckMilliseconds = 2000; // while a fault holds a job back
constexpr int kStallSeconds = 5;           // a printer that takes nothing this long has stopped
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

// Asks over the connection `fd` and reads the answer within its time-out;
// nothing when the printer does not answer.
std::optional<PrinterCondition> Ask(pappl_device_t *device, int fd, bool zpl) {
  char data[512];
  // A late answer to an earlier query is not this one's; a printer that
  // floods its connection is drained of a few answers' worth only.
  ssize_t got = 0;
  for (size_t drained = 0;
       drained < 64 * sizeof data && (got = recv(fd, data, sizeof data, MSG_DONTWAIT)) > 0;)
    drained += static_cast<size_t>(got);
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
    got = recv(fd, data, sizeof data, MSG_DONTWAIT);
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
std::optional<PrinterCondition> Condition(const StatusTarget &target, pappl_device_t *device) {
  {
    const std::lock_guard<std::mutex> lock(records_mutex);
    if (records[target.id].silent_until > std::time(nullptr))
      return std::nullopt;
  }
  if (target.uri.compare(0, 4, "usb:") == 0) {
    // The USB printer class's port status: paper out, not selected.
    return PortStatusCondition(papplDeviceGetStatus(device));
  }
  const int fd = DeviceConnection(device, target.uri.c_str());
  if (fd < 0)
    return std::nullopt;
  std::optional<PrinterCondition> condition = Ask(device, fd, target.zpl);
  if (!condition) {
    papplLog(target.system, PAPPL_LOGLEVEL_INFO,
             "[Printer %s] The printer does not answer the status query; it is not asked again "
             "for %d minutes.",
             target.name.c_str(), kSilentSeconds / 60);
    const std::lock_guard<std::mutex> lock(records_mutex);
    records[target.id].silent_until = std::time(nullptr) + kSilentSeconds;
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

StatusTarget TargetOf(pappl_printer_t *printer) {
  pappl_pr_driver_data_t driver;
  papplPrinterGetDriverData(printer, &driver);
  const auto *model = static_cast<const PrinterModel *>(driver.extension);
  const char *uri = papplPrinterGetDeviceURI(printer);
  return {papplPrinterGetSystem(printer), papplPrinterGetID(printer), papplPrinterGetName(printer),
          uri != nullptr ? uri : "", model == nullptr || IsZpl(*model)};
}

bool AwaitPrinterReady(pappl_job_t *job, pappl_device_t *device) {
  pappl_printer_t *printer = papplJobGetPrinter(job);
  const StatusTarget target = TargetOf(printer);
  for (bool waited = false;; waited = true) {
    const auto asked = std::chrono::steady_clock::now();
    const std::optional<PrinterCondition> condition = Condition(target, device);
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

void RecheckIdlePrinter(pappl_system_t *system, int printer_id) {
  StatusTarget target;
  {
    pappl_printer_t *printer = papplSystemFindPrinter(system, nullptr, printer_id, nullptr);
    if (printer == nullptr || (papplPrinterGetReasons(printer) & kFaultReasons) == 0 ||
        papplPrinterGetState(printer) == IPP_PSTATE_PROCESSING)
      return;
    target = TargetOf(printer);
  }
  // A connection of its own: the printer is not held while it is made.
  pappl_device_t *device = papplDeviceOpen(target.uri.c_str(), "status", nullptr, nullptr);
  if (device == nullptr)
    return;
  const std::optional<PrinterCondition> condition = Condition(target, device);
  papplDeviceClose(device);
  if (pappl_printer_t *printer = papplSystemFindPrinter(system, nullptr, printer_id, nullptr))
    Show(printer, condition ? *condition : PrinterCondition{});
}

bool DeliveryConfirmed(pappl_job_t *job, pappl_device_t *device) {
  papplDeviceFlush(device);
  pappl_printer_t *printer = papplJobGetPrinter(job);
  const int fd = DeviceConnection(device, papplPrinterGetDeviceURI(printer));
  if (fd < 0)
    return true; // a USB printer or a file takes each write whole
  // The bytes are delivered once the printer's end has acknowledged them;
  // a printer that closed the connection before it had read everything has
  // reset it. The last segment may wait for a delayed acknowledgement (40
  // ms and more once the printer has answered a query): it is not waited
  // for. A printer that stops reading (paused, out of labels in the middle
  // of a job) is waited for as long as it keeps the connection and the job
  // is not cancelled. PAPPL keeps the connection for the printer's next
  // job, so it stays open.
  int segment = 0;
  socklen_t size = sizeof segment;
  if (getsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &segment, &size) != 0)
    segment = 0;
  using Clock = std::chrono::steady_clock;
  int waiting = -1;
  auto moved = Clock::now();
  bool stalled = false;
  for (;;) {
    int error = 0, unacknowledged = 0;
    socklen_t length = sizeof error;
    if ((getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error != 0) ||
        ioctl(fd, SIOCOUTQ, &unacknowledged) != 0) {
      papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The printer's connection failed: %s",
                  std::strerror(error != 0 ? error : errno));
      return false;
    }
    if (unacknowledged <= segment)
      break;
    if (unacknowledged != waiting) {
      waiting = unacknowledged;
      moved = Clock::now();
    } else if (!stalled && Clock::now() - moved > std::chrono::seconds(kStallSeconds)) {
      stalled = true;
      papplLogJob(job, PAPPL_LOGLEVEL_WARN,
                  "The printer has stopped taking the label with %d bytes to go; the job ends "
                  "once it has taken them.",
                  unacknowledged);
      papplJobSetMessage(job, "The printer has stopped taking the label: waiting for it.");
    }
    if (papplJobIsCanceled(job))
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(stalled ? 100 : 1));
  }
  if (stalled)
    papplJobSetMessage(job, "Printing.");
  return true;
}

void ForgetPrinterStatus(int printer_id) {
  const std::lock_guard<std::mutex> lock(records_mutex);
  records.erase(printer_id);
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
