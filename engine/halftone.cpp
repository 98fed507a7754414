// Halftones for pictures: an ordered clustered-dot screen and serpentine
// error diffusion, beside the plain gamma threshold that barcodes and text
// want. Both take the grey after inversion and shifts, use the page's gamma
// curve as their tone curve, and leave pure black and pure white pixels
// exactly as the threshold prints them. They decide every pixel light (255)
// or dark (0) in place; the renderer packs the row as for any other.
#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <vector>

#if defined(__SSE2__) && !defined(VELLUM_NO_SIMD)
#include <emmintrin.h>
#define VELLUM_HALFTONE_SSE2 1
#endif

#include "engine.h"

namespace {

// A 45-degree clustered-dot screen of two dots per 8 x 8 cell: as the grey
// darkens, each dot grows from its centre, which a thermal head's dot gain
// blurs far less than scattered single dots. Entry k turns black once the
// darkness passes (k + 0.5) / 64.
constexpr uint8_t kScreen[8][8] = {
    {24, 10, 12, 26, 35, 47, 49, 37}, {8, 0, 2, 14, 45, 59, 61, 51},
    {22, 6, 4, 16, 43, 57, 63, 53},   {30, 20, 18, 28, 33, 41, 55, 39},
    {34, 46, 48, 36, 25, 11, 13, 27}, {44, 58, 60, 50, 9, 1, 3, 15},
    {42, 56, 62, 52, 23, 7, 5, 17},   {32, 40, 54, 38, 31, 21, 19, 29},
};

// Whether grey v is pure black or pure white: such pixels print as the
// threshold prints them and take no part in diffusion.
bool IsPure(unsigned char v) { return v == 0 || v == 255; }

// For each screen entry, the number of grey values that print black there:
// the tone curve is non-decreasing, so they are 0 up to that number.
std::array<uint8_t, 64> ScreenCuts(const unsigned char *tone) {
  std::array<uint8_t, 64> cuts{};
  for (unsigned k = 0; k < 64; ++k) {
    unsigned black = 0;
    // Black when the darkness (255 - tone) exceeds (k + 0.5) / 64 of 255.
    while (black < 256 && (255u - tone[black]) * 64 > k * 255 + 127)
      ++black;
    cuts[k] = static_cast<uint8_t>(black);
  }
  return cuts;
}

// The ordered screen: a pixel is light (255) when its grey reaches the cut
// of its place in the screen's cell, else dark (0).
void OrderedRow(HalftoneState &state, unsigned char *row, uint64_t width, uint32_t y,
                const unsigned char *tone) {
  if (state.screen_tone != tone) {
    state.screen_cuts = ScreenCuts(tone);
    state.screen_tone = tone;
  }
  const std::array<uint8_t, 64> &cuts = state.screen_cuts;
  alignas(16) uint8_t pattern[16];
  for (unsigned j = 0; j < 16; ++j)
    pattern[j] = cuts[kScreen[y % 8][j % 8]];
  uint64_t x = 0;
#ifdef VELLUM_HALFTONE_SSE2
  // Sixteen pixels at a time: light where max(v, cut) == v, that is v >= cut.
  const __m128i cut = _mm_load_si128(reinterpret_cast<const __m128i *>(pattern));
  for (; x + 16 <= width; x += 16) {
    __m128i *pixels = reinterpret_cast<__m128i *>(row + x);
    const __m128i v = _mm_loadu_si128(pixels);
    _mm_storeu_si128(pixels, _mm_cmpeq_epi8(_mm_max_epu8(v, cut), v));
  }
#endif
  for (; x < width; ++x)
    row[x] = row[x] >= pattern[x % 16] ? 0xFF : 0x00;
}

// The diffusion looks at a row in blocks of this many pixels: a block of pure
// pixels, the bulk of most labels, is passed over whole.
constexpr uint64_t kBlock = 16;
// Marks a pure pixel in the diffusion's row of starting values.
constexpr int32_t kPure = INT32_MIN;

// Clears up to kBlock errors.
void ZeroErrors(int32_t *errors, uint64_t count) {
  for (uint64_t i = 0; i < count; ++i)
    errors[i] = 0;
}

// Whether all kBlock pixels from p are pure.
bool BlockIsPure(const unsigned char *p) {
#ifdef VELLUM_HALFTONE_SSE2
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
  const __m128i pure =
      _mm_or_si128(_mm_cmpeq_epi8(v, _mm_setzero_si128()), _mm_cmpeq_epi8(v, _mm_set1_epi8(-1)));
  return _mm_movemask_epi8(pure) == 0xFFFF;
#else
  for (uint64_t i = 0; i < kBlock; ++i)
    if (!IsPure(p[i]))
      return false;
  return true;
#endif
}

// The starting values of the pixels x0 to end - 1 of a block that is not all
// pure: tone plus what the previous row sent (3/16 from the pixel that went
// before it there, 4/16 from the one above, 1/16 from the one after), or
// kPure. kPrevStep is the previous row's direction.
template <int kPrevStep>
void StartValues(const unsigned char *row, uint64_t x0, uint64_t end, const int32_t *tone16,
                 const int32_t *prev_error, int32_t *start) {
  for (uint64_t x = x0; x < end; ++x) {
    const size_t cell = x + 1;
    const int32_t received =
        (3 * prev_error[cell + kPrevStep] + 4 * prev_error[cell] + prev_error[cell - kPrevStep]) >>
        4;
    start[x] = IsPure(row[x]) ? kPure : tone16[row[x]] + received;
  }
}

// One step of the walk along a row: pixel x with the error `ahead` from the
// pixel before it becomes light (255) or dark (0); returns the error for the
// pixel after it. A pure pixel stays as it is.
inline int32_t Diffuse(uint64_t x, const int32_t *start, int32_t ahead, int32_t *error,
                       unsigned char *row) {
  if (start[x] == kPure) {
    error[x + 1] = 0;
    return 0;
  }
  const int32_t value = start[x] + ahead;
  // Selects rather than branches: the picture decides the outcome.
  const int32_t whiter = value - 255 * 16;
  const bool light = value >= 128 * 16;
  const int32_t remainder = light ? whiter : value;
  row[x] = static_cast<unsigned char>(-static_cast<int>(light));
  error[x + 1] = remainder;
  return remainder >> 1;
}

// Walks block b of a row in the direction kStep; a block of pure pixels
// passes no error on.
template <int kStep>
int32_t WalkBlock(uint64_t b, uint64_t width, const unsigned char *pure_blocks,
                  const int32_t *start, int32_t ahead, int32_t *error, unsigned char *row) {
  const uint64_t x0 = b * kBlock, count = std::min(kBlock, width - x0);
  if (pure_blocks[b]) {
    ZeroErrors(error + x0 + 1, count);
    return 0;
  }
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t x = kStep > 0 ? x0 + i : x0 + count - 1 - i;
    ahead = Diffuse(x, start, ahead, error, row);
  }
  return ahead;
}

