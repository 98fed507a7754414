// A private CUPS scheduler for the tests and the benchmark: its own folders
// under /tmp, listening only on a socket there, never the machine's own,
// with queues made from the shipped PPDs whose output a capture backend
// writes to files.
#ifndef VELLUM_TESTS_PRIVATE_SCHEDULER_H
#define VELLUM_TESTS_PRIVATE_SCHEDULER_H

#include <string>
#include <sys/types.h>
#include <vector>

#include <cups/cups.h>

#include "harness.h"

namespace vellum_test {

struct SchedulerSetup {
  std::string log_level = "debug";
  // The filters the scheduler runs; empty for the ones under test.
  std::string filter, filter_03;
  std::string capture_backend; // the vellumcap backend program
  // Run the filters installed in the machine's filter folder instead, and
  // the CUPS types installed in its data folder.
  bool installed_filters = false;
  // Backends of the machine's scheduler to run as well ("ipp", "socket").
  std::vector<std::string> stock_backends;
};

class PrivateScheduler {
public:
  PrivateScheduler() = default;
  PrivateScheduler(const PrivateScheduler &) = delete;
  PrivateScheduler &operator=(const PrivateScheduler &) = delete;
  ~PrivateScheduler() { Stop(); }

  // Starts cupsd (as root: it runs the filters as lp); returns an empty
  // text, or why it could not start.
  std::string Start(const SchedulerSetup &setup);
  void Stop();

  const std::string &Dir() const { return dir_; }
  std::string Socket() const { return dir_ + "/cupsd.sock"; }
  pid_t Pid() const { return pid_; }
  // The environment of a client of this scheduler.
  std::vector<std::string> Env() const;

  // Runs a CUPS client command, again when it could not connect (the
  // scheduler drops its first connections while it settles in).
  Result Client(const std::vector<std::string> &argv) const;
  // A new connection for in-process clients (libcups), or nullptr.
  http_t *Connect() const;

  // Adds an enabled queue printing to the capture backend. `capture` is a
  // file, or a folder ending in '/' that gets JOB.prn and JOB.options (the
  // options argument the backend was given) per job; `mode` is "", "slow"
  // (about 200 KB/s) or "hold" (keeps the job processing until cancelled).
  // Returns an empty text, or what went wrong.
  std::string AddQueue(const std::string &queue, const std::string &ppd, const std::string &capture,
                       const std::string &mode = "") const;

  // Submits a file with lp; returns the job id, or -1.
  int Submit(const std::string &queue, const std::string &file,
             const std::vector<std::string> &options = {}) const;
  // Whether the job is still active.
  bool Active(int job) const;
  // The scheduler's log lines about a job, without their prefix.
  std::vector<std::string> JobLog(int job) const;
  // CPU seconds the scheduler has used (user and system).
  double CpuSeconds() const;

private:
  std::string dir_;
  pid_t pid_ = 0;
};

// The job's state as the scheduler reports it, or 0 when it has no such job.
int JobState(http_t *http, int job);

} // namespace vellum_test

#endif
