// vellum-printer-app: a driverless (IPP Everywhere) printer application for
// ZPL and TSPL thermal label printers, on PAPPL's standard main loop.
#include <cstring>
#include <vector>

#include <pappl/pappl.h>

#include "models.h"

namespace {

// The drivers, named as the CUPS driver's PPDs.
std::vector<pappl_pr_driver_t> Drivers() {
  std::vector<pappl_pr_driver_t> drivers;
  for (int i = 0; i < vellum_app::kModelCount; ++i) {
    const vellum_app::PrinterModel &model = vellum_app::kModels[i];
    drivers.push_back({model.driver, model.description, nullptr, nullptr});
  }
  return drivers;
}

// Printers found on USB or the network that say they speak ZPL get the 203
// dpi ZPL driver; the others are added by hand with the right driver.
const char *AutoAdd(const char * /*device_info*/, const char * /*device_uri*/,
                    const char *device_id, void * /*data*/) {
  cups_option_t *did = nullptr;
  const int num_did = papplDeviceParseID(device_id, &did);
  const char *command_set = cupsGetOption("COMMAND SET", num_did, did);
  if (command_set == nullptr)
    command_set = cupsGetOption("CMD", num_did, did);
  const char *driver = nullptr;
  if (command_set != nullptr && std::strstr(command_set, "ZPL") != nullptr)
    driver = "vellum-zpl-203";
  else if (command_set != nullptr && std::strstr(command_set, "TSPL") != nullptr)
    driver = "vellum-tspl-203";
  cupsFreeOptions(num_did, did);
  return driver;
}

} // namespace

int main(int argc, char *argv[]) {
  std::vector<pappl_pr_driver_t> drivers = Drivers();
  return papplMainloop(argc, argv, VELLUM_VERSION, "vellum label printer application",
                       static_cast<int>(drivers.size()), drivers.data(), AutoAdd,
                       vellum_app::DriverCallback, nullptr, nullptr, nullptr, nullptr, nullptr);
}
