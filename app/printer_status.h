// The printer's own status: asked of the printer in its language before
// each job (ZPL's host status ~HS, TSPL's <ESC>!?), shown as IPP
// printer-state-reasons and in words, and a job held back while the printer
// says it cannot print. A printer that does not answer prints as if ready.
#ifndef VELLUM_APP_PRINTER_STATUS_H
#define VELLUM_APP_PRINTER_STATUS_H

#include <optional>
#include <string>

#include <pappl/pappl.h>

namespace vellum_app {

// What a printer says of itself: its faults as printer-state-reasons, and
// in words ("Out of labels"); none when it is ready.
struct PrinterCondition {
  pappl_preason_t reasons = PAPPL_PREASON_NONE;
  std::string words;
};

// The reasons this file shows and clears.
constexpr pappl_preason_t kFaultReasons = PAPPL_PREASON_MEDIA_EMPTY | PAPPL_PREASON_COVER_OPEN |
                                          PAPPL_PREASON_MARKER_SUPPLY_EMPTY |
                                          PAPPL_PREASON_MEDIA_JAM | PAPPL_PREASON_OTHER;

// The condition in the answer to ~HS (three <STX>...<ETX><CR><LF> strings:
// the first has the paper out and pause flags, the second the head up and
// ribbon out flags); nothing until the first two have come whole.
std::optional<PrinterCondition> ParseHostStatus(const std::string &answer);
// The condition in TSPL's status byte (0x01 head open, 0x02 paper jam, 0x04
// out of paper, 0x08 out of ribbon, 0x10 pause, 0x80 other error).
PrinterCondition ParseTsplStatus(unsigned char status);

// What asking a printer for its status needs, copied from the printer so
// that none is held while its device is tried.
struct StatusTarget {
  pappl_system_t *system = nullptr;
  int id = 0;
  std::string name, uri;
  bool zpl = true;
};
StatusTarget TargetOf(pappl_printer_t *printer);

// Before a job's first byte: asks the printer for its status (where it
// answers) and, while it reports a fault, shows the fault on the printer
// and as the job's message and asks again every few seconds. False when
// the job was cancelled meanwhile.
bool AwaitPrinterReady(pappl_job_t *job, pappl_device_t *device);

// After a job's last byte: flushes the device and, on an AppSocket
// connection, waits until the printer has taken all but the last segment,
// as long as the printer keeps the connection (a printer that stops taking
// data is waited for, and the job says so); false when the connection
// failed first or the job was cancelled. Writing and closing over TCP
// report no such loss by themselves.
bool DeliveryConfirmed(pappl_job_t *job, pappl_device_t *device);

// Asks an idle printer that shows a fault whether it still has it, over a
// connection of its own.
void RecheckIdlePrinter(pappl_system_t *system, int printer_id);

// Forgets what is known of a printer that is deleted.
void ForgetPrinterStatus(int printer_id);

// The words of the printer's condition, or "" when it reports none.
std::string ConditionWords(pappl_printer_t *printer);

// Where a printer is with its job, for a shutdown that must not cut a
// label: before its first label byte, sending, or every byte sent.
// Once the server stops (StopNewLabels), no label starts: setting a job's
// phase to kSending then fails.
enum class JobPhase { kNone, kWaiting, kSending, kSent };
bool SetJobPhase(pappl_printer_t *printer, int job_id, JobPhase phase);
void StopNewLabels();
// Whether some printer is sending a label, or has just sent a job's last
// byte and PAPPL may not yet have ended the job.
bool LabelsInFlight();

} // namespace vellum_app

#endif
