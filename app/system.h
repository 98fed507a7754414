// The server's system object.
#ifndef VELLUM_APP_SYSTEM_H
#define VELLUM_APP_SYSTEM_H

#include <pappl/pappl.h>

namespace vellum_app {

// PAPPL's main loop calls this to make the server's system from the
// "server" sub-command's options (server-port, listen-hostname,
// spool-directory, log-file, log-level, server-options, auth-service,
// admin-group).
pappl_system_t *CreateSystem(int num_options, cups_option_t *options, void *data);

} // namespace vellum_app

#endif
