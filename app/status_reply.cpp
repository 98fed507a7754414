// The printers' status answers as conditions.
#include "status_reply.h"

#include <algorithm>
#include <vector>

namespace vellum_app {

namespace {

// The faults a printer reports, and their words.
struct Fault {
  pappl_preason_t reason;
  const char *words;
};
constexpr Fault kOutOfLabels{PAPPL_PREASON_MEDIA_EMPTY, "Out of labels"};
constexpr Fault kHeadOpen{PAPPL_PREASON_COVER_OPEN, "Print head open"};
constexpr Fault kOutOfRibbon{PAPPL_PREASON_MARKER_SUPPLY_EMPTY, "Out of ribbon"};
constexpr Fault kPaused{PAPPL_PREASON_OTHER, "Paused at the printer"};
constexpr Fault kJam{PAPPL_PREASON_MEDIA_JAM, "Label jam"};
constexpr Fault kError{PAPPL_PREASON_OTHER, "Printer error (see the printer)"};

void Add(PrinterCondition &condition, const Fault &fault) {
  condition.reasons |= fault.reason;
  condition.words += (condition.words.empty() ? "" : ", ") + std::string(fault.words);
}

// The comma-separated fields of the `index`th <STX>...<ETX> string.
std::vector<std::string> Fields(const std::string &answer, int index) {
  size_t from = 0;
  for (int i = 0; i <= index; ++i) {
    from = answer.find('\x02', from);
    if (from == std::string::npos)
      return {};
    ++from;
  }
  const size_t end = answer.find('\x03', from);
  if (end == std::string::npos)
    return {};
  std::vector<std::string> fields;
  for (size_t at = from; at <= end;) {
    const size_t comma = std::min(answer.find(',', at), end);
    fields.push_back(answer.substr(at, comma - at));
    at = comma + 1;
  }
  return fields;
}

} // namespace

std::optional<PrinterCondition> ParseHostStatus(const std::string &answer) {
  const std::vector<std::string> first = Fields(answer, 0), second = Fields(answer, 1);
  if (first.size() < 3 || second.size() < 4)
    return std::nullopt;
  PrinterCondition condition;
  if (first[1] == "1")
    Add(condition, kOutOfLabels);
  if (second[2] == "1")
    Add(condition, kHeadOpen);
  if (second[3] == "1")
    Add(condition, kOutOfRibbon);
  if (first[2] == "1")
    Add(condition, kPaused);
  return condition;
}

PrinterCondition ParseTsplStatus(unsigned char status) {
  const struct {
    unsigned char bit;
    const Fault &fault;
  } faults[] = {{0x04, kOutOfLabels}, {0x01, kHeadOpen}, {0x08, kOutOfRibbon},
                {0x02, kJam},         {0x10, kPaused},   {0x80, kError}};
  PrinterCondition condition;
  for (const auto &f : faults)
    if (status & f.bit)
      Add(condition, f.fault);
  return condition;
}

PrinterCondition PortStatusCondition(pappl_preason_t status) {
  PrinterCondition condition;
  if (status & PAPPL_PREASON_MEDIA_EMPTY)
    Add(condition, kOutOfLabels);
  if (status & PAPPL_PREASON_OTHER)
    Add(condition, kError);
  return condition;
}

} // namespace vellum_app
