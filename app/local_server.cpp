// The sub-commands find the server on the socket PAPPL's main loop uses
// (its own user's, then root's: the system service's), or say that none
// answers; they never start one of their own.
#include "local_server.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <pappl/pappl.h>

namespace vellum_app {

namespace {

// How long a sub-command waits for a server that is starting.
constexpr auto kStartWait = std::chrono::seconds(10);

// The sub-commands that talk to the local server, which PAPPL would start
// when none answers, and whether a printer URI (-u) sends them elsewhere.
struct ServerCommand {
  const char *name;
  bool takes_uri;
};
constexpr ServerCommand kServerCommands[] = {
    {"add", true},      {"autoadd", false},  {"cancel", true}, {"default", true},
    {"delete", true},   {"jobs", true},      {"modify", true}, {"options", true},
    {"pause", true},    {"printers", false}, {"resume", true}, {"submit", true},
#if VELLUM_PAPPL_DEVICES_ASK_SERVER
    {"devices", false}, // PAPPL 1.4 asks the server for the devices
#endif
};
// PAPPL's sub-commands that need no server or never start one.
constexpr const char *kOtherCommands[] = {"devices", "drivers", "server", "shutdown", "status"};

bool IsSubCommand(const std::string &word) {
  for (const ServerCommand &command : kServerCommands)
    if (word == command.name)
      return true;
  for (const char *name : kOtherCommands)
    if (word == name)
      return true;
  return false;
}

// What the command line asks for, read as PAPPL's main loop reads it.
struct CommandLine {
  std::string sub_command = "submit";
  bool printer_uri = false;
};

// Whether -o's options name a printer URI.
bool NamesPrinterUri(const char *options) {
  cups_option_t *list = nullptr;
  const int count = cupsParseOptions(options, 0, &list);
  const bool named = cupsGetOption("printer-uri", count, list) != nullptr;
  cupsFreeOptions(count, list);
  return named;
}

// Nothing where PAPPL ends before it connects (--help, --version, a
// command line it refuses): it says so itself.
std::optional<CommandLine> Read(int argc, char *argv[]) {
  CommandLine line;
  bool named = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "--version")
      return std::nullopt;
    if (arg == "--") {
      ++i; // a file follows
      continue;
    }
    if (arg.rfind("--", 0) == 0)
      return std::nullopt;
    if (arg.size() > 1 && arg[0] == '-') {
      // PAPPL takes the option's letter once for every letter of the word.
      const char letter = arg[1];
      for (size_t n = 1; n < arg.size(); ++n) {
        if (letter == 'a')
          continue;
        if (std::strchr("dhjmnotuv", letter) == nullptr || ++i >= argc)
          return std::nullopt;
        if (letter == 'u' || (letter == 'o' && NamesPrinterUri(argv[i])))
          line.printer_uri = true;
      }
      continue;
    }
    if (arg == "-" && ++i >= argc)
      break;
    if (IsSubCommand(argv[i])) {
      if (named)
        return std::nullopt;
      line.sub_command = argv[i];
      named = true;
    }
  }
  return line;
}

// Whether the sub-command talks to the local server.
bool NeedsServer(const CommandLine &line) {
  for (const ServerCommand &command : kServerCommands)
    if (line.sub_command == command.name)
      return !(command.takes_uri && line.printer_uri);
  return false;
}

// The socket of the server of user `uid`, as PAPPL's main loop names it.
std::string SocketPath(const std::string &base_name, uid_t uid) {
  if (uid != 0)
    return std::string(papplGetTempDir()) + "/" + base_name + std::to_string(uid) + ".sock";
  if (const char *snap = std::getenv("SNAP_COMMON"))
    return std::string(snap) + "/" + base_name + ".sock";
  return std::string(VELLUM_PAPPL_SOCKDIR) + "/" + base_name + ".sock";
}

enum class Found { kServer, kStarting, kNone };

// The folder of the file a link points to.
std::string TargetFolder(const std::string &link) {
  std::vector<char> target(4096);
  const ssize_t length = readlink(link.c_str(), target.data(), target.size() - 1);
  if (length <= 0)
    return "";
  std::string path(target.data(), static_cast<size_t>(length));
  if (path[0] != '/')
    path = link.substr(0, link.rfind('/') + 1) + path;
  return path.substr(0, path.rfind('/') + 1);
}

// Whether a server answers on the socket, or is starting: its socket is
// there but refuses (a server stopping, or starting again), or the link
// to it leads into a folder without it yet (the runtime folder that
// systemd makes as it starts the service and removes when it stops).
Found Probe(const std::string &path, std::string *why) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    *why = "the path is too long";
    return Found::kNone;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *why = std::strerror(errno);
    return Found::kNone;
  }
  const int connected = connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
  const int error = errno;
  close(fd);
  if (connected == 0)
    return Found::kServer;
  *why = std::strerror(error);
  if (error == ECONNREFUSED)
    return Found::kStarting;
  struct stat info {};
  const std::string folder = TargetFolder(path);
  if (error == ENOENT && !folder.empty() && stat(folder.c_str(), &info) == 0 &&
      S_ISDIR(info.st_mode))
    return Found::kStarting;
  return Found::kNone;
}

} // namespace

std::optional<int> RefuseWithoutServer(int argc, char *argv[]) {
  const std::optional<CommandLine> line = Read(argc, argv);
  if (!line || !NeedsServer(*line))
    return std::nullopt;
  const std::string program = argv[0];
  const std::string base_name = program.substr(program.rfind('/') + 1);
  std::vector<std::string> sockets = {SocketPath(base_name, getuid())};
  if (getuid() != 0)
    sockets.push_back(SocketPath(base_name, 0));
  std::vector<std::string> why(sockets.size());
  const auto end = std::chrono::steady_clock::now() + kStartWait;
  for (;;) {
    bool starting = false;
    for (size_t i = 0; i < sockets.size(); ++i) {
      const Found found = Probe(sockets[i], &why[i]);
      if (found == Found::kServer)
        return std::nullopt;
      starting = starting || found == Found::kStarting;
    }
    if (!starting || std::chrono::steady_clock::now() > end)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::string tried;
  for (size_t i = 0; i < sockets.size(); ++i)
    tried += (i > 0 ? ", nor on " : "") + sockets[i] + " (" + why[i] + ")";
  std::fprintf(stderr,
               "%s: No server is running: none answers on %s. Start the system's with "
               "\"systemctl start %s\", or one for yourself with \"%s server\".\n",
               base_name.c_str(), tried.c_str(), base_name.c_str(), base_name.c_str());
  return 1;
}

} // namespace vellum_app
