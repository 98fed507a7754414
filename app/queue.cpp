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
#include "system.h"

namespace vellum_app {

namespace {

// The options of a state file line after its name: key="value" pairs.
struct Options {
  int count = 0;
  cups_option_t *list = nullptr;
  explicit Options(const std::string &text) { count = cupsParseOptions(text.c_str(), 0, &list); }
  ~Options() { cupsFreeOptions(count, list); }
  Options(const Options &) = delete;
  Options &operator=(const Options &) = delete;
  const char *Get(const char *name) const { return cupsGetOption(name, count, list); }
  void Set(const char *name, const std::string &value) {
    count = cupsAddOption(name, value.c_str(), count, &list);
  }
  void Remove(const char *name) { count = cupsRemoveOption(name, count, &list); }
  // The line again, as PAPPL writes it.
  std::string Line(const std::string &name) const {
    std::string line = name;
    for (int i = 0; i < count; ++i) {
      line += std::string(" ") + list[i].name + "=\"";
      for (const char *c = list[i].value; *c != '\0'; ++c) {
        if (*c == '\\' || *c == '"')
          line += '\\';
        line += *c;
      }
      line += '"';
    }
    return line;
  }
};

// The file name PAPPL gives a job's files in the spool: its printer and
// job IDs and its name, lowercase letters, digits and '-' kept, any run of
// other characters one '_'.
std::string SpoolName(int printer_id, int job_id, const std::string &job_name) {
  std::string name = job_name.empty() ? "untitled" : job_name;
  const size_t slash = name.rfind('/');
  if (slash != std::string::npos && slash + 1 < name.size())
    name = name.substr(slash + 1);
  std::string kept;
  for (size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (std::isalnum(c) || c == '-') {
      kept += static_cast<char>(std::tolower(c));
    } else {
      kept += '_';
      while (i + 1 < name.size() && !std::isalnum(static_cast<unsigned char>(name[i + 1])) &&
             name[i + 1] != '-')
        ++i;
    }
  }
  char prefix[32];
  std::snprintf(prefix, sizeof prefix, "p%05dj%09d-", printer_id, job_id);
  return prefix + kept;
}

bool Readable(const std::string &path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  close(fd);
  return true;
}

// The file of a job's settings in the spool.
std::string SettingsPath(const Options &job, int printer_id, const std::string &spool) {
  const char *id = job.Get("id");
  return spool + "/" +
         SpoolName(printer_id, id != nullptr ? std::atoi(id) : 0,
                   job.Get("name") != nullptr ? job.Get("name") : "") +
         ".ipp";
}

// Why a job not yet ended cannot be restored, or "".
std::string Unrestorable(const Options &job, int printer_id, const std::string &spool) {
  const char *document = job.Get("filename");
  if (document == nullptr)
    return "its document had not come whole when the server stopped.";
  if (!Readable(document))
    return std::string("its document ") + document + " is " +
           (access(document, F_OK) == 0 ? "unreadable" : "gone") + " since the server stopped.";
  const std::string settings = SettingsPath(job, printer_id, spool);
  if (!Readable(settings))
    return "its settings file " + settings + " is gone since the server stopped.";
  return "";
}

// PAPPL 1.3.1 gives a job it loads these attributes anew and then reads
// the job's saved settings, which hold them too: each would be twice in
// the job's attributes, and in every answer about the job. They are
// dropped from the settings file before PAPPL reads it.
void DropAttributesMadeAgain(const std::string &settings) {
  int fd = open(settings.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return;
  ipp_t *ipp = ippNew();
  const bool read = ippReadFile(fd, ipp) == IPP_STATE_DATA;
  close(fd);
  bool dropped = false;
  for (const char *name : {"job-id", "job-uri", "job-uuid", "job-printer-uri", "job-name",
                           "job-originating-user-name"}) {
    while (ipp_attribute_t *attr = read ? ippFindAttribute(ipp, name, IPP_TAG_ZERO) : nullptr) {
      ippDeleteAttribute(ipp, attr);
      dropped = true;
    }
  }
  if (dropped) {
    const std::string temporary = settings + ".new";
    fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const bool written = fd >= 0 && ippWriteFile(fd, ipp) == IPP_STATE_DATA;
    if (fd >= 0)
      close(fd);
    if (!written || std::rename(temporary.c_str(), settings.c_str()) != 0)
      unlink(temporary.c_str());
  }
  ippDelete(ipp);
}

// The printers their owner had paused, from the queue file.
std::set<int> SavedPausedPrinters(const std::string &queue_path) {
  std::set<int> paused;
  std::ifstream in(queue_path);
  std::string line;
  while (std::getline(in, line)) {
    int printer_id = 0;
    if (std::sscanf(line.c_str(), "paused %d", &printer_id) == 1)
      paused.insert(printer_id);
  }
  return paused;
}

// PAPPL 1.4.0 to 1.4.9 keep a printer's state in its <Printer ...> line and
// pause a printer saved as stopped when they load it. But they also stop a
// printer that cannot be reached while a job waits for it, so that a
// queue saved while its printer was away would stay paused at every start
// and never print. The printers their owner paused are in the queue file;
// the others lose the saved state. (PAPPL 1.3.1 saves no printer state.)
std::string MendPrinterLine(const std::string &line, const std::set<int> &paused) {
#if VELLUM_PAPPL_VERSION >= 10400
  Options printer(line.substr(9, line.size() - 10));
  const char *id = printer.Get("id");
  if (printer.Get("state") == nullptr || (id != nullptr && paused.count(std::atoi(id)) != 0))
    return line;
  printer.Remove("state");
  return "<" + printer.Line("Printer") + ">";
#else
  (void)paused;
  return line;
#endif
}

} // namespace

QueueRepairs RepairSavedQueue(const std::string &state_path, const std::string &spool,
                              const std::string &queue_path) {
  const std::set<int> paused = SavedPausedPrinters(queue_path);
  QueueRepairs repairs;
  std::ifstream in(state_path, std::ios::binary);
  if (!in)
    return repairs;
  std::string text, line;
  int printer_id = 0;
  bool changed = false;
  while (std::getline(in, line)) {
    if (line.rfind("<Printer ", 0) == 0) {
      const Options printer(line.substr(9, line.size() - 10));
      printer_id = printer.Get("id") != nullptr ? std::atoi(printer.Get("id")) : 0;
      const std::string mended = MendPrinterLine(line, paused);
      changed = changed || mended != line;
      line = mended;
    } else if (line.rfind("Job ", 0) == 0) {
      Options job(line.substr(4));
      const int state = job.Get("state") != nullptr ? std::atoi(job.Get("state")) : 0;
      const int id = job.Get("id") != nullptr ? std::atoi(job.Get("id")) : 0;
      if (state >= IPP_JSTATE_PENDING && state < IPP_JSTATE_CANCELED) {
        const std::string why = Unrestorable(job, printer_id, spool);
        if (!why.empty()) {
          job.Set("state", std::to_string(IPP_JSTATE_ABORTED));
          job.Set("completed", std::to_string(std::time(nullptr)));
          repairs.jobs.push_back({printer_id, id, why});
        } else {
          DropAttributesMadeAgain(SettingsPath(job, printer_id, spool));
          if (state == IPP_JSTATE_PROCESSING || state == IPP_JSTATE_STOPPED) {
            job.Set("state", std::to_string(IPP_JSTATE_PENDING));
            job.Remove("processing");
            repairs.jobs.push_back({printer_id, id, ""});
          }
        }
        const std::string mended = job.Line("Job");
        changed = changed || mended != line;
        line = mended;
      }
    }
    text += line + "\n";
  }
  if (changed)
    ReplaceFile(state_path, text);
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
  // it would wait a minute for them (1.3.1: for every job not yet ended;
  // 1.4.9: for a job started on a printer that does not answer).
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
