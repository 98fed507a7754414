#include "jobs.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

#include <cups/raster.h>

namespace vellum_bench {

namespace {

using Page = std::vector<unsigned char>;

struct Canvas {
  Page pixels;
  uint32_t width, height;
  double dots_per_mm;
};

// Darkens the canvas along a segment of the given width (in dots) with an
// anti-aliased edge one dot wide.
void Stroke(Canvas &c, double x0, double y0, double x1, double y1, double width) {
  const double half = width / 2;
  const auto lo_x = static_cast<long>(std::max(0.0, std::min(x0, x1) - half - 1));
  const auto hi_x = static_cast<long>(std::min<double>(c.width - 1, std::max(x0, x1) + half + 1));
  const auto lo_y = static_cast<long>(std::max(0.0, std::min(y0, y1) - half - 1));
  const auto hi_y = static_cast<long>(std::min<double>(c.height - 1, std::max(y0, y1) + half + 1));
  const double dx = x1 - x0, dy = y1 - y0;
  const double length2 = std::max(dx * dx + dy * dy, 1e-9);
  for (long y = lo_y; y <= hi_y; ++y) {
    for (long x = lo_x; x <= hi_x; ++x) {
      const double t = std::clamp(((x - x0) * dx + (y - y0) * dy) / length2, 0.0, 1.0);
      const double distance = std::hypot(x - (x0 + t * dx), y - (y0 + t * dy));
      const double ink = std::clamp(half + 0.5 - distance, 0.0, 1.0);
      unsigned char &pixel = c.pixels[static_cast<size_t>(y) * c.width + static_cast<size_t>(x)];
      pixel = static_cast<unsigned char>(std::min<double>(pixel, 255 * (1 - ink)));
    }
  }
}

void Fill(Canvas &c, double x0, double y0, double w, double h, unsigned char grey) {
  const auto x_end = static_cast<uint32_t>(std::min<double>(c.width, x0 + w));
  const auto y_end = static_cast<uint32_t>(std::min<double>(c.height, y0 + h));
  for (auto y = static_cast<uint32_t>(y0); y < y_end; ++y)
    for (auto x = static_cast<uint32_t>(x0); x < x_end; ++x)
      c.pixels[size_t{y} * c.width + x] = grey;
}

// A line of text-like glyphs: each glyph a few strokes chosen from its index.
void TextLine(Canvas &c, double x, double y, double size_mm, unsigned glyphs, unsigned seed) {
  const double s = size_mm * c.dots_per_mm;
  const double pen = std::max(1.5, s / 9);
  for (unsigned g = 0; g < glyphs; ++g, x += s * 0.7) {
    const unsigned k = (g * 7 + seed) % 11;
    if (k == 0)
      continue; // a space
    Stroke(c, x, y, x, y + s, pen);
    if (k % 2)
      Stroke(c, x, y, x + s * 0.5, y + s * 0.5, pen);
    if (k % 3)
      Stroke(c, x + s * 0.5, y, x + s * 0.5, y + s, pen);
    if (k % 4 == 1)
      Stroke(c, x, y + s, x + s * 0.5, y + s, pen);
    if (k > 6)
      Stroke(c, x, y, x + s * 0.5, y, pen);
  }
}

Page DrawLabel(uint32_t width, uint32_t height, uint32_t dpi, unsigned page_number) {
  Canvas c{Page(size_t{width} * height, 255), width, height, dpi / 25.4};
  const double mm = c.dots_per_mm;
  const double label_mm = height / mm;
  // The pattern of a 4 x 6 in label, repeated down longer labels.
  for (double top = 0; top < label_mm; top += 150) {
    const double base = top * mm;
    for (unsigned line = 0; line < 6; ++line)
      TextLine(c, 5 * mm, base + (5 + line * 7) * mm, 4.5, 20, line + page_number);
    TextLine(c, 5 * mm, base + 50 * mm, 9, 9, 3 + page_number);
    // A barcode of one to four modules per bar.
    double x = 8 * mm;
    for (unsigned bar = 0; x < 90 * mm; ++bar) {
      const double w = (1 + (bar * 5 + page_number) % 4) * 0.33 * mm;
      if (bar % 2 == 0)
        Fill(c, x, base + 68 * mm, w, 30 * mm, 0);
      x += w;
    }
    // Grey areas: a ramp and a flat half-tone box.
    for (unsigned i = 0; i < 80; ++i)
      Fill(c, (5 + i) * mm, base + 105 * mm, mm, 10 * mm, static_cast<unsigned char>(i * 255 / 79));
    Fill(c, 5 * mm, base + 120 * mm, 40 * mm, 20 * mm, 128);
    Stroke(c, 50 * mm, base + 120 * mm, 95 * mm, base + 140 * mm, 0.8 * mm);
  }
  return c.pixels;
}

// A picture in continuous grey: soft shapes and shading, never pure black
// or white, the way a photograph of a product looks.
Page DrawPhoto(uint32_t width, uint32_t height) {
  Page pixels(size_t{width} * height);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      const double u = static_cast<double>(x) / width, v = static_cast<double>(y) / height;
      const double shade = 0.5 + 0.25 * std::sin(9 * u + 2 * std::cos(7 * v)) * std::cos(5 * v) +
                           0.2 * (u - v) + 0.04 * std::sin(140 * u * v);
      pixels[size_t{y} * width + x] =
          static_cast<unsigned char>(std::clamp(shade, 0.01, 0.99) * 255);
    }
  }
  return pixels;
}

} // namespace