// Error diffusion along one row: each pixel passes half of its error to the
// next pixel in the row's direction and 3/16, 4/16 and 1/16 to the pixels
// behind, below and beyond it in the next row (close to Floyd and
// Steinberg's 7, 3, 5 and 1 sixteenths; a half for the next pixel keeps the
// work from pixel to pixel short). Errors are kept in sixteenths of a grey
// level. A pure pixel ignores the error that reaches it and passes none on.
//
// The row goes in two passes: first every pixel's value before the error of
// its neighbour in the row, then the walk along the row, which turns each
// pixel light or dark in place, in the direction
// kStep (1 left to right, -1 right to left). prev_error and error hold the
// previous row's and this row's error of pixel x at x + 1, with a guard
// cell at each end.
template <int kStep>
void DiffuseRow(unsigned char *row, uint64_t width, const int32_t *tone16,
                const int32_t *prev_error, int32_t *error, int32_t *start,
                unsigned char *pure_blocks) {
  const uint64_t blocks = (width + kBlock - 1) / kBlock;
  for (uint64_t b = 0; b < blocks; ++b) {
    const uint64_t x0 = b * kBlock, end = std::min(x0 + kBlock, width);
    pure_blocks[b] = end - x0 == kBlock && BlockIsPure(row + x0);
    if (!pure_blocks[b])
      StartValues<-kStep>(row, x0, end, tone16, prev_error, start);
  }
  int32_t ahead = 0;
  for (uint64_t i = 0; i < blocks; ++i)
    ahead = WalkBlock<kStep>(kStep > 0 ? i : blocks - 1 - i, width, pure_blocks, start, ahead,
                             error, row);
}

// Error diffusion, left to right on even rows and right to left on odd ones.
void DiffusionRow(HalftoneState &state, unsigned char *row, uint64_t width, uint32_t y,
                  const unsigned char *tone) {
  if (y == 0 || state.prev_error.size() != width + 2) {
    state.prev_error.assign(width + 2, 0);
    state.error.assign(width + 2, 0);
    state.start.resize(width);
    state.pure_blocks.resize((width + kBlock - 1) / kBlock);
    for (unsigned v = 0; v < 256; ++v)
      state.tone16[v] = tone[v] * 16;
  }
  if (y % 2 == 0)
    DiffuseRow<1>(row, width, state.tone16.data(), state.prev_error.data(), state.error.data(),
                  state.start.data(), state.pure_blocks.data());
  else
    DiffuseRow<-1>(row, width, state.tone16.data(), state.prev_error.data(), state.error.data(),
                   state.start.data(), state.pure_blocks.data());
  state.prev_error.swap(state.error);
}

} // namespace

HalftoneMethod MarkedHalftone(const LabelOptions &options) {
  const char *choice = MarkedChoiceName(options, "Halftone");
  if (choice != nullptr && std::strcmp(choice, "Ordered") == 0)
    return kHalftoneOrdered;
  if (choice != nullptr && std::strcmp(choice, "Diffusion") == 0)
    return kHalftoneDiffusion;
  return kHalftoneThreshold;
}

void HalftoneRow(HalftoneState &state, unsigned char *row, uint64_t width, uint32_t y,
                 HalftoneMethod method, const unsigned char *tone) {
  if (method == kHalftoneOrdered)
    OrderedRow(state, row, width, y, tone);
  else
    DiffusionRow(state, row, width, y, tone);
}
