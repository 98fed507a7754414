// PAPPL's state file without print-speed-default (PAPPL 1.3.x and 1.4.0 to
// 1.4.5; fixed in 1.4.6).
//
// PAPPL saves a printer's defaults in its state file but leaves the print
// speed out, so that a speed the owner set goes back to the printer's own
// at every start. The speeds are kept beside the state
// (vellum-printer-app.state.speeds), a line "PRINTER-ID SPEED" each,
// written with every save of the state and given back to the printers once
// PAPPL has loaded it. Kept on every PAPPL: a state that a PAPPL before
// 1.4.6 saved has its printers' speeds only there (a server upgraded from
// Debian 12's PAPPL 1.3.1 to 1.4.9). At run time: a speed set on the
// printing defaults page survives a restart.
#include <cstdio>
#include <map>
#include <string>

#include "../printer_defaults.h"
#include "../system.h"
#include "../whole_file.h"
#include "patches.h"

namespace vellum_app {

namespace {

std::string SpeedsPath(const std::string &state) { return state + ".speeds"; }

// The printer's line of the speeds file.
std::string SpeedLine(pappl_printer_t *printer) {
  pappl_pr_driver_data_t driver;
  papplPrinterGetDriverData(printer, &driver);
  return std::to_string(papplPrinterGetID(printer)) + " " + std::to_string(driver.speed_default) +
         "\n";
}

// Gives a loaded printer its saved speed, keeping its other defaults (the
// vendor settings' defaults go back as they are).
void RestoreSpeed(pappl_printer_t *printer, const std::map<int, int> &speeds) {
  const auto it = speeds.find(papplPrinterGetID(printer));
  if (it == speeds.end())
    return;
  pappl_pr_driver_data_t driver;
  papplPrinterGetDriverData(printer, &driver);
  driver.speed_default = it->second;
  SetDefaults(printer, driver, StoredVendorDefaults(printer, driver));
}

} // namespace

bool SaveSpeeds(pappl_system_t *system, const std::string &state) {
  std::string speeds;
  ForEachPrinter(system, [&speeds](pappl_printer_t *printer) { speeds += SpeedLine(printer); });
  return WriteFileWhole(SpeedsPath(state), speeds);
}

void RestoreSpeeds(pappl_system_t *system, const std::string &state) {
  std::map<int, int> speeds;
  if (FILE *file = std::fopen(SpeedsPath(state).c_str(), "r")) {
    int id = 0, speed = 0;
    while (std::fscanf(file, "%d %d", &id, &speed) == 2)
      speeds[id] = speed;
    std::fclose(file);
  }
  ForEachPrinter(system, [&speeds](pappl_printer_t *printer) { RestoreSpeed(printer, speeds); });
}

} // namespace vellum_app
