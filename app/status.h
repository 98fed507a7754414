// Why a printer's jobs wait, on its page and in its printer-state-reasons.
#ifndef VELLUM_APP_STATUS_H
#define VELLUM_APP_STATUS_H

#include <pappl/pappl.h>

namespace vellum_app {

// PAPPL stops a printer's queue when the printer cannot be reached and
// shows only "Stopped". Called every few seconds: a stopped printer with
// jobs waiting is tried, "offline" while it does not answer, cleared when
// it does or the queue runs again; an idle printer that showed a fault is
// asked whether it still has it. Each printer is tried over a connection
// of its own, with no printer held meanwhile: a printer that does not
// answer its connection holds up this call only.
void CheckPrinters(pappl_system_t *system);

} // namespace vellum_app

#endif
