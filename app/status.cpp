#include "status.h"

#include <string>
#include <vector>

#include "pappl/patches.h"
#include "printer_status.h"
#include "system.h"

namespace vellum_app {

namespace {

// Whether a stopped printer with jobs waiting answers now: PAPPL stops the
// queue of a printer it cannot reach and tries it again by itself.
bool StoppedPrinterAnswers(pappl_system_t *system, int printer_id) {
  std::string uri;
  {
    pappl_printer_t *printer = papplSystemFindPrinter(system, nullptr, printer_id, nullptr);
    if (printer == nullptr || papplPrinterGetState(printer) != IPP_PSTATE_STOPPED ||
        papplPrinterGetNumberOfActiveJobs(printer) == 0)
      return true;
    uri = papplPrinterGetDeviceURI(printer);
  }
  // A connection of its own: the printer is not held while it is made.
  pappl_device_t *device = papplDeviceOpen(uri.c_str(), "check", nullptr, nullptr);
  if (device == nullptr)
    return false;
  papplDeviceClose(device);
  return true;
}

void CheckPrinter(pappl_system_t *system, int printer_id) {
  RecheckIdlePrinter(system, printer_id);
  const bool answers = StoppedPrinterAnswers(system, printer_id);
  pappl_printer_t *printer = papplSystemFindPrinter(system, nullptr, printer_id, nullptr);
  if (printer == nullptr)
    return;
  EndRefusedJobs(printer);
  const bool shown = (papplPrinterGetReasons(printer) & PAPPL_PREASON_OFFLINE) != 0;
  if (answers && shown)
    papplPrinterSetReasons(printer, PAPPL_PREASON_NONE, PAPPL_PREASON_OFFLINE);
  else if (!answers && !shown)
    papplPrinterSetReasons(printer, PAPPL_PREASON_OFFLINE, PAPPL_PREASON_NONE);
}

} // namespace

void CheckPrinters(pappl_system_t *system) {
  std::vector<int> ids;
  ForEachPrinter(system,
                 [&ids](pappl_printer_t *printer) { ids.push_back(papplPrinterGetID(printer)); });
  for (const int id : ids)
    CheckPrinter(system, id);
}

} // namespace vellum_app
