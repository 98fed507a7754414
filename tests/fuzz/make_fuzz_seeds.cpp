// Writes the fuzzer's seed corpus: option bytes, an options argument and a
// valid raster stream of a few shapes, so that every path of the page code
// is reached from the start: ZPL and TSPL, band edges, odd widths, shifts,
// both halftones, compressed and PWG streams, several pages, a stream cut
// short, a page large enough for huge pages and one too large to print.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <cups/raster.h>

namespace {

std::string Stream(const std::vector<std::pair<unsigned, unsigned>> &pages, cups_mode_t mode,
                   const std::string &path, bool data = true) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  cups_raster_t *ras = cupsRasterOpen(fd, mode);
  for (const auto &[width, height] : pages) {
    cups_page_header2_t header;
    std::memset(&header, 0, sizeof header);
    header.HWResolution[0] = header.HWResolution[1] = 203;
    header.cupsWidth = header.cupsBytesPerLine = width;
    header.cupsHeight = height;
    header.cupsBitsPerColor = header.cupsBitsPerPixel = 8;
    header.NumCopies = 2;
    cupsRasterWriteHeader2(ras, &header);
    if (!data)
      continue;
    std::vector<unsigned char> pixels(size_t{width} * height);
    for (size_t i = 0; i < pixels.size(); ++i)
      pixels[i] = static_cast<unsigned char>(i * 37 + i / width * 11);
    cupsRasterWritePixels(ras, pixels.data(), static_cast<unsigned>(pixels.size()));
  }
  cupsRasterClose(ras);
  close(fd);
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  struct Seed {
    std::string options;  // 8 option bytes
    std::string argument; // the options argument
    std::vector<std::pair<unsigned, unsigned>> pages;
    cups_mode_t mode;
    size_t cut;       // bytes dropped from the end
    bool data = true; // pixels after each header
  };
  const Seed seeds[] = {
      {std::string("\x06\x0C\x0C\x00\x00\x00\x02\x00", 8), "", {{16, 3}}, CUPS_RASTER_WRITE, 0},
      {std::string("\x0D\x10\xF0\x01\x0D\x14\x09\x0C", 8),
       "copies=2",
       {{13, 257}},
       CUPS_RASTER_WRITE,
       0},
      {std::string("\x06\x00\x00\x07\x00\x01\x00\x00", 8),
       "",
       {{64, 40}, {8, 1}},
       CUPS_RASTER_WRITE_COMPRESSED,
       0},
      {std::string("\x07\x12\x12\x0E\x00\x00\x13\x00", 8),
       "",
       {{24, 30}},
       CUPS_RASTER_WRITE_PWG,
       0},
      {std::string("\x02\x00\x00\x00\x00\x00\x00\x00", 8),
       "",
       {{8, 5}, {8, 5}},
       CUPS_RASTER_WRITE,
       0},
      {std::string("\x06\x14\x0A\x02\x00\x00\x01\x00", 8), "", {{40, 20}}, CUPS_RASTER_WRITE, 250},
      // The halftones, chosen by the PPD and by the options argument, with shifts.
      {std::string("\x06\x12\x0C\x18\x00\x00\x02\x00", 8), "", {{45, 70}}, CUPS_RASTER_WRITE, 0},
      {std::string("\x07\x0C\x12\x30\x00\x00\x02\x00", 8),
       "",
       {{37, 33}, {37, 33}},
       CUPS_RASTER_WRITE,
       0},
      {std::string("\x06\x00\x00\x00\x00\x00\x02\x00", 8),
       "Halftone=Diffusion Gamma=thicker zeReference=-2 yReference=1 Negative=on",
       {{33, 40}},
       CUPS_RASTER_WRITE_COMPRESSED,
       0},
      // Huge pages for a large buffer, and a page larger than the fuzz build takes.
      {std::string("\x06\x00\x00\x00\x00\x00\x02\x00", 8),
       "",
       {{256, 160}},
       CUPS_RASTER_WRITE,
       0,
       false},
      {std::string("\x06\x00\x00\x00\x00\x00\x02\x00", 8),
       "",
       {{2048, 4096}},
       CUPS_RASTER_WRITE,
       0,
       false},
  };
  int n = 0;
  for (const Seed &seed : seeds) {
    const std::string path = dir + "/seed-" + std::to_string(++n);
    const std::string stream = Stream(seed.pages, seed.mode, path + ".ras", seed.data);
    std::remove((path + ".ras").c_str());
    std::ofstream(path, std::ios::binary)
        << seed.options << static_cast<char>(seed.argument.size()) << seed.argument
        << stream.substr(0, stream.size() - seed.cut);
  }
  return 0;
}
