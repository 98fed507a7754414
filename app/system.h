// The server's system object.
#ifndef VELLUM_APP_SYSTEM_H
#define VELLUM_APP_SYSTEM_H

#include <functional>
#include <string>

#include <pappl/pappl.h>

namespace vellum_app {

// Calls `each` for every printer of the system, outside the system's lock:
// PAPPL takes a printer's lock and then the system's in places, so work
// that locks a printer must not run while the system is locked (within
// papplSystemIteratePrinters, or a timer callback), or the two deadlock.
// PAPPL frees a deleted printer at once, so `each` must not keep the
// printer beyond its call, nor wait long within it (for a device, say).
void ForEachPrinter(pappl_system_t *system, const std::function<void(pappl_printer_t *)> &each);

// PAPPL's main loop calls this to make the server's system from the
// "server" sub-command's options (server-port, listen-hostname,
// spool-directory, log-file, log-level, server-options, auth-service,
// admin-group).
pappl_system_t *CreateSystem(int num_options, cups_option_t *options, void *data);

} // namespace vellum_app

#endif
