// Turns grey rows into 1-bit printer bitmap bands.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// VELLUM_NO_SIMD builds the plain loops on x86 too, as every other processor
// runs them.
#if defined(__SSE2__) && !defined(VELLUM_NO_SIMD) && defined(__BYTE_ORDER__) &&                    \
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#include <emmintrin.h>
#define VELLUM_PACK_SSE2 1
#endif

#include "engine.h"

namespace {

constexpr uint32_t kBandRows = 256;

// Gamma choices and their values, as texts the way the printer profile keeps
// them; anything else gets the last entry.
constexpr const char *kGammaChoices[] = {"normal", "lighter", "light", "thicken", "thicker"};
constexpr const char *kGammaValues[] = {"1.8", "0.7", "0.9", "3", "5", "1.0"};
constexpr size_t kGammaCount = sizeof kGammaValues / sizeof kGammaValues[0];

// Index into kGammaValues of the marked Gamma choice.
size_t GammaIndex(const LabelOptions &options) {
  const char *choice = MarkedChoiceName(options, "Gamma");
  if (choice == nullptr)
    return kGammaCount - 1;
  for (size_t i = 0; i < kGammaCount - 1; ++i) {
    if (std::strcmp(choice, kGammaChoices[i]) == 0)
      return i;
  }
  return kGammaCount - 1;
}

// Grey value v through the gamma curve, 0 to 255, computed exactly as the
// printer's threshold is defined.
unsigned char CorrectedValue(unsigned v, float gamma) {
  const auto normalizedValue = static_cast<float>(v / 255.0);
  const auto gammaCorrected = static_cast<float>(
      std::pow(static_cast<double>(normalizedValue), static_cast<double>(gamma)) * 255.0);
  const auto correctedValue = static_cast<unsigned>(gammaCorrected);
  return static_cast<unsigned char>(correctedValue & 0xFFu);
}

// A grey value is light when its corrected value has bit 7 set.
bool GreyIsLight(unsigned v, float gamma) { return (CorrectedValue(v, gamma) & 0x80u) != 0; }

// The light/dark decision of every grey value under one gamma. It depends on
// nothing else, so it is computed once from the exact per-pixel formula.
struct Decisions {
  std::array<bool, 256> light;
  std::array<unsigned char, 256> tone; // the corrected values, for the halftones
  unsigned threshold;                  // the smallest light value, 256 when none is
  bool is_threshold;                   // every value from the threshold up is light
};

Decisions BuildDecisions(size_t gamma_index) {
  Decisions d{};
  const auto gamma = static_cast<float>(std::atof(kGammaValues[gamma_index]));
  d.threshold = 256;
  d.is_threshold = true;
  for (unsigned v = 0; v < 256; ++v) {
    d.tone[v] = CorrectedValue(v, gamma);
    d.light[v] = GreyIsLight(v, gamma);
    if (d.light[v] && d.threshold == 256)
      d.threshold = v;
    d.is_threshold = d.is_threshold && d.light[v] == (v >= d.threshold);
  }
  d.is_threshold = d.is_threshold && d.threshold < 256;
  return d;
}

// The decisions of every gamma, built once for the whole process (jobs on
// other threads share them, read only).
const Decisions &DecisionsFor(size_t gamma_index) {
  static const std::array<Decisions, kGammaCount> all = [] {
    std::array<Decisions, kGammaCount> built{};
    for (size_t i = 0; i < kGammaCount; ++i)
      built[i] = BuildDecisions(i);
    return built;
  }();
  return all[gamma_index];
}

// What the rows of a page need from the options. The marks cannot change
// while a job prints, so they are read at each page's first row rather than
// per row.
constexpr char kFirstLine[] = "DEBUG: *CUPS_BYTES_PER_LINE = auto\n";

void ReadPageSettings(LabelJob &job, const cups_page_header2_t *header, uint64_t row_bytes) {
  RowState &rows = job.rows;
  rows.row_text = kFirstLine;
  if (job.model_number == 48)
    rows.row_text +=
        "header cupsBytesPerLine " + std::to_string(static_cast<int>(row_bytes)) + ".\n";
  rows.shifts = false;
  rows.xshift = 0;
  const char *choice = MarkedChoiceName(job.options, "zeReference");
  if (!IsMarked(job.options, "zeReference", "PrinterS") && choice != nullptr) {
    const int n = ParseInt(choice);
    rows.xshift = -MillimetresToDots(n, header->HWResolution[0]);
    rows.shifts = true;
    char line[96];
    std::snprintf(line, sizeof line, "DEBUG: *@@@@@@@左右偏移为: %d ， %d\n", rows.xshift, n);
    rows.row_text += line;
  }
  rows.gamma = GammaIndex(job.options);
  rows.halftone = MarkedHalftone(job.options);
}

// Moves the row right by shift pixels, filling what it uncovers with white
// (0xFF); a shift of the whole row or more turns it all white.
void ShiftRight(unsigned char *row, uint64_t width, uint64_t shift) {
  const uint64_t moved = shift < width ? shift : width;
  std::memmove(row + moved, row, width - moved);
  std::memset(row, 0xFF, moved);
}

// Moves the row left by shift pixels, filling what it uncovers with white;
// a shift of the whole row or more turns it all white.
void ShiftLeft(unsigned char *row, uint64_t width, uint64_t shift) {
  const uint64_t moved = shift < width ? shift : width;
  std::memmove(row, row + moved, width - moved);
  std::memset(row + width - moved, 0xFF, moved);
}

// Starts a band at row y with the family's bitmap header.
void StartBand(const LabelJob &job, const cups_page_header2_t *header, uint32_t y,
               uint64_t row_bytes) {
  std::fputs(errno == ERANGE ? "DEBUG: *转换出错\n" : "DEBUG: *输入字符串无效\n", job.log);
  const uint64_t remaining = header->cupsHeight - y;
  const uint64_t block_height = remaining < kBandRows ? remaining : kBandRows;
  const auto total = static_cast<unsigned long long>(block_height * row_bytes);
  const auto bytes = static_cast<unsigned long long>(row_bytes);
  if (job.model_number == 18) {
    std::fprintf(job.out, "^FO0,%u\n^GFB,%llu,%llu,%llu,", y, total, total, bytes);
  } else {
    std::fprintf(job.out, "\r\nBITMAP 0,%u,%llu,%llu,1,", y, bytes,
                 static_cast<unsigned long long>(block_height));
  }
}

// One output byte from up to 8 pixels: bit 7 - j for pixel j when it is
// light; pixels past the end of the row count as white.
unsigned char LightBits(const unsigned char *pixels, uint64_t count, const Decisions &d) {
  unsigned bits = 0;
  for (unsigned j = 0; j < 8; ++j) {
    const bool light = j < count ? d.light[pixels[j]] : d.light[255];
    bits |= static_cast<unsigned>(light) << (7 - j);
  }
  return static_cast<unsigned char>(bits);
}

#ifdef VELLUM_PACK_SSE2
// Reverses the bit order within each byte.
uint64_t MirrorBytes(uint64_t m) {
  m = ((m >> 1) & 0x5555555555555555u) | ((m & 0x5555555555555555u) << 1);
  m = ((m >> 2) & 0x3333333333333333u) | ((m & 0x3333333333333333u) << 2);
  return ((m >> 4) & 0x0F0F0F0F0F0F0F0Fu) | ((m & 0x0F0F0F0F0F0F0F0Fu) << 4);
}

// The printer bytes of 64 pixels: the top bit of each byte of
// pixel + bias (kAdd, saturating at 255) or of pixel - bias (saturating at 0)
// tells whether it is light.
template <bool kAdd>
inline uint64_t PackBlock(const unsigned char *pixels, __m128i bias, uint64_t flip) {
  const auto light16 = [pixels, bias](unsigned k) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(pixels + 16 * k));
    const __m128i top = kAdd ? _mm_adds_epu8(v, bias) : _mm_subs_epu8(v, bias);
    return static_cast<uint64_t>(static_cast<uint16_t>(_mm_movemask_epi8(top)));
  };
  const uint64_t light = light16(0) | light16(1) << 16 | light16(2) << 32 | light16(3) << 48;
  return MirrorBytes(light) ^ flip;
}

