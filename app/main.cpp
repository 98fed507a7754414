// vellum-printer-app: a driverless (IPP Everywhere) printer application for
// ZPL and TSPL thermal label printers, on PAPPL's standard main loop and its
// sub-commands. app/ is one of the label engine's two front ends (the CUPS
// filters in filter/ are the other): it prints through engine/engine.h and
// uses nothing of the filters.
#include <csignal>

#include <pappl/pappl.h>

#include "local_server.h"
#include "models.h"
#include "queue.h"
#include "system.h"

int main(int argc, char *argv[]) {
  // A Ghostscript or a printer that goes away shows as a failed write, not
  // a fatal signal.
  std::signal(SIGPIPE, SIG_IGN);
  // PAPPL would start a private server where none answers.
  if (const std::optional<int> status = vellum_app::RefuseWithoutServer(argc, argv))
    return *status;
  const int status = papplMainloop(argc, argv, VELLUM_VERSION, "Vellum label printer application",
                                   vellum_app::kModelCount, vellum_app::Drivers(),
                                   vellum_app::AutoAdd, vellum_app::DriverCallback, nullptr,
                                   nullptr, vellum_app::CreateSystem, nullptr, nullptr);
  vellum_app::EndAfterMainloop(status);
  return status;
}
