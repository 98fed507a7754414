// Printer programs: labels found by their end commands.
#include "raw_program.h"

#include <algorithm>
#include <cstring>

namespace vellum_app {

namespace {

// What ends a label in each language.
const char *LabelEnd(bool zpl) { return zpl ? "^XZ" : "PRINT"; }

} // namespace

size_t EndOfLabel(const std::string &data, size_t from, bool zpl) {
  const size_t end = data.find(LabelEnd(zpl), from);
  if (end == std::string::npos)
    return data.size();
  const size_t line = data.find('\n', end);
  return zpl || line == std::string::npos ? end + std::strlen(LabelEnd(zpl)) : line + 1;
}

int CountLabels(const std::string &data, size_t length, bool zpl) {
  int labels = 0;
  const char *end = LabelEnd(zpl);
  const size_t size = std::strlen(end);
  for (size_t at = data.find(end); at != std::string::npos && at + size <= length;
       at = data.find(end, at + 1))
    ++labels;
  return labels;
}

size_t SendProgram(const std::string &data, bool zpl, std::FILE *out,
                   const std::function<bool()> &canceled) {
  constexpr size_t kPiece = 16384;
  size_t sent = 0;
  while (sent < data.size()) {
    size_t end = std::min(sent + kPiece, data.size());
    const bool stop = canceled();
    if (stop)
      end = EndOfLabel(data, sent, zpl);
    std::fwrite(data.data() + sent, 1, end - sent, out);
    sent = end;
    if (stop || std::ferror(out))
      break;
  }
  return sent;
}

} // namespace vellum_app
