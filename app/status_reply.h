// What a printer answers about itself, read without a server: ZPL's host
// status (~HS), TSPL's status byte (<ESC>!?) and a USB printer's port
// status, as IPP printer-state-reasons and in words.
#ifndef VELLUM_APP_STATUS_REPLY_H
#define VELLUM_APP_STATUS_REPLY_H

#include <cstddef>
#include <optional>
#include <string>

#include <pappl/printer.h>

namespace vellum_app {

// What a printer says of itself: its faults as printer-state-reasons, and
// in words ("Out of labels"); none when it is ready.
struct PrinterCondition {
  pappl_preason_t reasons = PAPPL_PREASON_NONE;
  std::string words;
};

// The reasons the printer's status shows and clears.
constexpr pappl_preason_t kFaultReasons = PAPPL_PREASON_MEDIA_EMPTY | PAPPL_PREASON_COVER_OPEN |
                                          PAPPL_PREASON_MARKER_SUPPLY_EMPTY |
                                          PAPPL_PREASON_MEDIA_JAM | PAPPL_PREASON_OTHER;

// The most of an answer read: a ~HS answer is about 100 bytes.
constexpr size_t kLongestStatusAnswer = 1024;

// The condition in the answer to ~HS (three <STX>...<ETX><CR><LF> strings:
// the first has the paper out and pause flags, the second the head up and
// ribbon out flags); nothing until the first two have come whole.
std::optional<PrinterCondition> ParseHostStatus(const std::string &answer);
// The condition in TSPL's status byte (0x01 head open, 0x02 paper jam, 0x04
// out of paper, 0x08 out of ribbon, 0x10 pause, 0x80 other error).
PrinterCondition ParseTsplStatus(unsigned char status);
// The condition of a USB printer's port status (paper out, not selected).
PrinterCondition PortStatusCondition(pappl_preason_t status);

} // namespace vellum_app

#endif
