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
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#ifdef VELLUM_SANITIZE
#include <sanitizer/lsan_interface.h>
#endif

#include "pappl/patches.h"
#include "pappl/saved_state.h"
#include "printer_status.h"
#include "queue_file.h"
#include "system.h"
#include "whole_file.h"

namespace vellum_app {

QueueRepairs RepairSavedQueue(const std::string &state_path, const std::string &spool,
                              const QueueFile &queue) {
  return MendStateBeforeLoading(state_path, spool, queue.paused);
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

std::mutex queue_file_mutex; // one writer of the queue file at a time
std::string queue_file;      // its path, set before the events are followed

// A pause or resume reaches the queue file at once: a stop may follow it
// within the keeper's round, and PAPPL 1.4 ends its server without
// deleting its printers (so without the save at their deletion) where no
// setting changed.
void OnEvent(pappl_system_t * /*system*/, pappl_printer_t *printer, pappl_job_t * /*job*/,
             pappl_event_t event, void * /*data*/) {
  if (printer == nullptr || (event & PAPPL_EVENT_PRINTER_STATE_CHANGED) == 0)
    return;
  bool changed = false;
  {
    const std::lock_guard<std::mutex> lock(paused_mutex);
    if (event & PAPPL_EVENT_PRINTER_STOPPED)
      changed = paused_printers.insert(papplPrinterGetID(printer)).second;
    else if (papplPrinterGetState(printer) == IPP_PSTATE_IDLE)
      changed = paused_printers.erase(papplPrinterGetID(printer)) != 0;
  }
  if (changed && !queue_file.empty())
    SaveQueue(queue_file);
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

// The holds as the queue file takes them, copied whenever they change with
// order_mutex held. The queue file is also written from PAPPL's event
// callback, under PAPPL's locks, where order_mutex (held around PAPPL's
// calls) cannot be taken; nothing is locked while this one is held.
std::mutex snapshot_mutex;
std::set<std::pair<int, int>> held_snapshot;
struct HoldsSnapshot {
  ~HoldsSnapshot() {
    const std::lock_guard<std::mutex> lock(snapshot_mutex);
    held_snapshot = held_for_order;
  }
};

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
  const HoldsSnapshot snapshot;
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
  std::string spool, queue_path;
  std::function<void()> save, check;
  std::set<int> paused, loaded;
  // Printers deleted since the last round, whose holds the keeper forgets.
  std::mutex deleted_mutex;
  std::set<int> deleted;
};

// Whoever ends the process holds `ending` to the end: the stop, or PAPPL's
// main thread as it takes the server down. The keeper also holds it while
// it works, so that PAPPL never frees the printers under it; once PAPPL's
// main thread has it, the keeper waits for the end.
std::timed_mutex ending;
std::atomic<bool> serving{false}; // the server's main loop has run
std::thread::id main_thread;      // PAPPL's, which makes the system and runs its loop
Keeper *the_keeper = nullptr;

// Ends the process as it is, with `status`. Under the sanitizers, memory
// lost on the way is reported first: LeakSanitizer's own check at the end
// does not run for a process that ends this way.
[[noreturn]] void EndProcess(int status = 0) {
  std::fflush(nullptr);
#ifdef VELLUM_SANITIZE
  __lsan_do_leak_check();
#endif
  _exit(status);
}

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
// How long a stop waits for the keeper's round, and then for its save: a
// save waits for every printer's lock, which PAPPL holds for as long as it
// tries to connect to a printer (30 s where the printer does not answer).
constexpr std::chrono::seconds kRoundWait{1}, kSaveWait{2};

// Runs the save, waiting for it a few seconds at most; false when it had
// not ended by then (the state saved last, within a second of every change,
// stays, whole).
bool SaveWithin(const std::function<void()> &save, std::chrono::seconds wait) {
  struct Done {
    std::mutex mutex;
    std::condition_variable ended;
    bool saved = false;
  };
  const auto done = std::make_shared<Done>();
  std::thread([save, done] {
    save();
    const std::lock_guard<std::mutex> lock(done->mutex);
    done->saved = true;
    done->ended.notify_all();
  }).detach();
  std::unique_lock<std::mutex> lock(done->mutex);
  return done->ended.wait_for(lock, wait, [&done] { return done->saved; });
}

// At a stop: once no label is being sent (or after the grace), saves and
// ends the server, within a few seconds whatever PAPPL waits for.
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
  // Held to the end where it comes in time; a round that PAPPL holds up
  // does not hold up the stop.
  if (!ending.try_lock_for(kRoundWait))
    papplLog(keeper.system, PAPPL_LOGLEVEL_WARN, "The queue's keeper is held up by PAPPL.");
  if (SaveWithin(keeper.save, kSaveWait))
    papplLog(keeper.system, PAPPL_LOGLEVEL_INFO, "Saved the queue; the server ends.");
  else
    papplLog(keeper.system, PAPPL_LOGLEVEL_WARN,
             "PAPPL holds a printer (connecting to it): the state saved last stays; the server "
             "ends.");
  EndProcess();
}

// Removes the spool files of a printer's jobs (p00001j000000001-name.ext)
// and its own (p00001-name.ext).
void RemoveSpoolFiles(const std::string &spool, int printer_id) {
  char prefix[16];
  std::snprintf(prefix, sizeof prefix, "p%05d", printer_id);
  DIR *folder = opendir(spool.c_str());
  if (folder == nullptr)
    return;
  while (const dirent *entry = readdir(folder)) {
    const std::string name = entry->d_name;
    if (name.size() > 6 && name.compare(0, 6, prefix) == 0 && (name[6] == 'j' || name[6] == '-'))
      unlink((spool + "/" + name).c_str());
  }
  closedir(folder);
}

// Forgets the holds and loaded jobs of the printers deleted since the last
// round; true when there were any.
bool ForgetDeletedPrinters(Keeper &keeper) {
  std::set<int> deleted;
  {
    const std::lock_guard<std::mutex> lock(keeper.deleted_mutex);
    deleted.swap(keeper.deleted);
  }
  if (deleted.empty())
    return false;
  const std::lock_guard<std::mutex> lock(order_mutex);
  const HoldsSnapshot snapshot;
  for (auto it = held_for_order.begin(); it != held_for_order.end();)
    it = deleted.count(it->first) != 0 ? held_for_order.erase(it) : std::next(it);
  for (const int id : deleted)
    keeper.loaded.erase(id);
  return true;
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
  if (ForgetDeletedPrinters(keeper))
    order_changed = true;
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
}

// The keeper's own thread: PAPPL runs timer callbacks with the system
// locked, where work that locks a printer could deadlock.
[[noreturn]] void Keep(Keeper *keeper) {
  for (unsigned tenth = 0;; ++tenth) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::lock_guard<std::timed_mutex> lock(ending);
    if (!papplSystemIsRunning(keeper->system))
      break; // PAPPL's main thread takes the server down
    KeepOnce(*keeper, tenth);
  }
  WaitForTheEnd();
}

