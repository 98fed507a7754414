// vellumpreview: shows what a label printer would receive from a job the
// filters wrote: a summary of the job and each label, and each label as a
// PNG picture, black where the printer puts a dot.
//
//   vellumpreview [-o PREFIX] [-r DPI] [-v] [JOB]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <getopt.h>
#include <png.h>
#include <unistd.h>

#include "job_decoder.h"

using vellum_preview::DecodedJob;
using vellum_preview::JobItem;
using vellum_preview::Label;

namespace {

// The largest picture drawn; a job may declare any label size.
constexpr uint64_t kMaxPixels = uint64_t{1} << 30;

std::string Fixed1(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

std::string Hex(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value);
  return text;
}

const char *MediaTracking(unsigned value) {
  switch (value) {
  case 0x00:
    return "web (gap)";
  case 0x01:
    return "mark (or perforated)";
  case 0x02:
    return "continuous";
  case 0x03:
    return "auto";
  default:
    return "unknown";
  }
}

const char *PrintMode(int value) {
  switch (value) {
  case 0x00:
    return "direct thermal";
  case 0x01:
    return "thermal transfer";
  case 0x02:
    return "auto";
  default:
    return "unknown";
  }
}

// What the job sets up before its first label.
std::string SetupSummary(const DecodedJob &job) {
  std::string tracking = "printer's own", offset = "none";
  size_t start = 0; // of the job's first frame, after the status queries
  for (const JobItem &item : job.items) {
    if (item.kind == JobItem::Kind::kQuery) {
      start = item.offset + item.text.size();
      continue;
    }
    if (item.kind == JobItem::Kind::kFrame && item.code == 0x16)
      tracking = std::string(MediaTracking(item.payload[0])) + " (" + Hex(item.payload[0]) + ")";
    else if (item.kind == JobItem::Kind::kFrame && item.code == 0x36)
      offset = std::to_string(item.payload[0] | item.payload[1] << 8) + " dots";
    else if (item.kind == JobItem::Kind::kText && item.text == "\r\n" && item.offset - start < 30)
      offset = "printer's own";
    else if (item.kind != JobItem::Kind::kFrame)
      break;
  }
  return "media tracking " + tracking + ", feed offset " + offset;
}

std::string LabelSummary(const Label &label, unsigned dpi) {
  const uint64_t wide = vellum_preview::DotsWide(label), high = vellum_preview::DotsHigh(label);
  std::string text = label.tspl ? "TSPL" : "ZPL";
  text += ", " + std::to_string(wide) + " x " + std::to_string(high) + " dots";
  if (label.tspl)
    text += " (" + label.size + ")";
  else
    text += " (" + Fixed1(wide * 25.4 / dpi) + " x " + Fixed1(high * 25.4 / dpi) + " mm at " +
            std::to_string(dpi) + " dpi)";
  const auto or_own = [](const std::string &value) {
    return value.empty() ? std::string("printer's own") : value;
  };
  text += ", darkness " + or_own(label.darkness) + ", speed " + or_own(label.speed);
  if (label.tspl)
    text += ", tear-off " + or_own(label.tear_off);
  text += ", copies " + (label.copies.empty() ? std::string("?") : label.copies);
  text += ", " + std::to_string(label.bands) + (label.bands == 1 ? " band" : " bands");
  if (label.print_mode >= 0)
    text += ", print mode " + std::string(PrintMode(label.print_mode));
  if (label.command_set >= 0)
    text += std::string(", command set ") + (label.command_set == 1 ? "ZPL" : "TSPL");
  if (!label.complete)
    text += ", INCOMPLETE";
  return text;
}

// Draws the label in grey (0 where the printer puts a dot) and writes it.
bool WritePng(const Label &label, const std::string &path, std::string *error) {
  const uint64_t wide = vellum_preview::DotsWide(label), high = vellum_preview::DotsHigh(label);
  if (wide == 0 || high == 0 || wide > kMaxPixels / high) {
    *error =
        "cannot draw a label of " + std::to_string(wide) + " x " + std::to_string(high) + " dots";
    return false;
  }
  std::vector<png_byte> pixels(wide * high, 255);
  for (uint64_t y = 0; y < label.rows.size() && y < high; ++y)
    for (uint64_t x = 0; x < wide; ++x)
      if (vellum_preview::IsDot(label, label.rows[y], x))
        pixels[y * wide + x] = 0;
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(wide);
  image.height = static_cast<png_uint_32>(high);
  image.format = PNG_FORMAT_GRAY;
  if (!png_image_write_to_file(&image, path.c_str(), 0, pixels.data(), 0, nullptr)) {
    *error = path + ": " + image.message;
    return false;
  }
  return true;
}

// Prints the usage to `out`; returns the exit status that goes with it.
int Usage(const char *program, FILE *out, int status) {
  std::fprintf(out, "usage: %s [-o PREFIX] [-r DPI] [-v] [JOB]\n", program);
  std::fprintf(out, "  -o PREFIX  draw each label to PREFIX-1.png, PREFIX-2.png, ...\n"
                    "  -r DPI     resolution for sizes in mm of ZPL labels (203)\n"
                    "  -v         list every frame, command and band with its offset\n"
                    "  --help     show this help; --version: show the version\n"
                    "  JOB        the printer job (standard input when absent or -)\n");
  return status;
}

} // namespace

