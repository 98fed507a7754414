// Test helpers: raster streams made with libcups's writer, PPD files as
// text, and the filter run as CUPS runs it.
#ifndef VELLUM_TESTS_HARNESS_H
#define VELLUM_TESTS_HARNESS_H

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include <cups/raster.h>

#include "job_decoder.h"

namespace vellum_test {

// The printer jobs are read back with vellumpreview's decoder.
using namespace vellum_preview;

// The two filters under test, built from one source.
enum class Variant { kBase, k03 };
const char *FilterPath(Variant variant);
const char *VariantName(Variant variant);

struct RasterPage {
  cups_page_header2_t header;
  std::vector<unsigned char> pixels; // may be shorter than the page: a truncated stream
};

// An 8-bit grey page of width x height pixels, every pixel `fill`.
RasterPage GreyPage(uint32_t width, uint32_t height, unsigned char fill = 255, uint32_t xdpi = 203,
                    uint32_t ydpi = 203);

// The raster stream of the pages, written by libcups. A page with fewer
// pixels than its header declares ends the stream there.
std::string RasterStream(const std::vector<RasterPage> &pages,
                         cups_mode_t mode = CUPS_RASTER_WRITE);

struct PpdOption {
  std::string keyword;
  std::string default_choice;
  std::vector<std::string> choices;
};

// A PPD file's text with the given model number and PickOne options.
std::string PpdText(int model_number, const std::vector<PpdOption> &options);

struct Result {
  int exit_status = -1; // -1 when the filter died by a signal
  int signal = 0;
  std::string out;
  std::vector<std::string> err; // stderr lines without their LF
};

enum class Input { kStdin, kFile };

// Runs the filter with the CUPS filter command line (job id 1, the options
// argument `options`), PPD naming a file that holds `ppd`, LC_ALL=C and
// CUPS_SERVER at a socket where nothing listens.
Result RunFilter(const std::string &ppd, const std::string &raster, const std::string &options = "",
                 Variant variant = Variant::kBase, Input input = Input::kStdin);

// Runs a program with exactly these arguments (argv[0] included) and
// environment additions, stdin from the file `stdin_path` (or /dev/null).
Result RunProgram(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                  const std::string &stdin_path = "");

// Where a started program's standard streams go; kPipe gives the test the
// other end of a pipe.
constexpr const char *kPipe = "|";
struct Streams {
  std::string stdin_path;  // empty: /dev/null
  std::string stdout_path; // empty: a scratch file, read back by Wait
};

struct Process {
  pid_t pid = 0;
  int stdin_fd = -1;  // write end, when stdin is a pipe
  int stdout_fd = -1; // read end, when stdout is a pipe
  std::string out_path, err_path;
};

// Starts a program; its stderr goes to a scratch file (err_path).
Process Spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env,
              const Streams &streams);
// Closes the test's pipe ends, waits for the program and reads its output.
Result Wait(Process &process);

// The environment the filter gets under test, PPD aside.
std::vector<std::string> FilterEnv();
// The same with PPD naming a scratch file that holds `ppd`.
std::vector<std::string> FilterEnv(const std::string &ppd);
// The filter's command line: job id 1 and the options argument.
std::vector<std::string> FilterArgs(Variant variant, const std::string &options = "");

std::string ReadFile(const std::string &path);
// The lines of a text without their LF; an unfinished last line counts too.
std::vector<std::string> SplitLines(const std::string &text);

// A fresh file in the test's scratch folder holding `content`; returns its path.
std::string WriteScratchFile(const std::string &name, const std::string &content);
std::string ScratchDir();

// A control frame as the printer receives it.
std::string Frame(unsigned char code, std::initializer_list<unsigned char> payload,
                  bool crlf = true);
// The frame that ends every ZPL and TSPL page.
std::string EndOfPageFrame();

// Whether `part` occurs in `text`.
bool Contains(const std::string &text, const std::string &part);
// Sleeps for `ms` milliseconds.
void Sleep(int ms);

// Lines of `lines` that start with `prefix`.
std::vector<std::string> LinesStartingWith(const std::vector<std::string> &lines,
                                           const std::string &prefix);

} // namespace vellum_test

#endif