// The stop's own thread, which no round of the keeper holds up: a SIGTERM
// or SIGINT, or PAPPL's own shutdown (the `shutdown` sub-command,
// Shutdown-All-Printers) while jobs wait, which PAPPL would wait a minute
// for (1.3.1: for every job not yet ended; 1.4.9: for a job started on a
// printer that does not answer); where none waits, PAPPL ends the server
// itself within a second.
[[noreturn]] void AwaitStop(Keeper *keeper) {
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (stop_requested != 0 ||
        (papplSystemIsShutdown(keeper->system) && JobsToPrint(keeper->system)))
      ShutDown(*keeper);
  }
}

// The printers' checks, in a thread of their own: trying a printer that
// does not answer takes as long as its connection takes to fail.
// Between the checks, the memory that jobs and clients freed goes back to
// the system: the allocator keeps what each of PAPPL's many threads freed
// for that thread, so that a burst of clients would leave the server as
// large as at its peak (on a Raspberry Pi, memory the other processes
// lack).
[[noreturn]] void Check(Keeper *keeper) {
  for (;;) {
    std::this_thread::sleep_for(std::chrono::seconds(5));
    keeper->check();
    malloc_trim(0);
  }
}

// Once the server runs (PAPPL installs its signal handlers then): ours
// take the place of PAPPL's, and the keeper's threads start.
bool StartKeeping(pappl_system_t * /*system*/, void *data) {
  serving = true;
  struct sigaction ours {};
  ours.sa_handler = OnStopSignal;
  ours.sa_flags = SA_RESTART; // no thread's system call fails for the signal
  sigemptyset(&ours.sa_mask);
  sigaction(SIGTERM, &ours, nullptr);
  sigaction(SIGINT, &ours, nullptr);
  auto *keeper = static_cast<Keeper *>(data);
  std::thread(Keep, keeper).detach();
  std::thread(AwaitStop, keeper).detach();
  std::thread(Check, keeper).detach();
  return false;
}

} // namespace

