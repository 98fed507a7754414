// libFuzzer target: what the printer application reads as text or bytes
// from outside (printers, PDF files, Ghostscript, its own saved state, the
// owner's settings), without a server.
//
// Input: one byte that chooses the reader, then its input:
//   0 a ZPL printer's answer to ~HS, 1 TSPL status bytes,
//   2 a PDF file's page boxes, 3 Ghostscript's list of page sizes,
//   4 a printer program passed on (a cancel after some pieces),
//   5 a saved state file and a job's settings file (two bytes give the
//     state's length; "@SPOOL@" in it stands for the spool folder, which
//     holds a document and that settings file of printer 1's job 1),
//   6 the owner's page and time limits (two texts, split at a NUL).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "budget.h"
#include "pappl/saved_state.h"
#include "pdf_pages.h"
#include "queue_file.h"
#include "raw_program.h"
#include "status_reply.h"

// Allocations far beyond any page the fuzz build takes fail (malloc) or
// end the run with a report (new): a page that passes the budget shows.
extern "C" const char *__asan_default_options() {
  return "max_allocation_size_mb=64:allocator_may_return_null=1";
}

namespace {

FILE *nowhere = nullptr;
std::string spool;

void WriteFile(const std::string &path, const std::string &data) {
  FILE *file = std::fopen(path.c_str(), "wb");
  if (file == nullptr || std::fwrite(data.data(), 1, data.size(), file) != data.size()) {
    std::perror(path.c_str());
    std::abort();
  }
  std::fclose(file);
}

void RemoveSpool() {
  for (const char *name : {"/p00001j000000001-label.pdf", "/p00001j000000001-label.ipp",
                           "/p00001j000000001-label.ipp.new"})
    unlink((spool + name).c_str());
  rmdir(spool.c_str());
}

void SavedState(const std::string &input) {
  if (input.size() < 2)
    return;
  const size_t length = std::min<size_t>(static_cast<unsigned char>(input[0]) << 8 |
                                             static_cast<unsigned char>(input[1]),
                                         input.size() - 2);
  std::string state = input.substr(2, length);
  for (size_t at = state.find("@SPOOL@"); at != std::string::npos;
       at = state.find("@SPOOL@", at + spool.size()))
    state.replace(at, 7, spool);
  WriteFile(spool + "/p00001j000000001-label.pdf", "%PDF");
  WriteFile(spool + "/p00001j000000001-label.ipp", input.substr(2 + length));
  bool changed = false;
  // The queue file's paused printers come from the same input.
  vellum_app::MendSavedState(state, spool, vellum_app::ParseQueueFile(state).paused, &changed);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  nowhere = std::fopen("/dev/null", "w");
  char folder[] = "/tmp/vellum-fuzz-spool-XXXXXX";
  if (mkdtemp(folder) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  spool = folder;
  std::atexit(RemoveSpool);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1)
    return 0;
  const std::string input(reinterpret_cast<const char *>(data + 1), size - 1);
  const vellum_app::Extent label{288, 432};
  switch (data[0] % 7) {
  case 0:
    vellum_app::ParseHostStatus(input.substr(0, vellum_app::kLongestStatusAnswer));
    break;
  case 1:
    for (const char byte : input)
      vellum_app::ParseTsplStatus(static_cast<unsigned char>(byte));
    break;
  case 2:
    vellum_app::PlainBoxesFit(input, label);
    break;
  case 3:
    if (const auto sizes = vellum_app::ParsePageSizes(input))
      for (const vellum_app::Extent &size : *sizes)
        if (const auto scale = vellum_app::FillScale(size, label))
          vellum_app::WithinBudget(vellum_app::RenderedDots(size, *scale, 203), 203);
    break;
  case 4: {
    const bool zpl = input.size() % 2 == 0;
    const size_t pieces = input.empty() ? 0 : static_cast<unsigned char>(input[0]) % 4;
    size_t asked = 0;
    const size_t sent =
        vellum_app::SendProgram(input, zpl, nowhere, [&asked, pieces] { return ++asked > pieces; });
    if (sent > input.size() || vellum_app::CountLabels(input, sent, zpl) >
                                   vellum_app::CountLabels(input, input.size(), zpl))
      __builtin_trap();
    break;
  }
  case 5:
    SavedState(input);
    break;
  default: {
    const size_t nul = input.find('\0');
    const std::string pages = input.substr(0, nul);
    const std::string seconds = nul == std::string::npos ? "" : input.substr(nul + 1);
    const vellum_app::JobLimits limits = vellum_app::ReadJobLimits(pages.c_str(), seconds.c_str());
    if (limits.pages < 1 || limits.pages > 1000000 || limits.pdf_seconds < 1 ||
        limits.pdf_seconds > 1000000)
      __builtin_trap();
    break;
  }
  }
  return 0;
}
