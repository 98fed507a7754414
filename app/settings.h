// The printers' settings kept within what their drivers support.
#ifndef VELLUM_APP_SETTINGS_H
#define VELLUM_APP_SETTINGS_H

#include <pappl/pappl.h>

namespace vellum_app {

// PAPPL 1.3 stores what its web forms and Set-Printer-Attributes are given
// without checking it against the driver (any keyword for an owner's
// setting, print-quality -1, offsets beyond the supported range, a label
// size of no size), and one such value makes Get-Printer-Attributes fail
// for every client. Puts each value out of range back to the printer's last
// valid one (the driver's default before there was one) and logs what it
// refused. Runs before every save of the state and after loading it.
void KeepSettingsValid(pappl_system_t *system);

} // namespace vellum_app

#endif
