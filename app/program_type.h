// Whether a document is a printer program, ZPL or TSPL, by its first bytes:
// what shipping software and carriers' label services hand out as often as
// PDF, and what clients send untyped (application/octet-stream). A pure
// function of a bounded prefix, so that it can be fuzzed on its own.
#ifndef VELLUM_APP_PROGRAM_TYPE_H
#define VELLUM_APP_PROGRAM_TYPE_H

#include <cstddef>

namespace vellum_app {

enum class ProgramLanguage { kNone, kZpl, kTspl };

// The most bytes looked at; more are ignored.
constexpr size_t kProgramPrefix = 4096;

// The language of the program whose first `size` bytes are `data`, or kNone.
// ZPL: after a byte order mark and blanks (and ZebraDesigner's "CT~~CD,"
// preamble), a command: '^' or '~' with two command letters. TSPL: in
// capitals, one of its setup commands with its first argument ("SIZE 4,6",
// "GAP 0.12,0", "SET CUTTER OFF" ...) or CLS on a line of its own. Plain
// text, PostScript and every other format the server takes are none.
ProgramLanguage DetectProgram(const unsigned char *data, size_t size);

} // namespace vellum_app

#endif
