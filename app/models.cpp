// The drivers of the printer application: what each printer can do and its
// defaults, as the CUPS driver's PPDs describe the same printers.
#include "models.h"

#include <cstring>
#include <string>

#include "pappl/patches.h"
#include "print.h"
#include "queue.h"

namespace vellum_app {

const PrinterModel kModels[] = {
    {"vellum-zpl-203", "Vellum ZPL 203 dpi", 18, 203, false},
    {"vellum-zpl-300", "Vellum ZPL 300 dpi", 18, 300, false},
    {"vellum-tspl-203", "Vellum TSPL 203 dpi", 48, 203, false},
    {"vellum-tspl-300", "Vellum TSPL 300 dpi", 48, 300, false},
    {"vellum-zpl-203-03", "Vellum ZPL 203 dpi 03", 18, 203, true},
};
const int kModelCount = static_cast<int>(sizeof kModels / sizeof kModels[0]);

pappl_pr_driver_t *Drivers() {
  static pappl_pr_driver_t drivers[sizeof kModels / sizeof kModels[0]];
  for (int i = 0; i < kModelCount; ++i)
    drivers[i] = {kModels[i].driver, kModels[i].description, nullptr, nullptr};
  return drivers;
}

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

void PrinterCreated(pappl_printer_t *printer, void * /*data*/) {
  GiveNewPrinterItsId(printer);
  pappl_supply_t labels{};
  labels.color = PAPPL_SUPPLY_COLOR_NO_COLOR;
  std::strncpy(labels.description, "Labels", sizeof labels.description - 1);
  labels.is_consumed = true;
  labels.level = -1; // unknown
  labels.type = PAPPL_SUPPLY_TYPE_OTHER;
  papplPrinterSetSupplies(printer, 1, &labels);
  RememberDocumentFormats(printer);
}

const PrinterModel *FindModel(const char *driver) {
  for (const PrinterModel &model : kModels)
    if (driver != nullptr && std::strcmp(model.driver, driver) == 0)
      return &model;
  return nullptr;
}

namespace {

// The label sizes of the PPDs by their PWG names (whose name part takes no
// dots: the 1.25 x 0.25 in label is a price tag), 4 x 6 in first (the
// default), then the custom size range: 0.25 x 0.25 in to 4.25 x 100 in.
const char *const kMedia[] = {
    "oe_4x6-label_4x6in",       "oe_4x4-label_4x4in",     "oe_4x3-label_4x3in",
    "oe_4x2-label_4x2in",       "oe_3x2-label_3x2in",     "oe_2x1-label_2x1in",
    "oe_price-tag_1.25x0.25in", "om_100x150mm_100x150mm", "om_60x40mm_60x40mm",
    "om_50x30mm_50x30mm",       "custom_min_0.25x0.25in", "custom_max_4.25x100in",
};

const char *const kPrintModes[] = {"printer-default", "direct-thermal", "thermal-transfer",
                                   nullptr};
const char *const kPrintModeChoices[] = {"PrinterS", "Thermal", "Thermal_Transfer"};
const char *const kPrintModes03[] = {"printer-default", "direct-thermal", "thermal-transfer",
                                     "automatic", nullptr};
const char *const kPrintModeChoices03[] = {"PrinterS", "Thermal", "Thermal_Transfer", "Auto"};

// Feed offsets in the printer's offset steps; IPP keywords start with a
// letter, so negative steps are "minus-".
const char *const kFeedOffsets[] = {"printer-default",
                                    "minus-20",
                                    "minus-10",
                                    "minus-5",
                                    "minus-2",
                                    "minus-1",
                                    "0",
                                    "1",
                                    "2",
                                    "5",
                                    "10",
                                    "20",
                                    "30",
                                    nullptr};
const char *const kFeedOffsetChoices[] = {"PrinterS", "-20", "-10", "-5", "-2", "-1", "0",
                                          "1",        "2",   "5",   "10", "20", "30"};

const char *const kCommandSets[] = {"zpl", "tspl", nullptr};
const char *const kCommandSetChoices[] = {"ZPL", "TSPL"};

const char *const kDensities[] = {"neutral", "normal",  "lighter", "light",
                                  "thicken", "thicker", nullptr};
const char *const kDensityChoices[] = {"neutral", "normal",  "lighter",
                                       "light",   "thicken", "thicker"};

const char *const kNegatives[] = {"off", "on", nullptr};
const char *const kNegativeChoices[] = {"off", "on"};

// The tear-off position of TSPL printers in millimetres. PAPPL 1.3 takes
// no label-tear-offset-configured from IPP or its web pages, so it is an
// owner's setting of its own.
const char *const kTearOffs[] = {"minus-3", "minus-2", "minus-1", "0", "1", "2", "3", nullptr};
const char *const kTearOffChoices[] = {"-3", "-2", "-1", "0", "1", "2", "3"};

const char *const kPerforated[] = {"off", "on", nullptr};
const char *const kPerforatedChoices[] = {"", "Perforated"};

const VendorSetting kPrintMode = {"label-print-mode", "Print_Mode", kPrintModes, kPrintModeChoices};
const VendorSetting kPrintMode03 = {"label-print-mode", "Print_Mode", kPrintModes03,
                                    kPrintModeChoices03};
const VendorSetting kFeedOffset = {"label-feed-offset", "Offset", kFeedOffsets, kFeedOffsetChoices};
const VendorSetting kCommandSet = {"label-command-set", "Tag_Commands", kCommandSets,
                                   kCommandSetChoices};
const VendorSetting kDensity = {"label-density", "Gamma", kDensities, kDensityChoices};
const VendorSetting kNegative = {"label-negative", "Negative", kNegatives, kNegativeChoices};
const VendorSetting kTearOff = {"label-tear-off", "zeTearOffPosition", kTearOffs, kTearOffChoices};
const VendorSetting kPerforatedMedia = {"label-perforated-media", "zeMediaTracking", kPerforated,
                                        kPerforatedChoices};

const VendorSetting *const kSettings[] = {&kPrintMode, &kFeedOffset, &kCommandSet,
                                          &kDensity,   &kNegative,   nullptr};
const VendorSetting *const kSettingsTspl[] = {&kPrintMode, &kFeedOffset, &kCommandSet, &kDensity,
                                              &kNegative,  &kTearOff,    nullptr};
const VendorSetting *const kSettings03[] = {
    &kPrintMode03, &kFeedOffset, &kCommandSet, &kDensity, &kNegative, &kPerforatedMedia, nullptr};

} // namespace

int ChoiceIndex(const VendorSetting &setting, const char *keyword) {
  for (int i = 0; setting.choices[i] != nullptr; ++i)
    if (std::strcmp(setting.choices[i], keyword) == 0)
      return i;
  return -1;
}

const char *VendorDefault(const PrinterModel &model, const VendorSetting &setting) {
  // The command set is the printer's own language.
  if (std::strcmp(setting.name, "label-command-set") == 0)
    return IsZpl(model) ? "zpl" : "tspl";
  if (std::strcmp(setting.name, "label-tear-off") == 0)
    return "0";
  return setting.choices[0];
}

namespace {

// The keyword attributes of a vendor setting: its choices and its default.
void AddSetting(ipp_t *attrs, const PrinterModel &model, const VendorSetting &setting) {
  int count = 0;
  while (setting.choices[count] != nullptr)
    ++count;
  const std::string name = setting.name;
  ippAddStrings(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, (name + "-supported").c_str(), count,
                nullptr, setting.choices);
  ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, (name + "-default").c_str(), nullptr,
               VendorDefault(model, setting));
}

// Copies a C string into a fixed field, always terminated.
template <size_t N> void Copy(char (&field)[N], const char *text) {
  std::strncpy(field, text, N - 1);
  field[N - 1] = '\0';
}

} // namespace

