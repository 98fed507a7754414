// The values a settings form holds (PAPPL 1.3.x and 1.4.x, 1.4.9 included;
// no release fixes it yet).
//
// PAPPL stores what its media and printing defaults forms hold without
// checking it against the driver (any keyword for an owner's setting, a
// print-quality it does not know) and turns a darkness or speed it cannot
// read into the printer's own, so that a value no list offers (as a script
// or a hand-made request can send) changes a setting. Here the form of a
// printer's media or printing defaults page is refused ("Invalid form
// submission.", with a warning in the log naming the field) where a field
// holds a value the page does not offer. Values that reach PAPPL another
// way (Set-Printer-Attributes, or forms where PAPPL does not call the
// guards) go back to their last valid ones (setting_values.cpp).
#include "form_values.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../models.h"

namespace vellum_app {

namespace {

// A decimal number within [low, high].
bool NumberIn(const char *text, double low, double high) {
  char *end = nullptr;
  const double value = std::strtod(text, &end);
  return end != text && *end == '\0' && std::isfinite(value) && value >= low && value <= high;
}

bool OneOf(const char *value, const std::vector<const char *> &choices) {
  for (const char *choice : choices)
    if (std::strcmp(value, choice) == 0)
      return true;
  return false;
}

struct Found {
  const char *uri;
  pappl_printer_t *printer = nullptr;
  std::string page; // "media" or "printing"
};

// The printer whose media or printing defaults page the path names.
void FindPage(pappl_printer_t *printer, void *data) {
  auto *found = static_cast<Found *>(data);
  for (const char *page : {"media", "printing"}) {
    char path[1024];
    papplPrinterGetPath(printer, page, path, sizeof path);
    if (std::strcmp(path, found->uri) == 0) {
      found->printer = printer;
      found->page = page;
    }
  }
}

// Whether a field of the media page holds a value the page offers.
bool MediaValueOffered(const pappl_pr_driver_data_t &driver, const std::string &field,
                       const char *value, const char *units) {
  if (field == "size") {
    if (std::strcmp(value, "custom") == 0)
      return true;
    for (int i = 0; i < driver.num_media; ++i)
      if (std::strcmp(value, driver.media[i]) == 0)
        return true;
    return false;
  }
  const bool mm = units != nullptr && std::strcmp(units, "mm") == 0;
  const double unit = mm ? 25.4 : 1.0;
  if (field == "custom-width")
    return NumberIn(value, 0.25 * unit, 4.25 * unit);
  if (field == "custom-length")
    return NumberIn(value, 0.25 * unit, 100 * unit);
  if (field == "custom-units")
    return OneOf(value, {"in", "mm"});
  if (field == "left-offset" || field == "top-offset")
    return NumberIn(value, driver.left_offset_supported[0] / 100.0,
                    driver.left_offset_supported[1] / 100.0);
  if (field == "tracking") // "printer-default" keeps the printer's own
    return OneOf(value, {"continuous", "gap", "mark", "web", "printer-default"});
  if (field == "type")
    return OneOf(value, {"labels"});
  if (field == "source")
    return OneOf(value, {"main-roll"});
  return true; // the borderless box
}

// Whether a field of the printing defaults page holds a value it offers.
bool PrintingValueOffered(const pappl_pr_driver_data_t &driver, const PrinterModel &model,
                          const std::string &field, const char *value) {
  if (field == "print-darkness")
    return NumberIn(value, 0, 100) && std::strchr(value, '.') == nullptr;
  if (field == "print-speed")
    return NumberIn(value, 0, driver.speed_supported[1] / 2540) &&
           std::strchr(value, '.') == nullptr;
  if (field == "print-quality")
    return OneOf(value, {"draft", "normal", "high"});
  if (field == "print-color-mode")
    return OneOf(value, {"bi-level", "monochrome"});
  if (field == "print-content-optimize")
    return OneOf(value, {"auto", "graphic", "photo", "text", "text-and-graphic"});
  if (field == "print-scaling")
    return OneOf(value, {"auto", "auto-fit", "fill", "fit", "none"});
  if (field == "orientation-requested")
    return OneOf(value, {"3", "4", "5", "6", "7"});
  for (const VendorSetting *const *s = VendorSettings(model); *s != nullptr; ++s)
    if (field == (*s)->name)
      return ChoiceIndex(**s, value) >= 0;
  return true; // the form's session and anything PAPPL does not read
}

} // namespace

std::string RefusedFormField(pappl_system_t *system, const char *uri, int num_form,
                             cups_option_t *form) {
  Found found{uri, nullptr, ""};
  if (uri == nullptr)
    return "";
  papplSystemIteratePrinters(system, FindPage, &found);
  if (found.printer == nullptr)
    return "";
  pappl_pr_driver_data_t driver;
  papplPrinterGetDriverData(found.printer, &driver);
  const auto *model = static_cast<const PrinterModel *>(driver.extension);
  if (model == nullptr)
    return "";
  for (int i = 0; i < num_form; ++i) {
    const std::string name = form[i].name;
    bool offered = true;
    if (found.page == "printing") {
      offered = PrintingValueOffered(driver, *model, name, form[i].value);
    } else if (name.rfind("ready", 0) == 0 && name.find('-') != std::string::npos) {
      const std::string prefix = name.substr(0, name.find('-') + 1);
      const char *units = cupsGetOption((prefix + "custom-units").c_str(), num_form, form);
      const char *size = cupsGetOption((prefix + "size").c_str(), num_form, form);
      const std::string field = name.substr(prefix.size());
      // The custom size fields count only for a custom size.
      if (field.rfind("custom-", 0) != 0 || (size != nullptr && std::strcmp(size, "custom") == 0))
        offered = MediaValueOffered(driver, field, form[i].value, units);
    }
    if (!offered)
      return name;
  }
  return "";
}

} // namespace vellum_app
