// Ghostscript processes: started with posix_spawn on two pipes, and a few
// started ahead for the next jobs.
#include "ghostscript.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <mutex>

#include <fcntl.h>
#include <poll.h>
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
  // One that has ended meanwhile (killed, or short of memory) is replaced.
  for (auto w = warm.begin(); w != warm.end();) {
    if (waitpid(w->pid, nullptr, WNOHANG) == 0) {
      ++w;
      continue;
    }
    close(w->in);
    close(w->out);
    w = warm.erase(w);
  }
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

using Clock = std::chrono::steady_clock;

// Waits until `fd` is ready for `events` within the allowance, which runs
// down meanwhile; false once it is used up (or on a failure).
bool Await(int fd, short events, TimeAllowance &time) {
  while (!time.used_up) {
    const auto start = Clock::now();
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(time.left).count();
    pollfd ready{fd, events, 0};
    const int got = poll(&ready, 1, static_cast<int>(std::clamp<long long>(left, 0, 60000)));
    time.left -= Clock::now() - start;
    if (got > 0)
      return true;
    if (got < 0 && errno != EINTR)
      return false;
    if (got == 0 && time.left <= Clock::duration::zero())
      time.used_up = true;
  }
  return false;
}

// Writes all of the data within the allowance; false when it cannot.
bool WriteAll(int to, const char *data, size_t size, TimeAllowance &time) {
  while (size > 0) {
    if (!Await(to, POLLOUT, time))
      return false;
    const ssize_t n = write(to, data, size);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
      continue;
    if (n <= 0)
      return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Ghostscript's input, made not to block: a write that cannot go on
// returns at once, so that the allowance holds.
int Input(const Ghostscript &gs) {
  fcntl(gs.in, F_SETFL, fcntl(gs.in, F_GETFL) | O_NONBLOCK);
  return gs.in;
}

void CloseInput(Ghostscript &gs) {
  close(gs.in);
  gs.in = -1;
}

} // namespace

bool SendFile(const char *path, Ghostscript &gs, TimeAllowance &time) {
  const int from = open(path, O_RDONLY | O_CLOEXEC);
  bool sent = from >= 0;
  char data[65536];
  ssize_t got = 0;
  while (sent && (got = read(from, data, sizeof data)) > 0)
    sent = WriteAll(Input(gs), data, static_cast<size_t>(got), time);
  if (from >= 0)
    close(from);
  CloseInput(gs);
  return sent && got == 0;
}

bool SendText(const std::string &text, Ghostscript &gs, TimeAllowance &time) {
  const bool sent = WriteAll(Input(gs), text.data(), text.size(), time);
  CloseInput(gs);
  return sent;
}

ssize_t ReadOutput(Ghostscript &gs, TimeAllowance &time, void *data, size_t size) {
  for (;;) {
    if (!Await(gs.out, POLLIN, time))
      return -1;
    const ssize_t got = read(gs.out, data, size);
    if (got >= 0 || errno != EINTR)
      return got;
  }
}

std::optional<std::string> ReadAll(Ghostscript &gs, TimeAllowance &time, size_t most) {
  std::string text;
  char data[4096];
  ssize_t got = 0;
  while ((got = ReadOutput(gs, time, data, sizeof data)) > 0 && text.size() <= most)
    text.append(data, static_cast<size_t>(got));
  if (got != 0)
    return std::nullopt;
  return text;
}

bool EndGhostscript(Ghostscript &gs, bool whole) {
  for (int *fd : {&gs.in, &gs.out})
    if (*fd >= 0) {
      close(*fd);
      *fd = -1;
    }
  if (!whole)
    kill(gs.pid, SIGKILL);
  int status = 0;
  while (waitpid(gs.pid, &status, 0) < 0 && errno == EINTR) {
  }
  return whole && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace vellum_app
