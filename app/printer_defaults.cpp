#include "printer_defaults.h"

namespace vellum_app {

std::map<std::string, std::string> StoredVendorDefaults(pappl_printer_t *printer,
                                                        const pappl_pr_driver_data_t &driver) {
  std::map<std::string, std::string> vendor;
  ipp_t *attrs = papplPrinterGetDriverAttributes(printer);
  for (int i = 0; i < driver.num_vendor; ++i) {
    const std::string name = std::string(driver.vendor[i]) + "-default";
    ipp_attribute_t *attr = ippFindAttribute(attrs, name.c_str(), IPP_TAG_ZERO);
    const char *value = attr != nullptr ? ippGetString(attr, 0, nullptr) : nullptr;
    vendor[driver.vendor[i]] = value != nullptr ? value : "";
  }
  ippDelete(attrs);
  return vendor;
}

void SetDefaults(pappl_printer_t *printer, pappl_pr_driver_data_t &driver,
                 const std::map<std::string, std::string> &vendor) {
  cups_option_t *options = nullptr;
  int num_options = 0;
  for (const auto &setting : vendor)
    num_options =
        cupsAddOption(setting.first.c_str(), setting.second.c_str(), num_options, &options);
  papplPrinterSetDriverDefaults(printer, &driver, num_options, options);
  cupsFreeOptions(num_options, options);
}

} // namespace vellum_app