const VendorSetting *const *VendorSettings(const PrinterModel &model) {
  if (model.variant_03)
    return kSettings03;
  return IsZpl(model) ? kSettings : kSettingsTspl;
}

bool DriverCallback(pappl_system_t * /*system*/, const char *driver_name,
                    const char * /*device_uri*/, const char * /*device_id*/,
                    pappl_pr_driver_data_t *data, ipp_t **attrs, void * /*context*/) {
  const PrinterModel *model = FindModel(driver_name);
  if (model == nullptr)
    return false;

  data->extension = const_cast<PrinterModel *>(model);
  SetPrintCallbacks(*model, data);
  data->delete_cb = PrinterDeleted;
  Copy(data->make_and_model, model->description);
  data->kind = PAPPL_KIND_LABEL | PAPPL_KIND_ROLL;
  data->ppm = 60; // labels a minute at 4 in/s
  // Labels are designed upright on the roll.
  data->orient_default = IPP_ORIENT_PORTRAIT;
  data->quality_default = IPP_QUALITY_NORMAL;

  // bi-level: the gamma threshold (barcodes, text); monochrome: a halftone.
  data->color_supported = PAPPL_COLOR_MODE_BI_LEVEL | PAPPL_COLOR_MODE_MONOCHROME;
  data->color_default = PAPPL_COLOR_MODE_BI_LEVEL;
  data->content_default = PAPPL_CONTENT_AUTO;
  // 8-bit grey only: PAPPL 1.3 hands PWG raster lines to the driver as the
  // client sent them, so the printer lists the one type the engine reads
  // (a 1-bit page would arrive as if it were grey).
  data->raster_types = PAPPL_PWG_RASTER_TYPE_SGRAY_8;
  data->force_raster_type = PAPPL_PWG_RASTER_TYPE_SGRAY_8;
  data->sides_supported = PAPPL_SIDES_ONE_SIDED;
  data->sides_default = PAPPL_SIDES_ONE_SIDED;

  data->num_resolution = 1;
  data->x_resolution[0] = data->y_resolution[0] = model->dpi;
  data->x_default = data->y_default = model->dpi;

  // Labels print to their edges.
  data->borderless = true;
  data->left_right = data->bottom_top = 0;
  data->num_media = static_cast<int>(sizeof kMedia / sizeof kMedia[0]);
  for (int i = 0; i < data->num_media; ++i)
    data->media[i] = kMedia[i];
  data->num_source = 1;
  data->source[0] = "main-roll";
  data->num_type = 1;
  data->type[0] = "labels";
  // The shifts, in hundredths of millimetres: the PPDs' -10 to 10 mm.
  data->top_offset_supported[0] = data->left_offset_supported[0] = -1000;
  data->top_offset_supported[1] = data->left_offset_supported[1] = 1000;
  data->tracking_supported = PAPPL_MEDIA_TRACKING_CONTINUOUS | PAPPL_MEDIA_TRACKING_GAP |
                             PAPPL_MEDIA_TRACKING_MARK | PAPPL_MEDIA_TRACKING_WEB;
  pappl_media_col_t &ready = data->media_ready[0];
  Copy(ready.size_name, kMedia[0]);
  if (const pwg_media_t *pwg = pwgMediaForPWG(ready.size_name)) {
    ready.size_width = pwg->width;
    ready.size_length = pwg->length;
  }
  Copy(ready.source, "main-roll");
  Copy(ready.type, "labels");
  data->media_default = ready;

  // Labels are torn off; the position is the TSPL printers' label-tear-off.
  data->mode_supported = PAPPL_LABEL_MODE_TEAR_OFF;
  data->mode_configured = PAPPL_LABEL_MODE_TEAR_OFF;
  // Print speed in hundredths of millimetres a second, 1 to 12 in/s; 0
  // leaves the printer's own speed.
  data->speed_supported[0] = 2540;
  data->speed_supported[1] = 12 * 2540;
  data->speed_default = 0;
  // Sixteen darkness levels, 0 to 15.
  data->darkness_supported = 16;
  data->darkness_configured = kDarknessPrinterDefault;
  data->darkness_default = 0;

  // The printers have no light, sound or display to identify themselves.
  data->identify_supported = PAPPL_IDENTIFY_ACTIONS_NONE;
  data->identify_default = PAPPL_IDENTIFY_ACTIONS_NONE;
  // They use labels, how many are left no one tells.
  data->has_supplies = true;

  // What clients of a driverless printer ask for, as a one-sided,
  // monochrome printer can honestly answer: no preferred attributes, no
  // rendering intents beyond the automatic one, back sides as they come.
  *attrs = ippNew();
  ippAddBoolean(*attrs, IPP_TAG_PRINTER, "preferred-attributes-supported", 0);
  ippAddString(*attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-rendering-intent-default", nullptr,
               "auto");
  ippAddString(*attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-rendering-intent-supported",
               nullptr, "auto");
  ippAddString(*attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "pwg-raster-document-sheet-back", nullptr,
               "normal");

  // The owner's printer settings.
  int count = 0;
  for (const VendorSetting *const *s = VendorSettings(*model); *s != nullptr; ++s) {
    data->vendor[count++] = (*s)->name;
    AddSetting(*attrs, *model, **s);
  }
  data->num_vendor = count;
  return true;
}

} // namespace vellum_app