int main(int argc, char **argv) {
  std::string prefix;
  unsigned dpi = 203;
  bool verbose = false;
  static const option kLong[] = {
      {"help", no_argument, nullptr, 'h'}, {"version", no_argument, nullptr, 'V'}, {}};
  int flag;
  while ((flag = getopt_long(argc, argv, "o:r:v", kLong, nullptr)) != -1) {
    if (flag == 'o') {
      prefix = optarg;
    } else if (flag == 'r' && std::atoi(optarg) > 0) {
      dpi = static_cast<unsigned>(std::atoi(optarg));
    } else if (flag == 'v') {
      verbose = true;
    } else if (flag == 'h') {
      return Usage(argv[0], stdout, 0);
    } else if (flag == 'V') {
      std::printf("vellumpreview %s\n", VELLUM_VERSION);
      return 0;
    } else {
      return Usage(argv[0], stderr, 2);
    }
  }
  if (argc - optind > 1)
    return Usage(argv[0], stderr, 2);
  const std::string name = optind < argc ? argv[optind] : "-";

  std::ostringstream bytes;
  if (name == "-") {
    bytes << std::cin.rdbuf();
  } else {
    std::ifstream in(name, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "vellumpreview: cannot open %s\n", name.c_str());
      return 2;
    }
    bytes << in.rdbuf();
  }
  const std::string job_bytes = bytes.str();

  const DecodedJob job = vellum_preview::DecodeJob(job_bytes);
  std::string error = job.error;
  const std::vector<Label> labels = vellum_preview::Labels(job, &error);
  if (verbose)
    for (const JobItem &item : job.items)
      std::printf("%10zu  %s\n", item.offset, vellum_preview::Describe(item).c_str());

  size_t programs = 0, queries = 0;
  for (const JobItem &item : job.items) {
    programs += item.kind == JobItem::Kind::kProgram ? 1 : 0;
    queries += item.kind == JobItem::Kind::kQuery ? 1 : 0;
  }
  std::string passed;
  if (programs > 0)
    passed += ", " + std::to_string(programs) + " printer program" + (programs == 1 ? "" : "s");
  if (queries > 0)
    passed += ", " + std::to_string(queries) + (queries == 1 ? " status query" : " status queries");
  std::printf("job: %zu bytes, %zu label%s%s; %s\n", job_bytes.size(), labels.size(),
              labels.size() == 1 ? "" : "s", passed.c_str(), SetupSummary(job).c_str());
  bool drawn = true;
  for (size_t i = 0; i < labels.size(); ++i) {
    std::printf("label %zu at byte %zu: %s\n", i + 1, labels[i].offset,
                LabelSummary(labels[i], dpi).c_str());
    if (prefix.empty())
      continue;
    const std::string path = prefix + "-" + std::to_string(i + 1) + ".png";
    std::string problem;
    if (WritePng(labels[i], path, &problem)) {
      std::printf("  drawn to %s\n", path.c_str());
    } else {
      std::fprintf(stderr, "vellumpreview: label %zu: %s\n", i + 1, problem.c_str());
      drawn = false;
    }
  }
  if (!error.empty()) {
    std::fprintf(stderr, "vellumpreview: malformed job %s\n", error.c_str());
    return 1;
  }
  return drawn ? 0 : 1;
}
