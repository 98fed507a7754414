// Turns grey rows into 1-bit printer bitmap bands.
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "vellumfilter.h"

namespace {

constexpr uint32_t kBandRows = 256;

// Gamma choices and their values, as texts the way the printer profile keeps
// them; anything else gets the last entry.
constexpr const char *kGammaChoices[] = {"normal", "lighter", "light", "thicken", "thicker"};
constexpr const char *kGammaValues[] = {"1.8", "0.7", "0.9", "3", "5", "1.0"};
constexpr size_t kGammaCount = sizeof kGammaValues / sizeof kGammaValues[0];

// Index into kGammaValues of the marked Gamma choice.
size_t GammaIndex(ppd_file_t *ppd) {
  if (ppdFindOption(ppd, "Gamma") == nullptr)
    return kGammaCount - 1;
  const char *choice = MarkedChoiceName(ppd, "Gamma");
  if (choice == nullptr)
    return kGammaCount - 1;
  for (size_t i = 0; i < kGammaCount - 1; ++i) {
    if (std::strcmp(choice, kGammaChoices[i]) == 0)
      return i;
  }
  return kGammaCount - 1;
}

// Per gamma, the light/dark decision of every grey value. The decision
// depends on nothing else, so each table is built once from the exact
// per-pixel computation.
using LightTable = std::array<bool, 256>;

const LightTable &LightTableFor(size_t gamma_index) {
  static std::array<LightTable, kGammaCount> tables;
  static std::array<bool, kGammaCount> built{};
  if (!built[gamma_index]) {
    const auto gamma = static_cast<float>(std::atof(kGammaValues[gamma_index]));
    for (unsigned v = 0; v < 256; ++v)
      tables[gamma_index][v] = GreyIsLight(v, gamma);
    built[gamma_index] = true;
  }
  return tables[gamma_index];
}

// Starts a band at row y with the family's bitmap header.
void StartBand(const cups_page_header2_t *header, uint32_t y, uint64_t row_bytes) {
  std::fputs(errno == ERANGE ? "DEBUG: *转换出错\n" : "DEBUG: *输入字符串无效\n", stderr);
  const uint64_t remaining = header->cupsHeight - y;
  const uint64_t block_height = remaining < kBandRows ? remaining : kBandRows;
  const auto total = static_cast<unsigned long long>(block_height * row_bytes);
  const auto bytes = static_cast<unsigned long long>(row_bytes);
  if (ModelNumber == 18) {
    std::printf("^FO0,%u\n^GFB,%llu,%llu,%llu,", y, total, total, bytes);
  } else {
    std::printf("\r\nBITMAP 0,%u,%llu,%llu,1,", y, bytes,
                static_cast<unsigned long long>(block_height));
  }
}

// Moves the row left (positive millimetres) or right by zeReference.
void ShiftRowHorizontally(ppd_file_t *ppd, const cups_page_header2_t *header) {
  if (ppdIsMarked(ppd, "zeReference", "PrinterS"))
    return;
  const char *choice = MarkedChoiceName(ppd, "zeReference");
  if (choice == nullptr)
    return;
  const int n = std::atoi(choice);
  const int32_t xshift = -MillimetresToDots(n, header->HWResolution[0]);
  std::fprintf(stderr, "DEBUG: *@@@@@@@左右偏移为: %d ， %d\n", xshift, n);
  ShiftCells(Buffer, header->cupsBytesPerLine, 1, xshift);
}

// Packs the row, one bit per pixel with the leftmost pixel in the most
// significant bit; ZPL marks dark pixels, TSPL light ones. Pixels past the
// end of the row count as white.
void PackRow(const unsigned char *row, uint32_t width, const LightTable &light,
             std::vector<unsigned char> &out) {
  const bool mark_light = ModelNumber == 48;
  size_t k = 0;
  for (uint64_t i = 0; i < width; i += 8, ++k) {
    unsigned char byte = 0;
    for (unsigned j = 0; j < 8; ++j) {
      const bool is_light = i + j < width ? light[row[i + j]] : light[255];
      if (is_light == mark_light)
        byte |= static_cast<unsigned char>(0x80u >> j);
    }
    out[k] = byte;
  }
}

} // namespace

bool GreyIsLight(unsigned v, float gamma) {
  const auto normalizedValue = static_cast<float>(v / 255.0);
  const auto gammaCorrected = static_cast<float>(
      std::pow(static_cast<double>(normalizedValue), static_cast<double>(gamma)) * 255.0);
  const auto correctedValue = static_cast<unsigned>(gammaCorrected);
  return (correctedValue & 0x80u) != 0;
}

void OutputLine(ppd_file_t *ppd, cups_page_header2_t *header, uint32_t y) {
  std::fprintf(stderr, "DEBUG: *CUPS_BYTES_PER_LINE = %s\n", "auto");
  if (ModelNumber != 18 && ModelNumber != 48)
    return;

  const uint32_t width = header->cupsBytesPerLine;
  const uint64_t row_bytes = (uint64_t{width} + 7) / 8;
  if (y % kBandRows == 0)
    StartBand(header, y, row_bytes);
  if (ModelNumber == 48)
    std::fprintf(stderr, "header cupsBytesPerLine %d.\n", static_cast<int>(row_bytes));

  ShiftRowHorizontally(ppd, header);

  static std::vector<unsigned char> out;
  out.resize(row_bytes);
  PackRow(Buffer, width, LightTableFor(GammaIndex(ppd)), out);
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
}