std::vector<BenchJob> HalftoneJobs() {
  std::vector<BenchJob> jobs;
  for (const uint32_t dpi : {203u, 300u, 600u})
    jobs.push_back({"4x6 in " + std::to_string(dpi) + " dpi", dpi, 4, 6, 1, false});
  for (const uint32_t dpi : {203u, 300u})
    jobs.push_back({"4x6 in " + std::to_string(dpi) + " dpi photo", dpi, 4, 6, 1, false, true});
  return jobs;
}

std::vector<BenchJob> BenchJobs() {
  std::vector<BenchJob> jobs;
  for (const bool compressed : {false, true}) {
    const std::string suffix = compressed ? ", compressed" : "";
    jobs.push_back({"4x6 in 203 dpi" + suffix, 203, 4, 6, 1, compressed});
    jobs.push_back({"4x6 in 300 dpi" + suffix, 300, 4, 6, 1, compressed});
    jobs.push_back({"4x6 in 600 dpi" + suffix, 600, 4, 6, 1, compressed});
    jobs.push_back({"100 x 4x6 in 203 dpi" + suffix, 203, 4, 6, 100, compressed});
    jobs.push_back({"4x60 in 300 dpi" + suffix, 300, 4, 60, 1, compressed});
  }
  return jobs;
}

void WriteBenchJob(const BenchJob &job, const std::string &path) {
  const auto width = static_cast<uint32_t>(job.width_in * job.dpi);
  const auto height = static_cast<uint32_t>(job.height_in * job.dpi);
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0)
    throw std::runtime_error("cannot write " + path);
  cups_raster_t *ras =
      cupsRasterOpen(fd, job.compressed ? CUPS_RASTER_WRITE_COMPRESSED : CUPS_RASTER_WRITE);
  cups_page_header2_t header;
  std::memset(&header, 0, sizeof header);
  header.HWResolution[0] = header.HWResolution[1] = job.dpi;
  header.PageSize[0] = static_cast<unsigned>(job.width_in * 72);
  header.PageSize[1] = static_cast<unsigned>(job.height_in * 72);
  header.cupsWidth = header.cupsBytesPerLine = width;
  header.cupsHeight = height;
  header.cupsBitsPerColor = header.cupsBitsPerPixel = 8;
  header.cupsColorSpace = CUPS_CSPACE_W;
  header.cupsCompression = 10;
  header.NumCopies = 1;
  // Pages of a multi-page job differ a little, as real ones do.
  std::vector<Page> variants;
  for (unsigned p = 0; p < job.pages; ++p) {
    if (variants.size() <= p % 4)
      variants.push_back(job.photo ? DrawPhoto(width, height)
                                   : DrawLabel(width, height, job.dpi, p % 4));
    Page &pixels = variants[p % 4];
    cupsRasterWriteHeader2(ras, &header);
    cupsRasterWritePixels(ras, pixels.data(), static_cast<unsigned>(pixels.size()));
  }
  cupsRasterClose(ras);
  close(fd);
}

std::string BenchPpd(bool tspl, const std::string &halftone) {
  std::string ppd = "*PPD-Adobe: \"4.3\"\n*cupsModelNumber: ";
  ppd += tspl ? "48\n" : "18\n";
  const auto option = [&ppd](const std::string &keyword, const std::string &choice) {
    ppd += "*OpenUI *" + keyword + "/" + keyword + ": PickOne\n*Default" + keyword + ": " + choice +
           "\n*" + keyword + " " + choice + "/" + choice + ": \"\"\n*CloseUI: *" + keyword + "\n";
  };
  option("Tag_Commands", tspl ? "TSPL" : "ZPL");
  option("zeMediaTracking", "Web");
  option("Print_Mode", "Thermal");
  option("Gamma", "normal");
  if (!tspl) {
    option("yReference", "1");
    option("zeReference", "1");
  }
  if (!halftone.empty())
    option("Halftone", halftone);
  return ppd;
}

uint64_t Fingerprint(const std::string &bytes) {
  uint64_t hash = 14695981039346656037ull;
  for (const char byte : bytes) {
    hash ^= static_cast<unsigned char>(byte);
    hash *= 1099511628211ull;
  }
  return hash;
}

} // namespace vellum_bench
