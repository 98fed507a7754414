// Ghostscript processes for the PDF filter: started with a command line,
// fed on their standard input, read on their standard output. Starting one
// takes about 30 ms, most of a label's time, so the next job's is started
// ahead and waits for its input. A document has a time allowance for
// Ghostscript: a PDF that renders for minutes is stopped.
#ifndef VELLUM_APP_GHOSTSCRIPT_H
#define VELLUM_APP_GHOSTSCRIPT_H

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace vellum_app {

// A started Ghostscript: it reads from `in` and writes to `out`.
struct Ghostscript {
  std::vector<std::string> args;
  pid_t pid = 0;
  int in = -1, out = -1;
};

// The time a document may keep its job waiting for Ghostscript: it runs
// down only while the job waits to write to Ghostscript or to read from
// it, not while the job prints what it has read.
struct TimeAllowance {
  std::chrono::steady_clock::duration left;
  bool used_up = false;
};

// Starts Ghostscript (its errors to nowhere); false when it cannot.
bool StartGhostscript(const std::vector<std::string> &args, Ghostscript *gs);
// A started Ghostscript for these arguments: one started ahead (and still
// running), else a new one; either way another is started for the next
// job with the same arguments. False when none can start.
bool TakeGhostscript(const std::vector<std::string> &args, Ghostscript *gs);
// Sends the file, or the text, to Ghostscript's input and closes it;
// false when not all of it went within the allowance.
bool SendFile(const char *path, Ghostscript &gs, TimeAllowance &time);
bool SendText(const std::string &text, Ghostscript &gs, TimeAllowance &time);
// Reads up to `size` bytes of Ghostscript's output within the allowance:
// what came, 0 at its end, -1 on a failure or once the allowance is used
// up.
ssize_t ReadOutput(Ghostscript &gs, TimeAllowance &time, void *data, size_t size);
// Reads Ghostscript's output to its end within the allowance; nothing
// when it cannot, or when it is longer than `most` bytes.
std::optional<std::string> ReadAll(Ghostscript &gs, TimeAllowance &time, size_t most);
// Closes what is left open of Ghostscript's pipes and waits for it, ending
// it first unless it was read `whole` (so that a document stopped early
// never keeps the job waiting); true when it ended well.
bool EndGhostscript(Ghostscript &gs, bool whole);

} // namespace vellum_app

#endif