// Packs a row 64 pixels at a time; a last block that the row does not fill
// is packed from a copy padded with white.
template <bool kAdd>
void PackBlocks(const unsigned char *row, uint64_t width, __m128i bias, uint64_t flip,
                unsigned char *out) {
  uint64_t i = 0;
  for (; i + 64 <= width; i += 64, out += 8) {
    const uint64_t bytes = PackBlock<kAdd>(row + i, bias, flip);
    std::memcpy(out, &bytes, sizeof bytes);
  }
  if (i < width) {
    unsigned char last[64];
    std::memset(last, 0xFF, sizeof last);
    std::memcpy(last, row + i, width - i);
    const uint64_t bytes = PackBlock<kAdd>(last, bias, flip);
    std::memcpy(out, &bytes, (width - i + 7) / 8);
  }
}

void PackRowSse2(const unsigned char *row, uint64_t width, unsigned threshold, unsigned char flip,
                 unsigned char *out) {
  // v >= threshold exactly when the top bit of v + (128 - threshold), or of
  // v - (threshold - 128), is set.
  const uint64_t flip64 = flip * 0x0101010101010101u;
  if (threshold < 128)
    PackBlocks<true>(row, width, _mm_set1_epi8(static_cast<char>(128 - threshold)), flip64, out);
  else
    PackBlocks<false>(row, width, _mm_set1_epi8(static_cast<char>(threshold - 128)), flip64, out);
}
#endif

