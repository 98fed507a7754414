// The printers' settings kept within what their drivers support (PAPPL
// 1.3.x and 1.4.x, 1.4.9 included; no release fixes it yet).
//
// PAPPL stores what Set-Printer-Attributes and its web forms are given
// without checking it against the driver: any keyword for an owner's
// setting (1.4.9 too), print-quality -1, offsets beyond the supported
// range, a label size of no size; on PAPPL 1.3.1 one such value makes
// Get-Printer-Attributes fail for every client. Before every save of the
// state and after loading it, each value out of range goes back to the
// printer's last valid one (the driver's default before there was one), and
// the log says which were refused ("Refused settings out of range, kept the
// last valid ones: ..."); the darkness is kept on the web page's scale of
// 16 levels. The forms whose guards PAPPL calls are refused before PAPPL
// takes them (form_values.cpp).
//
// The last valid values are the process's: they outlive every save, which
// PAPPL's save callback and the queue's keeper both make (one server a
// process).
#include <map>
#include <mutex>
#include <string>

#include "../models.h"
#include "../print.h"
#include "../printer_defaults.h"
#include "../system.h"
#include "patches.h"

namespace vellum_app {

namespace {

// A printer's settings: its driver data and the owner's vendor settings.
struct Settings {
  pappl_pr_driver_data_t data;
  std::map<std::string, std::string> vendor;
};

// The label sizes the drivers take, in hundredths of millimetres: 0.25 x
// 0.25 in to 4.25 x 100 in.
constexpr int kMinSize = 635, kMaxWidth = 10795, kMaxLength = 254000;

// One of the bits of `supported`.
bool OneOf(int value, int supported) {
  return value != 0 && (value & (value - 1)) == 0 && (value & supported) == value;
}

bool InRange(int value, int low, int high) { return value >= low && value <= high; }

bool ValidMedia(const pappl_media_col_t &media, const pappl_pr_driver_data_t &data) {
  return media.size_name[0] != '\0' && InRange(media.size_width, kMinSize, kMaxWidth) &&
         InRange(media.size_length, kMinSize, kMaxLength) &&
         InRange(media.left_offset, data.left_offset_supported[0], data.left_offset_supported[1]) &&
         InRange(media.top_offset, data.top_offset_supported[0], data.top_offset_supported[1]) &&
         (media.tracking == 0 || OneOf(media.tracking, data.tracking_supported));
}

// The darkness as the web page lists it: the value of its level of 16
// (0, 6, 13 ... 100), or the printer's own.
int DarknessOnScale(int darkness) {
  if (darkness == kDarknessPrinterDefault)
    return darkness;
  return static_cast<int>(DarknessLevelOf(darkness)) * 100 / 15;
}

// The driver's defaults for a model.
Settings DriverDefaults(const PrinterModel &model) {
  Settings settings{};
  ipp_t *attrs = nullptr;
  DriverCallback(nullptr, model.driver, nullptr, nullptr, &settings.data, &attrs, nullptr);
  ippDelete(attrs);
  for (const VendorSetting *const *s = VendorSettings(model); *s != nullptr; ++s)
    settings.vendor[(*s)->name] = VendorDefault(model, **s);
  return settings;
}

// Takes `good`'s value of every field of `now` that is out of range; true
// when there was one. `refused` names them.
bool Repair(Settings &now, const Settings &good, const PrinterModel &model, std::string &refused) {
  pappl_pr_driver_data_t &d = now.data;
  const pappl_pr_driver_data_t &g = good.data;
  const size_t before = refused.size();
  const auto check = [&refused](bool valid, const char *name, auto &field, const auto &fallback) {
    if (!valid) {
      field = fallback;
      refused += std::string(refused.empty() ? "" : ", ") + name;
    }
  };
  check(InRange(d.orient_default, IPP_ORIENT_PORTRAIT, IPP_ORIENT_NONE),
        "orientation-requested-default", d.orient_default, g.orient_default);
  check(InRange(d.quality_default, IPP_QUALITY_DRAFT, IPP_QUALITY_HIGH), "print-quality-default",
        d.quality_default, g.quality_default);
  check(OneOf(d.color_default, d.color_supported), "print-color-mode-default", d.color_default,
        g.color_default);
  check(OneOf(d.content_default, 0x1f), "print-content-optimize-default", d.content_default,
        g.content_default);
  check(OneOf(d.scaling_default, 0x1f), "print-scaling-default", d.scaling_default,
        g.scaling_default);
  check(InRange(d.darkness_configured, 0, 100), "printer-darkness-configured",
        d.darkness_configured, g.darkness_configured);
  d.darkness_configured = DarknessOnScale(d.darkness_configured);
  check(InRange(d.darkness_default, -100, 100), "print-darkness-default", d.darkness_default,
        g.darkness_default);
  check(d.speed_default == 0 ||
            InRange(d.speed_default, d.speed_supported[0], d.speed_supported[1]),
        "print-speed-default", d.speed_default, g.speed_default);
  check(ValidMedia(d.media_default, d), "media-col-default", d.media_default, g.media_default);
  check(ValidMedia(d.media_ready[0], d), "media-col-ready", d.media_ready[0], g.media_ready[0]);
  for (const VendorSetting *const *s = VendorSettings(model); *s != nullptr; ++s) {
    std::string &value = now.vendor[(*s)->name];
    const std::string name = std::string((*s)->name) + "-default";
    check(ChoiceIndex(**s, value.c_str()) >= 0, name.c_str(), value, good.vendor.at((*s)->name));
  }
  return refused.size() != before;
}

struct Checked {
  std::mutex mutex;
  std::map<int, Settings> last_valid; // by printer id
};

void CheckPrinter(pappl_printer_t *printer, void *data) {
  auto *checked = static_cast<Checked *>(data);
  pappl_pr_driver_data_t driver;
  papplPrinterGetDriverData(printer, &driver);
  const auto *model = static_cast<const PrinterModel *>(driver.extension);
  if (model == nullptr)
    return;
  Settings now{driver, StoredVendorDefaults(printer, driver)};
  const auto known = checked->last_valid.find(papplPrinterGetID(printer));
  const Settings good = known != checked->last_valid.end() ? known->second : DriverDefaults(*model);
  const int darkness = now.data.darkness_configured;
  const bool ready_valid = ValidMedia(now.data.media_ready[0], now.data);
  std::string refused;
  if (Repair(now, good, *model, refused) || now.data.darkness_configured != darkness) {
    // Setting the ready media changes the default media too: it is set only
    // when it was out of range, and before the defaults.
    if (!ready_valid)
      papplPrinterSetReadyMedia(printer, 1, now.data.media_ready);
    SetDefaults(printer, now.data, now.vendor);
    // Said once done, so that a job after these words prints with them.
    if (!refused.empty())
      papplLogPrinter(printer, PAPPL_LOGLEVEL_WARN,
                      "Refused settings out of range, kept the last valid ones: %s.",
                      refused.c_str());
  }
  checked->last_valid[papplPrinterGetID(printer)] = now;
}

} // namespace

void KeepSettingsValid(pappl_system_t *system) {
  static Checked checked;
  const std::lock_guard<std::mutex> lock(checked.mutex);
  ForEachPrinter(system, [](pappl_printer_t *printer) { CheckPrinter(printer, &checked); });
}

} // namespace vellum_app
