// The sub-commands and the server they talk to: PAPPL's command line starts
// a private server of its own when it finds none on its socket, which, run
// beside a system service (stopping, restarting, or simply not started),
// lists an empty queue, hangs and leaves stray servers behind. The
// application checks the socket first.
#ifndef VELLUM_APP_LOCAL_SERVER_H
#define VELLUM_APP_LOCAL_SERVER_H

#include <optional>

namespace vellum_app {

// For a sub-command that talks to the local server: waits a few seconds for
// a server that is starting (its socket there but refusing, or the
// service's runtime folder made but its socket not yet), and where none
// answers says so, naming the sockets tried, and returns the exit status 1.
// Returns nothing where PAPPL's main loop should go on (the server
// answers, or the sub-command needs none: server, drivers, a printer URI).
std::optional<int> RefuseWithoutServer(int argc, char *argv[]);

} // namespace vellum_app

#endif
