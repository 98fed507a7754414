// libFuzzer target: arbitrary bytes as the raster stream, with printer
// options chosen by the first bytes, through the filter's whole page
// pipeline.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

// The filter's entry point, renamed for this build.
int VellumFilterMain(int argc, char *argv[]);

namespace {

constexpr size_t kOptionBytes = 8;

std::string ScratchPath(const char *suffix) {
  return "/tmp/vellum-fuzz-" + std::to_string(getpid()) + suffix;
}

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

void AddOption(std::string &ppd, const std::string &keyword, const std::string &choice) {
  ppd += "*OpenUI *" + keyword + "/" + keyword + ": PickOne\n";
  ppd += "*Default" + keyword + ": " + choice + "\n";
  ppd += "*" + keyword + " " + choice + "/" + choice + ": \"\"\n";
  ppd += "*CloseUI: *" + keyword + "\n";
}

// The PPD the option bytes choose; an option may also be left out.
std::string PpdFor(const uint8_t *o) {
  static const int kModels[] = {18, 48, 0, 16, 17, 5};
  static const char *const kTags[] = {nullptr, "ZPL", "TSPL"};
  static const char *const kGammas[] = {"normal",  "lighter", "light", "thicken",
                                        "thicker", "other",   nullptr};
  static const char *const kNegatives[] = {"off", "on", nullptr};
  static const char *const kTracking[] = {"Auto",     "Continuous", "Web",  "Mark",
                                          "PrinterS", "Perforated", nullptr};
  static const char *const kModes[] = {"Thermal", "Thermal_Transfer", "Auto", nullptr};
  std::string ppd =
      "*PPD-Adobe: \"4.3\"\n*cupsModelNumber: " + std::to_string(kModels[o[0] % 6]) + "\n";
  const auto add = [&ppd](const char *keyword, const char *choice) {
    if (choice != nullptr)
      AddOption(ppd, keyword, choice);
  };
  add("Tag_Commands", kTags[(o[0] / 6) % 3]);
  add("yReference", NumberChoice(o[1]).c_str());
  add("zeReference", NumberChoice(o[2]).c_str());
  add("Gamma", kGammas[o[3] % 7]);
  add("Negative", kNegatives[(o[3] / 7) % 3]);
  add("Offset", NumberChoice(o[4]).c_str());
  add("Darkness", o[5] & 1 ? "PrinterS" : "10");
  add("zePrintRate", NumberChoice(o[5] >> 1).c_str());
  add("zeMediaTracking", kTracking[o[6] % 7]);
  add("Print_Mode", kModes[(o[6] / 7) % 4]);
  add("zeTearOffPosition", NumberChoice(o[7]).c_str());
  return ppd;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // The printer data goes nowhere; the job query finds no scheduler.
  const int null_fd = open("/dev/null", O_WRONLY);
  dup2(null_fd, 1);
  close(null_fd);
  setenv("LC_ALL", "C", 1);
  setenv("CUPS_SERVER", ScratchPath(".sock").c_str(), 1);
  setenv("PPD", ScratchPath(".ppd").c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < kOptionBytes)
    return 0;
  std::ofstream(ScratchPath(".ppd"), std::ios::binary) << PpdFor(data);
  const std::string raster = ScratchPath(".ras");
  std::ofstream(raster, std::ios::binary)
      .write(reinterpret_cast<const char *>(data + kOptionBytes),
             static_cast<std::streamsize>(size - kOptionBytes));
  std::string args[] = {"vellumfilter", "1", "fuzz", "title", "1", "", raster};
  std::vector<char *> argv;
  for (std::string &arg : args)
    argv.push_back(arg.data());
  argv.push_back(nullptr);
  VellumFilterMain(static_cast<int>(argv.size() - 1), argv.data());
  return 0;
}
