// Printer programs by their first bytes. The rules are those of the CUPS
// types file (mime/vellum.types), which CUPS applies to every file printed
// on the machine and so must not mistake text for a program, but for what
// lies beyond the first command: CUPS also wants a ZPL program that starts
// with a caret command to hold ^XA, and a TSPL program a CLS or PRINT line,
// in their first 4 KB. Here a program is known by its first command: PAPPL
// shows only the bytes that have arrived, which may end before those, and
// what is no program is refused.
#include "program_type.h"

#include <cstring>

namespace vellum_app {

namespace {

bool IsBlank(unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsUpper(unsigned char c) { return c >= 'A' && c <= 'Z'; }
bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }

// Whether the bytes at `at` begin with `text`.
bool StartsWith(const unsigned char *data, size_t size, size_t at, const char *text) {
  const size_t length = std::strlen(text);
  return at <= size && size - at >= length && std::memcmp(data + at, text, length) == 0;
}

// Where the program starts: past a UTF-8 byte order mark and blanks.
size_t ProgramStart(const unsigned char *data, size_t size) {
  size_t at = StartsWith(data, size, 0, "\xEF\xBB\xBF") ? 3 : 0;
  while (at < size && IsBlank(data[at]))
    ++at;
  return at;
}

// A ZPL command: its prefix ('^' or '~') and two command characters, the
// first a letter (^XA, ~DG, ^A0 ...).
bool IsZplCommand(const unsigned char *data, size_t size, size_t at) {
  return size - at >= 3 && (data[at] == '^' || data[at] == '~') && IsUpper(data[at + 1]) &&
         (IsUpper(data[at + 2]) || IsDigit(data[at + 2]) || data[at + 2] == '@');
}

// The commands a TSPL program starts with: its setup commands with their
// first argument (a number, or a word for SET) and CLS on a line of its own.
bool IsTsplStart(const unsigned char *data, size_t size, size_t at) {
  static const char *const kNumbered[] = {"SIZE",   "GAP",   "BLINE",   "DIRECTION", "REFERENCE",
                                          "OFFSET", "SPEED", "DENSITY", "CODEPAGE",  "SHIFT"};
  const auto argument = [&](const char *command, bool (*starts)(unsigned char)) {
    if (!StartsWith(data, size, at, command))
      return false;
    size_t end = at + std::strlen(command);
    if (end == size || (data[end] != ' ' && data[end] != '\t'))
      return false;
    while (end < size && (data[end] == ' ' || data[end] == '\t'))
      ++end;
    return end == size || starts(data[end]);
  };
  for (const char *command : kNumbered)
    if (argument(command, [](unsigned char c) { return IsDigit(c) || c == '-' || c == '.'; }))
      return true;
  if (argument("SET", IsUpper))
    return true;
  const size_t end = at + 3;
  return StartsWith(data, size, at, "CLS") &&
         (end == size || data[end] == '\r' || data[end] == '\n');
}

} // namespace

ProgramLanguage DetectProgram(const unsigned char *data, size_t size) {
  if (data == nullptr)
    return ProgramLanguage::kNone;
  if (size > kProgramPrefix)
    size = kProgramPrefix;
  size_t at = ProgramStart(data, size);
  // ZebraDesigner starts its programs with "CT~~CD,~CC^~CT~" (the tilde,
  // delimiter and caret set to their defaults).
  if (StartsWith(data, size, at, "CT~~CD,"))
    at += 3;
  if (IsZplCommand(data, size, at))
    return ProgramLanguage::kZpl;
  if (IsTsplStart(data, size, at))
    return ProgramLanguage::kTspl;
  return ProgramLanguage::kNone;
}

} // namespace vellum_app