void RestoreQueue(pappl_system_t *system, const QueueRepairs &repairs, const std::string &spool,
                  const QueueFile &queue) {
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
  for (const int printer_id : queue.paused) {
    pappl_printer_t *printer = papplSystemFindPrinter(system, nullptr, printer_id, nullptr);
    if (printer == nullptr)
      continue;
    papplPrinterPause(printer);
    papplLogPrinter(printer, PAPPL_LOGLEVEL_INFO, "Paused, as when the server stopped.");
    const std::lock_guard<std::mutex> lock(paused_mutex);
    paused_printers.insert(printer_id);
  }
  const std::lock_guard<std::mutex> lock(order_mutex);
  const HoldsSnapshot snapshot;
  held_for_order.insert(queue.held_for_order.begin(), queue.held_for_order.end());
}

bool SaveQueue(const std::string &queue_path) {
  const std::lock_guard<std::mutex> writing(queue_file_mutex);
  std::set<std::pair<int, int>> held;
  {
    const std::lock_guard<std::mutex> lock(snapshot_mutex);
    held = held_snapshot;
  }
  return WriteFileWhole(queue_path, QueueFileText(PausedPrinters(), held));
}

void KeepQueue(pappl_system_t *system, const std::string &spool, const std::string &queue_path,
               std::function<void()> save, std::function<void()> check) {
  main_thread = std::this_thread::get_id();
  queue_file = queue_path;
  papplSystemSetEventCallback(system, OnEvent, nullptr);
  auto *keeper = new Keeper{
      system, spool, queue_path, std::move(save), std::move(check), PausedPrinters(), {}, {}, {}};
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

bool ServerIsEnding(pappl_system_t *system) {
  return serving && std::this_thread::get_id() == main_thread && !papplSystemIsRunning(system);
}

void EndAfterMainloop(int status) {
  if (!serving || the_keeper == nullptr)
    return;
  (void)ending.try_lock_for(kRoundWait); // held to the end where it comes in time
  SaveQueue(the_keeper->queue_path);
  EndProcess(status);
}

void EndServer(pappl_system_t *system, bool save) {
  ending.lock(); // held to the end
  if (save)
    the_keeper->save();
  else
    SaveQueue(the_keeper->queue_path);
  papplLog(system, PAPPL_LOGLEVEL_INFO, "The server ends.");
  EndProcess();
}

namespace {

// Forgets a printer that is deleted while the server runs: its pause and
// its status at once, and the files of its jobs in the spool (PAPPL keeps
// the documents of jobs that had not ended); the keeper forgets its jobs'
// holds at its next round and saves a state without a trace of it.
void ForgetPrinter(int id) {
  {
    const std::lock_guard<std::mutex> lock(paused_mutex);
    paused_printers.erase(id);
  }
  ForgetPrinterStatus(id);
  if (the_keeper == nullptr)
    return;
  RemoveSpoolFiles(the_keeper->spool, id);
  const std::lock_guard<std::mutex> lock(the_keeper->deleted_mutex);
  the_keeper->deleted.insert(id);
}

} // namespace

void PrinterDeleted(pappl_printer_t *printer, pappl_pr_driver_data_t * /*data*/) {
  // PAPPL 1.3 calls this with the system's write lock held where a printer
  // is deleted while the server runs, so nothing here asks PAPPL about the
  // system. Its main thread deletes printers only as it takes the server
  // down, once its loop has ended.
  if (serving && std::this_thread::get_id() == main_thread)
    EndServer(papplPrinterGetSystem(printer), false);
  ForgetPrinterAttributes(printer);
  ForgetRefusedJobs(papplPrinterGetID(printer));
  ForgetPrinter(papplPrinterGetID(printer));
}

} // namespace vellum_app
