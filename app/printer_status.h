// The printer's own status: asked of the printer in its language before
// each job (ZPL's host status ~HS, TSPL's <ESC>!?), shown as IPP
// printer-state-reasons and in words, and a job held back while the printer
// says it cannot print. A printer that does not answer prints as if ready.
#ifndef VELLUM_APP_PRINTER_STATUS_H
#define VELLUM_APP_PRINTER_STATUS_H

#include <optional>
#include <string>

#include <pappl/pappl.h>

#include "status_reply.h"

namespace vellum_app {

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
