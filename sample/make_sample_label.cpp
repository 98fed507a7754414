// Writes the demo's sample label as an 8-bit CUPS raster stream in the
// printer's colour space, black ink (cupsColorSpace K: 0 no ink, 255 full
// ink): a 4 x 2 in shipping label at 203 dpi with a frame, text, a barcode,
// a grey ramp and a black box.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <cups/raster.h>

namespace {

constexpr unsigned kDpi = 203;
constexpr unsigned kWidth = 4 * kDpi;
constexpr unsigned kHeight = 2 * kDpi;

// A 5 x 7 font for the characters the label uses; each row is 5 bits.
struct Glyph {
  char c;
  unsigned char rows[7];
};
constexpr Glyph kFont[] = {
    {'A', {14, 17, 17, 31, 17, 17, 17}}, {'B', {30, 17, 17, 30, 17, 17, 30}},
    {'C', {14, 17, 16, 16, 16, 17, 14}}, {'D', {30, 17, 17, 17, 17, 17, 30}},
    {'E', {31, 16, 16, 30, 16, 16, 31}}, {'H', {17, 17, 17, 31, 17, 17, 17}},
    {'I', {14, 4, 4, 4, 4, 4, 14}},      {'K', {17, 18, 20, 24, 20, 18, 17}},
    {'L', {16, 16, 16, 16, 16, 16, 31}}, {'M', {17, 27, 21, 21, 17, 17, 17}},
    {'N', {17, 25, 21, 19, 17, 17, 17}}, {'O', {14, 17, 17, 17, 17, 17, 14}},
    {'P', {30, 17, 17, 30, 16, 16, 16}}, {'S', {15, 16, 16, 14, 1, 1, 30}},
    {'T', {31, 4, 4, 4, 4, 4, 4}},       {'U', {17, 17, 17, 17, 17, 17, 14}},
    {'V', {17, 17, 17, 17, 17, 10, 4}},  {'X', {17, 17, 10, 4, 10, 17, 17}},
    {'0', {14, 17, 19, 21, 25, 17, 14}}, {'2', {14, 17, 1, 2, 4, 8, 31}},
    {'3', {30, 1, 1, 14, 1, 1, 30}},     {'4', {2, 6, 10, 18, 31, 2, 2}},
    {'7', {31, 1, 2, 4, 8, 8, 8}},       {':', {0, 4, 4, 0, 4, 4, 0}},
};

using Page = std::vector<unsigned char>;

void FillRect(Page &page, unsigned x0, unsigned y0, unsigned w, unsigned h, unsigned char grey) {
  for (unsigned y = y0; y < y0 + h && y < kHeight; ++y)
    for (unsigned x = x0; x < x0 + w && x < kWidth; ++x)
      page[y * kWidth + x] = grey;
}

void DrawText(Page &page, unsigned x, unsigned y, const std::string &text, unsigned scale) {
  for (const char c : text) {
    for (const Glyph &g : kFont) {
      if (g.c != c)
        continue;
      for (unsigned r = 0; r < 7; ++r)
        for (unsigned col = 0; col < 5; ++col)
          if (g.rows[r] & (0x10u >> col))
            FillRect(page, x + col * scale, y + r * scale, scale, scale, 0);
    }
    x += 6 * scale;
  }
}

Page DrawLabel() {
  Page page(size_t{kWidth} * kHeight, 255);
  FillRect(page, 8, 8, kWidth - 16, 4, 0);
  FillRect(page, 8, kHeight - 12, kWidth - 16, 4, 0);
  FillRect(page, 8, 8, 4, kHeight - 16, 0);
  FillRect(page, kWidth - 12, 8, 4, kHeight - 16, 0);
  DrawText(page, 24, 24, "VELLUM LABEL", 5);
  DrawText(page, 24, 80, "SHIP TO: DOCK 7", 3);
  // A barcode-like run of bars of one to three modules.
  const unsigned widths[] = {2, 1, 3, 1, 1, 2, 3, 1, 2, 2, 1, 3, 1, 2, 1, 1, 3, 2, 1, 2};
  unsigned x = 24;
  for (unsigned i = 0; i < 60; ++i) {
    const unsigned w = 3 * widths[i % 20];
    if (i % 2 == 0)
      FillRect(page, x, 130, w, 160, 0);
    x += w;
  }
  // A grey ramp from black to white.
  for (unsigned i = 0; i < 256; ++i)
    FillRect(page, 24 + i * 2, 310, 2, 30, static_cast<unsigned char>(i));
  DrawText(page, 24, 356, "4X2 IN 203 DPI", 3);
  FillRect(page, 620, 140, 150, 150, 0);
  return page;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT.ras\n", argv[0]);
    return 2;
  }
  const int fd = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) {
    std::perror(argv[1]);
    return 1;
  }
  cups_raster_t *ras = cupsRasterOpen(fd, CUPS_RASTER_WRITE);
  cups_page_header2_t header;
  std::memset(&header, 0, sizeof header);
  header.HWResolution[0] = header.HWResolution[1] = kDpi;
  header.PageSize[0] = 4 * 72;
  header.PageSize[1] = 2 * 72;
  header.cupsWidth = kWidth;
  header.cupsHeight = kHeight;
  header.cupsBitsPerColor = 8;
  header.cupsBitsPerPixel = 8;
  header.cupsBytesPerLine = kWidth;
  header.cupsColorOrder = CUPS_ORDER_CHUNKED;
  header.cupsColorSpace = CUPS_CSPACE_K;
  header.cupsCompression = 10; // darkness
  header.NumCopies = 1;
  Page page = DrawLabel();
  // Drawn as grey levels (0 black); the printer's raster carries ink.
  for (unsigned char &pixel : page)
    pixel = static_cast<unsigned char>(255 - pixel);
  const bool ok =
      cupsRasterWriteHeader2(ras, &header) &&
      cupsRasterWritePixels(ras, page.data(), static_cast<unsigned>(page.size())) == page.size();
  cupsRasterClose(ras);
  close(fd);
  if (!ok) {
    std::fprintf(stderr, "%s: could not write the raster\n", argv[1]);
    return 1;
  }
  return 0;
}
