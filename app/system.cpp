// The system object of the server: made as PAPPL's standard main loop makes
// its own (the same server options, spool and log defaults), plus the PDF
// filter, which PAPPL takes only before the system runs.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "document_type.h"
#include "models.h"
#include "pappl/patches.h"
#include "print.h"
#include "queue.h"
#include "status.h"
#include "system.h"
#include "web.h"
#include "whole_file.h"

namespace vellum_app {

namespace {

constexpr char kName[] = "vellum-printer-app";

// What the log and every page say where PAPPL does not call the guards.
constexpr char kGuardedByPassword[] =
    "This PAPPL binds its own authorisation calls; its settings ask for the web password (this "
    "machine's browser signs in by itself), and their values are checked when they are saved.";
constexpr char kServedHereOnly[] =
    "This PAPPL binds its own authorisation calls; settings are served to this machine only.";
constexpr char kGuardedByAuthService[] =
    "This PAPPL binds its own authorisation calls; its authentication service guards the "
    "settings, whose values are checked when they are saved.";

pappl_loglevel_t LogLevel(const char *value) {
  if (value == nullptr)
    return PAPPL_LOGLEVEL_WARN;
  const struct {
    const char *name;
    pappl_loglevel_t level;
  } levels[] = {{"fatal", PAPPL_LOGLEVEL_FATAL},
                {"error", PAPPL_LOGLEVEL_ERROR},
                {"warn", PAPPL_LOGLEVEL_WARN},
                {"info", PAPPL_LOGLEVEL_INFO},
                {"debug", PAPPL_LOGLEVEL_DEBUG}};
  for (const auto &level : levels)
    if (std::strcmp(value, level.name) == 0)
      return level.level;
  return PAPPL_LOGLEVEL_WARN;
}

// The web interface for every printer, plus what "server-options" turns on
// (web-remote lets other machines change settings).
pappl_soptions_t ServerOptions(const char *value) {
  pappl_soptions_t options = PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE;
  if (value == nullptr)
    return options;
  const struct {
    const char *name;
    pappl_soptions_t bit;
  } names[] = {
      {"dnssd-host", PAPPL_SOPTIONS_DNSSD_HOST},     {"raw-socket", PAPPL_SOPTIONS_RAW_SOCKET},
      {"usb-printer", PAPPL_SOPTIONS_USB_PRINTER},   {"web-log", PAPPL_SOPTIONS_WEB_LOG},
      {"web-network", PAPPL_SOPTIONS_WEB_NETWORK},   {"web-remote", PAPPL_SOPTIONS_WEB_REMOTE},
      {"web-security", PAPPL_SOPTIONS_WEB_SECURITY}, {"no-tls", PAPPL_SOPTIONS_NO_TLS}};
  const std::string list = std::string(",") + value + ",";
  for (const auto &n : names)
    if (list.find(std::string(",") + n.name + ",") != std::string::npos)
      options |= n.bit;
  if (list.find(",no-multi-queue,") != std::string::npos)
    options &= ~static_cast<pappl_soptions_t>(PAPPL_SOPTIONS_MULTI_QUEUE);
  if (list.find(",no-web-interface,") != std::string::npos)
    options &= ~static_cast<pappl_soptions_t>(PAPPL_SOPTIONS_WEB_INTERFACE);
  return options;
}

// The first folder of one that systemd gives the service (a list
// separated by colons), or "" outside a service.
std::string ServiceFolder(const char *variable) {
  const char *value = std::getenv(variable);
  const std::string list = value != nullptr ? value : "";
  return list.substr(0, list.find(':'));
}

// The spool folder when none is given: beside the state in SNAP_COMMON,
// in the service's state folder, /var/spool for root, else the user's own.
std::string DefaultSpool() {
  if (const char *snap = std::getenv("SNAP_COMMON"))
    return std::string(snap) + "/" + kName + ".d";
  if (const std::string state = ServiceFolder("STATE_DIRECTORY"); !state.empty())
    return state + "/spool";
  if (getuid() == 0)
    return std::string("/var/spool/") + kName;
  if (const char *home = std::getenv("HOME"))
    return std::string(home) + "/.config/" + kName + ".d";
  const char *tmp = std::getenv("TMPDIR");
  return std::string(tmp != nullptr ? tmp : "/tmp") + "/" + kName + std::to_string(getuid()) + ".d";
}

// Where the server keeps its state: SNAP_COMMON when set, the state folder
// systemd makes for the service (which runs as a user of its own), and
// else where PAPPL's main loop keeps it: /var/lib for root, the user's
// configuration folder.
std::string StatePath() {
  const std::string file = std::string(kName) + ".state";
  if (const char *snap = std::getenv("SNAP_COMMON"))
    return std::string(snap) + "/" + file;
  if (const std::string state = ServiceFolder("STATE_DIRECTORY"); !state.empty())
    return state + "/" + file;
  if (getuid() == 0)
    return "/var/lib/" + file;
  if (const char *config = std::getenv("XDG_CONFIG_HOME"))
    return std::string(config) + "/" + file;
  if (const char *home = std::getenv("HOME"))
    return std::string(home) + "/.config/" + file;
  return "/tmp/" + std::string(kName) + std::to_string(getuid()) + ".state";
}

// What PAPPL's state leaves out of the queue (paused printers, the order
// of waiting jobs) is kept beside it.
std::string QueuePath(const std::string &state) { return state + ".queue"; }

// Saves the state and what it leaves out of the queue, then the speeds.
bool SaveState(pappl_system_t *system, void *data) {
  // PAPPL's main loop and the queue's keeper both save.
  static std::mutex saving;
  const std::lock_guard<std::mutex> lock(saving);
  const auto *state = static_cast<const std::string *>(data);
  KeepSettingsValid(system);
  // PAPPL writes the file in place and leaves it unflushed: a process
  // killed or a power cut while it writes would leave half a state.
  const bool saved = WriteFileWhole(*state,
                                    [system](const std::string &temporary) {
                                      return papplSystemSaveState(system, temporary.c_str());
                                    }) &&
                     SaveQueue(QueuePath(*state));
  return SaveSpeeds(system, *state) && saved;
}

// PAPPL's save, as its main loop wakes after a change and once more as it
// takes the server down.
bool SaveOnChange(pappl_system_t *system, void *data) {
  if (ServerIsEnding(system))
    EndServer(system, true);
  return SaveState(system, data);
}

// Whether this process may keep the state: one server keeps it, and
// another process (the drivers sub-command, a second server on the same
// state) must neither mend it nor clear the spool of jobs it does not
// know. The lock lasts as long as the process (and is no child's).
bool OwnState(const std::string &state) {
  const int fd = open((state + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0)
    return true; // where no lock can be made, no state can be saved either
  if (flock(fd, LOCK_EX | LOCK_NB) == 0)
    return true;
  close(fd);
  return false;
}

// Loads the state (the printers, their settings and their queues) and the
// speeds, and saves them whenever they change.
void KeepState(pappl_system_t *system, const std::string &spool) {
  static const std::string state = StatePath();
  if (!OwnState(state)) {
    papplLog(system, PAPPL_LOGLEVEL_WARN,
             "The state in %s is kept by a server already running: this process neither "
             "loads nor changes it.",
             state.c_str());
    // Else PAPPL's main loop would load and save it.
    papplSystemSetSaveCallback(
        system, [](pappl_system_t *, void *) { return true; }, nullptr);
    return;
  }
  const QueueFile queue = ReadQueueFile(QueuePath(state));
  const QueueRepairs repairs = RepairSavedQueue(state, spool, queue);
  papplSystemLoadState(system, state.c_str());
  RestoreSpeeds(system, state);
  KeepSettingsValid(system);
  RestoreQueue(system, repairs, spool, queue);
  papplSystemSetSaveCallback(system, SaveOnChange, const_cast<std::string *>(&state));
  KeepQueue(
      system, spool, QueuePath(state),
      [system] { SaveState(system, const_cast<std::string *>(&state)); },
      [system] { CheckPrinters(system); });
}

// Makes the folders above `path` that are missing; false, having said which
// one, when one cannot be made.
bool MakeParents(const std::string &path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    const std::string folder = path.substr(0, slash);
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
      std::fprintf(stderr, "%s: cannot make the folder %s: %s\n", kName, folder.c_str(),
                   std::strerror(errno));
      return false;
    }
  }
  return true;
}

} // namespace

