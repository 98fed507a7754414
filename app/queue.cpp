// The queue across restarts. PAPPL's state file has a line per job inside
// its printer's <Printer ...> block: `Job id="3" state="5" filename="..."`;
// a job not yet ended also has its settings in the spool, in a file named
// as its document with the extension "ipp".
#include "queue.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "printer_status.h"
#include "saved_queue.h"
#include "system.h"

namespace vellum_app {

QueueRepairs RepairSavedQueue(const std::string &state_path, const std::string &spool) {
  std::ifstream in(state_path, std::ios::binary);
  if (!in)
    return {};
  std::ostringstream text;
  text << in.rdbuf();
  std::string mended = text.str();
  bool changed = false;
  const QueueRepairs repairs = MendSavedState(mended, spool, &changed);
  if (changed)
    ReplaceFile(state_path, mended);
  return repairs;
}

namespace {

// The spool files of the jobs not yet ended: their documents and settings.
void KeepFilesOf(pappl_job_t *job, void *data) {
  auto *kept = static_cast<std::pair<std::set<std::string>, std::string> *>(data);
  if (const char *document = papplJobGetFilename(job))
    kept->first.insert(document);
  char settings[1024];
  const int fd = papplJobOpenFile(job, settings, sizeof settings, kept->second.c_str(), "ipp", "r");
  if (fd >= 0)
    close(fd);
  kept->first.insert(settings);
}

void KeepFilesOfPrinter(pappl_printer_t *printer, void *data) {
  papplPrinterIterateActiveJobs(printer, KeepFilesOf, data, 1, 0);
}

// Removes the spool's job files (p00001j000000001-name.ext, and a
// printer's own files such as its test page, p00001-name.ext) that belong
// to no job still to print.
void RemoveLeftovers(pappl_system_t *system, const std::string &spool) {
  std::pair<std::set<std::string>, std::string> kept{{}, spool};
  ForEachPrinter(system, [&kept](pappl_printer_t *printer) { KeepFilesOfPrinter(printer, &kept); });
  DIR *folder = opendir(spool.c_str());
  if (folder == nullptr)
    return;
  while (const dirent *entry = readdir(folder)) {
    const std::string name = entry->d_name;
    const bool job_file = name.size() > 7 && name[0] == 'p' &&
                          name.find_first_not_of("0123456789", 1) == 6 &&
                          (name[6] == 'j' || name[6] == '-');
    const std::string path = spool + "/" + name;
    if (job_file && kept.first.count(path) == 0 && unlink(path.c_str()) == 0)
      papplLog(system, PAPPL_LOGLEVEL_INFO, "Removed %s, a file of no job still to print.",
               path.c_str());
  }
  closedir(folder);
}

// The printers their owner paused, from PAPPL's events: pausing stops the
// printer with a "printer-stopped" event (a printer that does not answer
// is stopped without one), and resuming makes it idle.
std::mutex paused_mutex;
std::set<int> paused_printers;

void OnEvent(pappl_system_t * /*system*/, pappl_printer_t *printer, pappl_job_t * /*job*/,
             pappl_event_t event, void * /*data*/) {
  if (printer == nullptr || (event & PAPPL_EVENT_PRINTER_STATE_CHANGED) == 0)
    return;
  const std::lock_guard<std::mutex> lock(paused_mutex);
  if (event & PAPPL_EVENT_PRINTER_STOPPED)
    paused_printers.insert(papplPrinterGetID(printer));
  else if (papplPrinterGetState(printer) == IPP_PSTATE_IDLE)
    paused_printers.erase(papplPrinterGetID(printer));
}

std::set<int> PausedPrinters() {
  const std::lock_guard<std::mutex> lock(paused_mutex);
  return paused_printers;
}

// The jobs held here only to keep the order in which they were submitted:
// PAPPL 1.3.1 starts the newest of a printer's waiting jobs first (its list
// of active jobs runs from the highest job ID), so that labels queued
// while a printer was away, paused or out of labels would print backwards.
// All but the oldest waiting job are held, and released in turn.
std::mutex order_mutex;
std::set<std::pair<int, int>> held_for_order; // printer ID, job ID
std::atomic<bool> order_changed{false};       // since the state was last saved

} // namespace

void KeepJobOrder(pappl_printer_t *printer) {
  const int printer_id = papplPrinterGetID(printer);
  struct Waiting {
    pappl_job_t *job;
    int id;
    bool held;
  };
  std::vector<Waiting> waiting;
  const std::lock_guard<std::mutex> lock(order_mutex);
  std::pair<std::vector<Waiting> *, int> found{&waiting, printer_id};
  papplPrinterIterateActiveJobs(
      printer,
      [](pappl_job_t *job, void *data) {
        auto *f = static_cast<std::pair<std::vector<Waiting> *, int> *>(data);
        const int id = papplJobGetID(job);
        const bool ours = held_for_order.count({f->second, id}) != 0;
        if (papplJobGetState(job) == IPP_JSTATE_PENDING ||
            (papplJobGetState(job) == IPP_JSTATE_HELD && ours))
          f->first->push_back({job, id, papplJobGetState(job) == IPP_JSTATE_HELD});
      },
      &found, 1, 0);
  // Forget holds of jobs that have ended or were released by others.
  for (auto it = held_for_order.begin(); it != held_for_order.end();) {
    const bool still = it->first != printer_id ||
                       std::any_of(waiting.begin(), waiting.end(),
                                   [&](const Waiting &w) { return w.id == it->second && w.held; });
    it = still ? std::next(it) : held_for_order.erase(it);
  }
  if (waiting.empty())
    return;
  const int oldest =
      std::min_element(waiting.begin(), waiting.end(), [](const Waiting &a, const Waiting &b) {
        return a.id < b.id;
      })->id;
  for (const Waiting &w : waiting) {
    if (w.id == oldest && w.held) {
      held_for_order.erase({printer_id, w.id});
      papplJobRelease(w.job, nullptr);
      papplJobSetMessage(w.job, "Next to print.");
      order_changed = true;
    } else if (w.id != oldest && !w.held && papplJobHold(w.job, nullptr, "indefinite", 0)) {
      held_for_order.insert({printer_id, w.id});
      papplJobSetMessage(w.job, "Waiting for the jobs submitted before it.");
      order_changed = true;
    }
  }
}

namespace {

// A stop: SIGTERM or SIGINT. PAPPL's handling of these waits up to a
// minute for jobs it cannot print: the keeper stops the server instead,
// and PAPPL never sees the signal.
volatile std::sig_atomic_t stop_requested = 0;

void OnStopSignal(int /*sig*/) { stop_requested = 1; }

struct Keeper {
  pappl_system_t *system;
  std::function<void()> save, check;
  std::set<int> paused, loaded;
};

// Whoever ends the process holds `ending` to the end: the keeper at a
// stop, or PAPPL's main thread as it takes the server down. The keeper
// also holds it while it works, so that PAPPL never frees the printers
// under it; once PAPPL's main thread has it, the keeper waits for the end.
std::mutex ending;
std::atomic<bool> serving{false}; // the server's main loop has run
Keeper *the_keeper = nullptr;

[[noreturn]] void WaitForTheEnd() {
  for (;;)
    std::this_thread::sleep_for(std::chrono::seconds(1));
}

// PAPPL 1.3.1 starts a printer's next job when a job is submitted, ends or
// is released, not for the jobs it loads: a printer that had jobs loaded
// (and is not paused) is resumed, which starts them. Not one that prints a
// job already: PAPPL would start a second thread for the same waiting job
// when two such starts meet, and the next one follows its end anyway.
void StartLoadedJobs(pappl_printer_t *printer, const std::set<int> &loaded,
                     const std::set<int> &paused) {
  const int id = papplPrinterGetID(printer);
  if (loaded.count(id) != 0 && paused.count(id) == 0 &&
      papplPrinterGetState(printer) == IPP_PSTATE_IDLE)
    papplPrinterResume(printer);
}

constexpr int kShutdownGrace = 10; // seconds a label in progress may take to finish

// At a stop, with `ending` held: once no label is being sent (or after the
// grace), saves and ends the server.
[[noreturn]] void ShutDown(Keeper &keeper) {
  papplLog(keeper.system, PAPPL_LOGLEVEL_INFO,
           "Shutting down: a label being sent is finished, jobs still to print stay queued for "
           "the next start.");
  StopNewLabels();
  const auto stopping = std::chrono::steady_clock::now();
  while (LabelsInFlight() &&
         std::chrono::steady_clock::now() - stopping < std::chrono::seconds(kShutdownGrace))
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (LabelsInFlight())
    papplLog(keeper.system, PAPPL_LOGLEVEL_WARN,
             "Shutting down while a job is sent: it prints again, whole, at the next start.");
  keeper.save();
  papplLog(keeper.system, PAPPL_LOGLEVEL_INFO, "Saved the queue; the server ends.");
  std::fflush(nullptr);
  _exit(0);
}

// Whether a printer has jobs not yet ended.
bool JobsToPrint(pappl_system_t *system) {
  bool any = false;
  ForEachPrinter(system, [&any](pappl_printer_t *printer) {
    any = any || papplPrinterGetNumberOfActiveJobs(printer) > 0;
  });
  return any;
}

// One round of the keeper's work, with `ending` held.
void KeepOnce(Keeper &keeper, unsigned tenth) {
  // PAPPL's own shutdown (the `shutdown` sub-command, Shutdown-All-Printers)
  // ends the server within a second where no job waits; with jobs waiting
  // it would wait a minute for them.
  if (stop_requested != 0 || (papplSystemIsShutdown(keeper.system) && JobsToPrint(keeper.system)))
    ShutDown(keeper);
  if (tenth % 10 != 0)
    return;
  ForEachPrinter(keeper.system, KeepJobOrder);
  if (tenth == 0) {
    const std::set<int> paused = PausedPrinters(); // also those paused since the start
    ForEachPrinter(keeper.system, [&](pappl_printer_t *printer) {
      StartLoadedJobs(printer, keeper.loaded, paused);
    });
  }
  // The holds that keep the order are saved at once: PAPPL saves its
  // state for them only when something else changes.
  const std::set<int> paused = PausedPrinters();
  if (order_changed.exchange(false) || paused != keeper.paused) {
    keeper.paused = paused;
    keeper.save();
  }
  if (tenth % 50 == 0)
    keeper.check();
}

// The keeper's own thread: PAPPL runs timer callbacks with the system
// locked, where work that locks a printer could deadlock.
[[noreturn]] void Keep(Keeper *keeper) {
  for (unsigned tenth = 0;; ++tenth) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::lock_guard<std::mutex> lock(ending);
    if (!papplSystemIsRunning(keeper->system))
      break; // PAPPL's main thread takes the server down
    KeepOnce(*keeper, tenth);
  }
  WaitForTheEnd();
}

// Once the server runs (PAPPL installs its signal handlers then): ours
// take the place of PAPPL's, and the keeper's thread starts.
bool StartKeeping(pappl_system_t * /*system*/, void *data) {
  serving = true;
  struct sigaction ours {};
  ours.sa_handler = OnStopSignal;
  sigemptyset(&ours.sa_mask);
  sigaction(SIGTERM, &ours, nullptr);
  sigaction(SIGINT, &ours, nullptr);
  std::thread(Keep, static_cast<Keeper *>(data)).detach();
  return false;
}

} // namespace

