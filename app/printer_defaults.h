// A printer's defaults: PAPPL's driver data and the owner's vendor settings,
// which PAPPL replaces together.
#ifndef VELLUM_APP_PRINTER_DEFAULTS_H
#define VELLUM_APP_PRINTER_DEFAULTS_H

#include <map>
#include <string>

#include <pappl/pappl.h>

namespace vellum_app {

// The owner's vendor settings of a printer as stored: name and keyword.
std::map<std::string, std::string> StoredVendorDefaults(pappl_printer_t *printer,
                                                        const pappl_pr_driver_data_t &driver);

// Sets a printer's driver defaults together with its vendor settings
// (PAPPL replaces both at once).
void SetDefaults(pappl_printer_t *printer, pappl_pr_driver_data_t &driver,
                 const std::map<std::string, std::string> &vendor);

} // namespace vellum_app

#endif