// Packs the row, one bit per pixel with the leftmost pixel in the most
// significant bit; ZPL marks dark pixels, TSPL light ones.
void PackRow(int32_t model_number, const unsigned char *row, uint64_t width, const Decisions &d,
             unsigned char *out) {
  const unsigned char flip = model_number == 48 ? 0x00 : 0xFF;
#ifdef VELLUM_PACK_SSE2
  if (d.is_threshold) {
    PackRowSse2(row, width, d.threshold, flip, out);
    return;
  }
#endif
  for (uint64_t i = 0; i < width; i += 8)
    *out++ = LightBits(row + i, width - i, d) ^ flip;
}

} // namespace

void OutputLine(LabelJob &job, const cups_page_header2_t *header, uint32_t y) {
  if (job.model_number != 18 && job.model_number != 48) {
    std::fputs(kFirstLine, job.log);
    return;
  }
  RowState &rows = job.rows;
  const uint32_t width = header->cupsBytesPerLine;
  const uint64_t row_bytes = (uint64_t{width} + 7) / 8;
  if (y % kBandRows == 0) {
    std::fputs(kFirstLine, job.log);
    StartBand(job, header, y, row_bytes);
    if (y == 0)
      ReadPageSettings(job, header, row_bytes);
    std::fputs(rows.row_text.c_str() + sizeof kFirstLine - 1, job.log);
  } else {
    // The row's debug lines leave in one write.
    std::fwrite(rows.row_text.data(), 1, rows.row_text.size(), job.log);
  }

  std::vector<unsigned char> &out = rows.out;
  out.resize(row_bytes);
  unsigned char *const buffer = job.buffer;
  const int32_t model = job.model_number;
  const Decisions &decisions = DecisionsFor(rows.gamma);
  if (rows.halftone != kHalftoneThreshold) {
    // A screen or a diffusion works on the row where it will print.
    if (rows.shifts && rows.xshift != 0) {
      const uint64_t magnitude = static_cast<uint64_t>(std::abs(int64_t{rows.xshift}));
      (rows.xshift > 0 ? ShiftRight : ShiftLeft)(buffer, width, magnitude);
    }
    HalftoneRow(job.halftone, buffer, width, y, rows.halftone, decisions.tone.data());
    // Light and dark pixels pack by the neutral threshold (light from 128).
    PackRow(model, buffer, width, DecisionsFor(kGammaCount - 1), out.data());
  } else if (rows.shifts && rows.xshift < 0) {
    // Moving the image left needs no move: the row is packed from its new
    // first pixel, and what the shift uncovers at the end is white.
    const uint64_t dropped = std::min<uint64_t>(0 - static_cast<int64_t>(rows.xshift), width);
    const uint64_t kept = width - dropped;
    PackRow(model, buffer + dropped, kept, decisions, out.data());
    const unsigned char white = model == 48 ? 0xFF : 0x00;
    std::fill(out.begin() + static_cast<long>((kept + 7) / 8), out.end(), white);
  } else {
    if (rows.shifts && rows.xshift > 0)
      ShiftRight(buffer, width, static_cast<uint64_t>(rows.xshift));
    PackRow(model, buffer, width, decisions, out.data());
  }
  std::fwrite(out.data(), 1, out.size(), job.out);
  std::fflush(job.out);
}