void RestoreQueue(pappl_system_t *system, const QueueRepairs &repairs, const std::string &spool,
                  const std::string &queue_path) {
  for (const QueueRepairs::Job &repaired : repairs.jobs) {
    pappl_printer_t *printer =
        papplSystemFindPrinter(system, nullptr, repaired.printer_id, nullptr);
    pappl_job_t *job = printer != nullptr ? papplPrinterFindJob(printer, repaired.job_id) : nullptr;
    if (job == nullptr)
      continue;
    if (repaired.why.empty()) {
      papplLogJob(job, PAPPL_LOGLEVEL_WARN,
                  "The job was being printed when the server stopped: it prints again, whole.");
    } else {
      papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Aborted: %s", repaired.why.c_str());
      papplJobSetMessage(job, "Aborted: %s", repaired.why.c_str());
    }
  }
  RemoveLeftovers(system, spool);
  std::ifstream in(queue_path);
  std::string what;
  for (int printer_id = 0, job_id = 0; in >> what >> printer_id;) {
    pappl_printer_t *printer = papplSystemFindPrinter(system, nullptr, printer_id, nullptr);
    if (what == "paused" && printer != nullptr) {
      papplPrinterPause(printer);
      papplLogPrinter(printer, PAPPL_LOGLEVEL_INFO, "Paused, as when the server stopped.");
      const std::lock_guard<std::mutex> lock(paused_mutex);
      paused_printers.insert(printer_id);
    } else if (what == "held-for-order" && in >> job_id) {
      const std::lock_guard<std::mutex> lock(order_mutex);
      held_for_order.insert({printer_id, job_id});
    }
  }
}

