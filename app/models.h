// The printers the application drives: one driver per PPD of the CUPS
// driver, with the same label sizes, resolution, levels and defaults; and
// the owner's printer settings (vendor attributes) with their choices.
#ifndef VELLUM_APP_MODELS_H
#define VELLUM_APP_MODELS_H

#include <cstdint>

#include <pappl/pappl.h>

namespace vellum_app {

struct PrinterModel {
  const char *driver;      // the driver's name, as the PPD's file name
  const char *description; // the PPD's NickName
  int32_t model_number;    // 18 ZPL, 48 TSPL
  int dpi;
  bool variant_03; // the 03 printer
};

extern const PrinterModel kModels[];
extern const int kModelCount;

// PAPPL's list of the drivers, one per model, named as the PPDs.
pappl_pr_driver_t *Drivers();

// The driver for a printer found on USB or the network: the 203 dpi ZPL or
// TSPL driver when its device ID names that command set, else none.
const char *AutoAdd(const char *device_info, const char *device_uri, const char *device_id,
                    void *data);

// Gives a new printer its id (where PAPPL did not) and its supply: labels,
// of an unknown number.
void PrinterCreated(pappl_printer_t *printer, void *data);

// Whether the model speaks ZPL (model number 18) rather than TSPL (48).
inline bool IsZpl(const PrinterModel &model) { return model.model_number != 48; }

// The model a driver name stands for, or nullptr.
const PrinterModel *FindModel(const char *driver);

// The owner's printer settings beyond IPP's own attributes: PAPPL vendor
// attributes, each a keyword with a fixed list of choices; the first is the
// default unless `default_choice` says otherwise.
struct VendorSetting {
  const char *name;               // IPP attribute name ("-default" and "-supported" follow it)
  const char *keyword;            // the PPD option it sets
  const char *const *choices;     // IPP keywords, null-terminated
  const char *const *ppd_choices; // the PPD choice of each keyword
};

// The vendor settings of a model, null-terminated.
const VendorSetting *const *VendorSettings(const PrinterModel &model);

// The index of a keyword among a vendor setting's choices, or -1.
int ChoiceIndex(const VendorSetting &setting, const char *keyword);

// The default choice of a vendor setting for a model.
const char *VendorDefault(const PrinterModel &model, const VendorSetting &setting);

// The driver callback: fills PAPPL's driver data for a driver name.
bool DriverCallback(pappl_system_t *system, const char *driver_name, const char *device_uri,
                    const char *device_id, pappl_pr_driver_data_t *data, ipp_t **attrs,
                    void *context);

} // namespace vellum_app

#endif
