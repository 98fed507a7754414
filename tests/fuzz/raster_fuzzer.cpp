// libFuzzer target: arbitrary bytes as the raster stream and as the job's
// options argument, with the printer's PPD chosen by the first bytes,
// through the filter's whole page pipeline.
//
// Input: 8 option bytes (model number and each option's default choice, or
// none), one length byte n, n bytes of options argument (as `lp -o` gives
// the filter), then the raster stream.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "memory_file.h"

// The filter's entry point, renamed for this build.
int VellumFilterMain(int argc, char *argv[]);

// Allocations far beyond any page the fuzz build takes fail instead of
// being made: libcups then refuses a header whose row it cannot hold, as it
// would on a machine without the memory, and no execution spends its time
// clearing gigabytes.
extern "C" const char *__asan_default_options() {
  return "max_allocation_size_mb=64:allocator_may_return_null=1";
}

namespace {

constexpr size_t kOptionBytes = 8;

MemoryFile ppd_file, raster_file;

// A millimetre or number choice: small values, and the extremes atoi meets.
std::string NumberChoice(uint8_t byte) {
  static const char *const kSpecial[] = {"PrinterS",    "0",
                                         "100000",      "-100000",
                                         "2147483647",  "-2147483648",
                                         "99999999999", "99999999999999999999",
                                         "abc",         "-"};
  constexpr size_t kCount = sizeof kSpecial / sizeof kSpecial[0];
  if (byte < kCount)
    return kSpecial[byte];
  return std::to_string(static_cast<int8_t>(byte));
}

// An option with its choices, the first marked by default; none when
// `choices` is empty. Every choice the shipped PPDs have is there, so that
// the options argument can mark any of them.
void AddOption(std::string &ppd, const std::string &keyword,
               const std::vector<std::string> &choices) {
  if (choices.empty())
    return;
  ppd += "*OpenUI *" + keyword + "/" + keyword + ": PickOne\n";
  ppd += "*Default" + keyword + ": " + choices[0] + "\n";
  for (const std::string &choice : choices)
    ppd += "*" + keyword + " " + choice + "/" + choice + ": \"\"\n";
  ppd += "*CloseUI: *" + keyword + "\n";
}

// The choices of a keyword with `marked` first; none when marked is null.
std::vector<std::string> Choices(const char *marked, std::vector<std::string> all) {
  if (marked == nullptr)
    return {};
  all.insert(all.begin(), marked);
  return all;
}

std::vector<std::string> Numbers(uint8_t marked) {
  return Choices(NumberChoice(marked).c_str(), {"PrinterS", "-10", "-1", "0", "1", "2", "30"});
}

// The PPD the option bytes choose.
std::string PpdFor(const uint8_t *o) {
  static const int kModels[] = {18, 48, 0, 16, 17, 5};
  static const char *const kTags[] = {nullptr, "ZPL", "TSPL"};
  static const char *const kGammas[] = {"normal",  "lighter", "light", "thicken",
                                        "thicker", "neutral", "other", nullptr};
  static const char *const kNegatives[] = {"off", "on", nullptr};
  static const char *const kTracking[] = {"Auto",     "Continuous", "Web",  "Mark",
                                          "PrinterS", "Perforated", nullptr};
  static const char *const kModes[] = {"Thermal", "Thermal_Transfer", "Auto", nullptr};
  static const char *const kHalftones[] = {"Threshold", "Ordered", "Diffusion", nullptr};
  std::string ppd =
      "*PPD-Adobe: \"4.3\"\n*cupsModelNumber: " + std::to_string(kModels[o[0] % 6]) + "\n";
  AddOption(ppd, "Tag_Commands", Choices(kTags[(o[0] / 6) % 3], {"ZPL", "TSPL"}));
  AddOption(ppd, "yReference", Numbers(o[1]));
  AddOption(ppd, "zeReference", Numbers(o[2]));
  AddOption(
      ppd, "Gamma",
      Choices(kGammas[o[3] % 8], {"normal", "lighter", "light", "thicken", "thicker", "neutral"}));
  AddOption(ppd, "Negative", Choices(kNegatives[(o[3] / 8) % 3], {"off", "on"}));
  AddOption(ppd, "Halftone",
            Choices(kHalftones[(o[3] / 24) % 4], {"Threshold", "Ordered", "Diffusion"}));
  AddOption(ppd, "Offset", Numbers(o[4]));
  AddOption(ppd, "Darkness", Choices(o[5] & 1 ? "PrinterS" : "10", {"PrinterS", "0", "15"}));
  AddOption(ppd, "zePrintRate", Numbers(o[5] >> 1));
  AddOption(ppd, "zeMediaTracking",
            Choices(kTracking[o[6] % 7],
                    {"Auto", "Continuous", "Web", "Mark", "PrinterS", "Perforated"}));
  AddOption(ppd, "Print_Mode",
            Choices(kModes[(o[6] / 7) % 4], {"Thermal", "Thermal_Transfer", "Auto"}));
  AddOption(ppd, "zeTearOffPosition", Numbers(o[7]));
  return ppd;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // The printer data goes nowhere; the job query finds no scheduler.
  const int null_fd = open("/dev/null", O_WRONLY);
  dup2(null_fd, 1);
  close(null_fd);
  ppd_file = NewMemoryFile("vellum-fuzz.ppd");
  raster_file = NewMemoryFile("vellum-fuzz.ras");
  setenv("LC_ALL", "C", 1);
  setenv("CUPS_SERVER", "/nonexistent/vellum-fuzz.sock", 1);
  setenv("PPD", ppd_file.path.c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < kOptionBytes + 1)
    return 0;
  const std::string ppd = PpdFor(data);
  Fill(ppd_file, ppd.data(), ppd.size());
  const size_t options_size = std::min<size_t>(data[kOptionBytes], size - kOptionBytes - 1);
  const char *options_begin = reinterpret_cast<const char *>(data + kOptionBytes + 1);
  std::string options(options_begin, options_size);
  const size_t raster_at = kOptionBytes + 1 + options_size;
  Fill(raster_file, data + raster_at, size - raster_at);
  std::string args[] = {"vellumfilter", "1", "fuzz", "title", "1", options, raster_file.path};
  std::vector<char *> argv;
  for (std::string &arg : args)
    argv.push_back(arg.data());
  argv.push_back(nullptr);
  VellumFilterMain(static_cast<int>(argv.size() - 1), argv.data());
  return 0;
}