bool SaveQueue(const std::string &queue_path) {
  std::string text;
  for (const int id : PausedPrinters())
    text += "paused " + std::to_string(id) + "\n";
  {
    const std::lock_guard<std::mutex> lock(order_mutex);
    for (const auto &[printer_id, job_id] : held_for_order)
      text += "held-for-order " + std::to_string(printer_id) + " " + std::to_string(job_id) + "\n";
  }
  return ReplaceFile(queue_path, text);
}

void KeepQueue(pappl_system_t *system, std::function<void()> save, std::function<void()> check) {
  papplSystemSetEventCallback(system, OnEvent, nullptr);
  auto *keeper = new Keeper{system, std::move(save), std::move(check), PausedPrinters(), {}};
  the_keeper = keeper;
  ForEachPrinter(system, [keeper](pappl_printer_t *printer) {
    if (papplPrinterGetNumberOfActiveJobs(printer) > 0)
      keeper->loaded.insert(papplPrinterGetID(printer));
  });
  // The keeper lives as long as the server.
  papplSystemAddTimerCallback(system, std::time(nullptr), 0, StartKeeping, keeper);
  // PAPPL saves its state as its main loop wakes after a change, which may
  // be half a minute later: it wakes every second, so that a job queued is
  // saved within one (and survives a power cut).
  papplSystemAddTimerCallback(
      system, std::time(nullptr) + 1, 1, [](pappl_system_t *, void *) { return true; }, nullptr);
}

bool ServerIsEnding(pappl_system_t *system) { return serving && !papplSystemIsRunning(system); }

void EndServer(pappl_system_t *system, bool save) {
  ending.lock(); // held to the end
  if (save)
    the_keeper->save();
  papplLog(system, PAPPL_LOGLEVEL_INFO, "The server ends.");
  std::fflush(nullptr);
  _exit(0);
}

void PrinterDeleted(pappl_printer_t *printer, pappl_pr_driver_data_t * /*data*/) {
  pappl_system_t *system = papplPrinterGetSystem(printer);
  if (ServerIsEnding(system))
    EndServer(system, false);
}

} // namespace vellum_app
