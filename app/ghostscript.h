// Ghostscript processes for the PDF filter: started with a command line,
// fed on their standard input, read on their standard output. Starting one
// takes about 30 ms, most of a label's time, so the next job's is started
// ahead and waits for its input.
#ifndef VELLUM_APP_GHOSTSCRIPT_H
#define VELLUM_APP_GHOSTSCRIPT_H

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

// Starts Ghostscript (its errors to nowhere); false when it cannot.
bool StartGhostscript(const std::vector<std::string> &args, Ghostscript *gs);
// A started Ghostscript for these arguments: one started ahead, else a new
// one; either way another is started for the next job with the same
// arguments. False when none can start.
bool TakeGhostscript(const std::vector<std::string> &args, Ghostscript *gs);
// Sends the file to `to` and closes it; false when not all of it went.
bool SendFile(const char *path, int to);
// Sends the text to `to` and closes it; false when not all of it went.
bool SendText(const std::string &text, int to);
// Reads `from` to its end and closes it.
std::string ReadAll(int from);
// Waits for Ghostscript; true when it ended well.
bool EndedWell(pid_t pid);

} // namespace vellum_app

#endif