void ForEachPrinter(pappl_system_t *system, const std::function<void(pappl_printer_t *)> &each) {
  std::vector<int> ids;
  papplSystemIteratePrinters(
      system,
      [](pappl_printer_t *printer, void *data) {
        static_cast<std::vector<int> *>(data)->push_back(papplPrinterGetID(printer));
      },
      &ids);
  // Each printer is looked up again just before its turn: one deleted
  // meanwhile is skipped rather than used after PAPPL freed it.
  for (const int id : ids)
    if (pappl_printer_t *printer = papplSystemFindPrinter(system, nullptr, id, nullptr))
      each(printer);
}

pappl_system_t *CreateSystem(int num_options, cups_option_t *options, void * /*data*/) {
  const auto option = [num_options, options](const char *name) {
    return cupsGetOption(name, num_options, options);
  };
  const char *port_text = option("server-port");
  const int port = port_text != nullptr ? std::atoi(port_text) : 0;
  const char *spool = option("spool-directory");
  const std::string spool_dir = spool != nullptr ? spool : DefaultSpool();
  // On a first run the folders of the default spool and of the state may
  // not exist yet (a user's ~/.config).
  if ((spool == nullptr && !MakeParents(spool_dir)) || !MakeParents(StatePath()))
    return nullptr;
  const char *log_file = option("log-file");
  // The guards of the settings hold only while PAPPL calls them. Where it
  // does not and no authentication service (PAM) stands in for them,
  // PAPPL's web password guards the settings, and other machines go on
  // printing; where no password can be made, the server fails closed: it
  // serves this machine only.
  const std::vector<std::string> unguarded = GuardsNotInForce();
  const bool by_password = !unguarded.empty() && option("auth-service") == nullptr;
  const std::string password = by_password ? NewWebPassword() : "";
  const bool closed = by_password && password.empty();
  pappl_soptions_t soptions = ServerOptions(option("server-options"));
  if (closed)
    soptions &= ~static_cast<pappl_soptions_t>(PAPPL_SOPTIONS_WEB_REMOTE);
  pappl_system_t *system =
      papplSystemCreate(soptions, kName, port, "_print,_universal", spool_dir.c_str(),
                        log_file != nullptr ? log_file : "-", LogLevel(option("log-level")),
                        option("auth-service"), false);
  if (system == nullptr)
    return nullptr;
  if (!KeepAbortsFromLockingTheSystem(system))
    papplLog(system, PAPPL_LOGLEVEL_WARN,
             "This libpappl does not show _papplJobCopyDocumentData: a job aborted while its "
             "document arrives may lock the server.");
  if (!StartJobsOnce())
    papplLog(system, PAPPL_LOGLEVEL_WARN,
             "This libpappl starts its jobs itself: jobs submitted at the same moment may print "
             "twice or at once.");
  std::string notice;
  if (!unguarded.empty()) {
    notice = closed ? kServedHereOnly : by_password ? kGuardedByPassword : kGuardedByAuthService;
    std::string names;
    for (const std::string &name : unguarded)
      names += (names.empty() ? "" : ", ") + name;
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "%s (PAPPL calls its own %s.)", notice.c_str(),
             names.c_str());
  }
  // A private server (started for a sub-command) listens on its socket only.
  const char *private_server = option("private-server");
  if (private_server == nullptr || std::strcmp(private_server, "true") != 0)
    papplSystemAddListeners(system, closed ? "localhost" : option("listen-hostname"));
  // The service (a user of its own, with a /tmp of its own) listens in the
  // runtime folder systemd makes for it; the sub-commands reach it there
  // through the link where PAPPL looks for a root server's socket.
  if (const std::string runtime = ServiceFolder("RUNTIME_DIRECTORY"); !runtime.empty())
    papplSystemAddListeners(system, (runtime + "/" + kName + ".sock").c_str());
  if (const char *group = option("admin-group"))
    papplSystemSetAdminGroup(system, group);

  SetUpWebPages(system, notice);
  pappl_version_t version{};
  std::strncpy(version.name, kName, sizeof version.name - 1);
  std::strncpy(version.sversion, VELLUM_VERSION, sizeof version.sversion - 1);
  sscanf(VELLUM_VERSION, "%hu.%hu.%hu", &version.version[0], &version.version[1],
         &version.version[2]);
  papplSystemSetVersions(system, 1, &version);

  papplSystemSetPrinterDrivers(system, kModelCount, Drivers(), AutoAdd, PrinterCreated,
                               DriverCallback, nullptr);
  // The filters before the saved printers: PAPPL lists a printer's formats
  // from the filters there are as it creates the printer, and a printer
  // loaded before them took no PDF after a restart.
  papplSystemAddMIMEFilter(system, "application/pdf", "image/pwg-raster", PrintPdf, nullptr);
  // CUPS sends PDF to a printer that takes "application/vnd.cups-pdf" as it
  // is, as it does to another CUPS server, instead of first putting each
  // page on the queue's paper size. That paper size is wrong for label
  // printers: CUPS names the sizes of a printer without margins
  // "4x6.Borderless" but its default "4x6", which names none of them, so
  // its PDF filter fell back to US letter and the label printed at 47 %.
  // The PDF is laid out here instead, as every other client's is.
  papplSystemAddMIMEFilter(system, "application/vnd.cups-pdf", "image/pwg-raster", PrintPdf,
                           nullptr);
  // PNG and JPEG are read here, not by PAPPL, whose filters come first for
  // image/pwg-raster: these, to the printers' own formats, come before them.
  for (const char *format : {kZplFormat, kTsplFormat}) {
    papplSystemAddMIMEFilter(system, "image/png", format, PrintPng, nullptr);
    papplSystemAddMIMEFilter(system, "image/jpeg", format, PrintJpeg, nullptr);
  }
  papplSystemSetMIMECallback(system, TypeDocument, nullptr);
  KeepState(system, spool_dir);
  if (by_password && !closed)
    GuardSettingsWithPassword(system, (soptions & PAPPL_SOPTIONS_WEB_REMOTE) != 0, password);
  return system;
}

} // namespace vellum_app
