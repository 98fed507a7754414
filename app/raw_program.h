// Printer programs in the printer's own language (ZPL, TSPL) as the
// application passes them on: their labels counted by their end commands,
// and sent in pieces so that a cancel stops after the label in progress.
#ifndef VELLUM_APP_RAW_PROGRAM_H
#define VELLUM_APP_RAW_PROGRAM_H

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>

namespace vellum_app {

// Counts the labels in the first `length` bytes of a program by their end
// commands (ZPL's ^XZ, else TSPL's PRINT).
int CountLabels(const std::string &data, size_t length, bool zpl);

// Where the label in progress at `from` ends: just past its end command
// (and its line), or the end of the data when it has none.
size_t EndOfLabel(const std::string &data, size_t from, bool zpl);

// Writes the program to `out` in pieces; once `canceled` says so, only
// up to the end of the label in progress. Returns the bytes written.
size_t SendProgram(const std::string &data, bool zpl, std::FILE *out,
                   const std::function<bool()> &canceled);

} // namespace vellum_app

#endif
