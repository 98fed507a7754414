// A storm of hostile clients against the printer application, on the
// loopback interface only: malformed IPP, hostile documents of every format
// the server takes, and broken HTTP, from several clients at once, bounded
// in count and time. The storm test and the benchmark share it.
#ifndef VELLUM_TESTS_STORM_H
#define VELLUM_TESTS_STORM_H

#include <sys/types.h>

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace vellum_test {

// One hostile connection: the bytes sent, and whether the client then
// reads the answer (until the server closes or stays silent a while) or
// drops the connection at once, as a client that dies does.
struct StormCase {
  std::string name;
  std::string bytes;
  bool drop = false;
};

// The table of hostile inputs against a server on `port` whose printer
// `printer` takes the storm's jobs.
std::vector<StormCase> StormCases(int port, const std::string &printer);

struct StormReport {
  size_t connections = 0;
  size_t answered = 0;                    // connections that got an HTTP answer
  std::map<int, size_t> statuses;         // HTTP status: count
  std::map<std::string, size_t> troubles; // what must never happen: count
  std::map<std::string, size_t> silent;   // cases the server never answered
  double seconds = 0;
  bool cut_short = false; // the time limit ended the storm
};

// Sends every case from `clients` clients at once, each going through the
// table `rounds` times from its own starting point; every connection is
// bounded in time, and the storm ends at `limit_seconds` at the latest.
StormReport RunStorm(int port, const std::vector<StormCase> &cases, int clients, int rounds,
                     int limit_seconds);

// A field of /proc/PID/status in KiB ("VmRSS", "VmHWM"), 0 where unknown.
size_t ProcessKiB(pid_t pid, const char *field);

// Every thread's backtrace of a process (gdb), to tell where a server
// hangs; a note where gdb is missing.
std::string Backtraces(pid_t pid);

} // namespace vellum_test

#endif
