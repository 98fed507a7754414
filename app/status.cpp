#include "status.h"

#include "document_formats.h"
#include "printer_status.h"
#include "system.h"

namespace vellum_app {

namespace {

void CheckPrinter(pappl_printer_t *printer) {
  RecheckIdlePrinter(printer);
  EndRefusedJobs(printer);
  bool answers = true;
  if (papplPrinterGetState(printer) == IPP_PSTATE_STOPPED &&
      papplPrinterGetNumberOfActiveJobs(printer) > 0) {
    answers = papplPrinterOpenDevice(printer) != nullptr;
    if (answers)
      papplPrinterCloseDevice(printer);
  }
  const bool shown = (papplPrinterGetReasons(printer) & PAPPL_PREASON_OFFLINE) != 0;
  if (answers && shown)
    papplPrinterSetReasons(printer, PAPPL_PREASON_NONE, PAPPL_PREASON_OFFLINE);
  else if (!answers && !shown)
    papplPrinterSetReasons(printer, PAPPL_PREASON_OFFLINE, PAPPL_PREASON_NONE);
}

} // namespace

void CheckPrinters(pappl_system_t *system) { ForEachPrinter(system, CheckPrinter); }

} // namespace vellum_app
