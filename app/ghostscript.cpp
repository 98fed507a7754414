// Ghostscript processes: started with posix_spawn on two pipes, and a few
// started ahead for the next jobs.
#include "ghostscript.h"

#include <algorithm>
#include <cerrno>
#include <mutex>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace vellum_app {

bool StartGhostscript(const std::vector<std::string> &args, Ghostscript *gs) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0)
    return false;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char *> argv;
  for (const std::string &arg : args)
    argv.push_back(const_cast<char *>(arg.c_str()));
  argv.push_back(nullptr);
  const int spawned = posix_spawnp(&gs->pid, "gs", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  if (spawned != 0) {
    close(in[1]);
    close(out[0]);
    errno = spawned;
    return false;
  }
  gs->args = args;
  gs->in = in[1];
  gs->out = out[0];
  return true;
}

namespace {

// Ghostscripts started ahead, one per command line (the printer's
// resolution and the label size); a few are kept, for printers with other
// labels.
std::mutex warm_mutex;
std::vector<Ghostscript> warm;
constexpr size_t kWarmMost = 4;

// Ends a Ghostscript that was never given a PDF: with its input closed it
// has nothing to print and exits.
void Dismiss(Ghostscript &gs) {
  close(gs.in);
  close(gs.out);
  while (waitpid(gs.pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

} // namespace

bool TakeGhostscript(const std::vector<std::string> &args, Ghostscript *gs) {
  const std::lock_guard<std::mutex> lock(warm_mutex);
  const auto found = std::find_if(warm.begin(), warm.end(),
                                  [&args](const Ghostscript &w) { return w.args == args; });
  bool taken = false;
  if (found != warm.end()) {
    *gs = *found;
    warm.erase(found);
    taken = true;
  } else {
    taken = StartGhostscript(args, gs);
  }
  if (warm.size() >= kWarmMost) {
    Dismiss(warm.front());
    warm.erase(warm.begin());
  }
  Ghostscript next;
  if (StartGhostscript(args, &next))
    warm.push_back(next);
  return taken;
}

namespace {

// Writes all of the data; false when it cannot.
bool WriteAll(int to, const char *data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(to, data, size);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

} // namespace

bool SendFile(const char *path, int to) {
  const int from = open(path, O_RDONLY | O_CLOEXEC);
  bool sent = from >= 0;
  char data[65536];
  ssize_t got = 0;
  while (sent && (got = read(from, data, sizeof data)) > 0)
    sent = WriteAll(to, data, static_cast<size_t>(got));
  if (from >= 0)
    close(from);
  close(to);
  return sent && got == 0;
}

bool SendText(const std::string &text, int to) {
  const bool sent = WriteAll(to, text.data(), text.size());
  close(to);
  return sent;
}

std::string ReadAll(int from) {
  std::string text;
  char data[4096];
  ssize_t got = 0;
  while ((got = read(from, data, sizeof data)) > 0 || (got < 0 && errno == EINTR))
    text.append(data, static_cast<size_t>(std::max<ssize_t>(got, 0)));
  close(from);
  return text;
}

bool EndedWell(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace vellum_app
