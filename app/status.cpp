#include "status.h"

#include <ctime>

#include "printer_status.h"

namespace vellum_app {

namespace {

constexpr int kInterval = 5; // seconds, as PAPPL retries a stopped printer

void CheckPrinter(pappl_printer_t *printer, void * /*data*/) {
  RecheckIdlePrinter(printer);
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

// A timer callback of the main loop: true keeps it running.
bool CheckPrinters(pappl_system_t *system, void * /*data*/) {
  papplSystemIteratePrinters(system, CheckPrinter, nullptr);
  return true;
}

} // namespace

void WatchReachability(pappl_system_t *system) {
  papplSystemAddTimerCallback(system, std::time(nullptr) + kInterval, kInterval, CheckPrinters,
                              nullptr);
}

} // namespace vellum_app
