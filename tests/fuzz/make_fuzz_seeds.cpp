// Writes a fuzz target's seed corpus. The filter's (the default): option
// bytes, an options argument and a valid raster stream of a few shapes, so
// that every path of the page code is reached from the start: ZPL and
// TSPL, band edges, odd widths, shifts, both halftones, compressed and PWG
// streams, several pages, a stream cut short, a page large enough for
// huge pages and one too large to print. The application's: client raster
// pages that fit the label or carry one, PNG and JPEG files of every kind,
// printer answers, PDF boxes, printer programs and a saved state.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <cups/cups.h>
#include <cups/raster.h>
#include <jpeglib.h>
#include <png.h>

namespace {

// The bytes of the file just written at `path`.
std::string ReadBack(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

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
  return ReadBack(path);
}

// A grey page (0 black) of width x height with what `draw` puts on it.
struct Page {
  unsigned width, height;
  std::vector<unsigned char> pixels;
};

Page WhitePage(unsigned width, unsigned height) {
  return {width, height, std::vector<unsigned char>(size_t{width} * height, 255)};
}

// Draws a black frame (its inside lined with strokes) at x, y.
void Frame(Page &page, unsigned x0, unsigned y0, unsigned width, unsigned height) {
  for (unsigned y = y0; y < y0 + height && y < page.height; ++y)
    for (unsigned x = x0; x < x0 + width && x < page.width; ++x)
      if (y == y0 || y + 1 == y0 + height || x == x0 || x + 1 == x0 + width ||
          ((y - y0) % 4 == 2 && (x - x0) % 3 != 0))
        page.pixels[size_t{y} * page.width + x] = 0;
}

// The raster stream of the pages as a PWG (or Apple) raster client sends
// them: sGray, 8 bits; a page with `cut` bytes fewer ends the stream.
std::string ClientStream(const std::vector<Page> &pages, cups_mode_t mode, const std::string &path,
                         size_t cut = 0) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  cups_raster_t *ras = cupsRasterOpen(fd, mode);
  for (const Page &page : pages) {
    cups_page_header2_t header;
    std::memset(&header, 0, sizeof header);
    header.HWResolution[0] = header.HWResolution[1] = 16;
    header.cupsWidth = header.cupsBytesPerLine = page.width;
    header.cupsHeight = page.height;
    header.cupsBitsPerColor = header.cupsBitsPerPixel = 8;
    header.cupsColorSpace = CUPS_CSPACE_SW;
    header.cupsNumColors = 1;
    cupsRasterWriteHeader2(ras, &header);
    if (!page.pixels.empty())
      cupsRasterWritePixels(ras, const_cast<unsigned char *>(page.pixels.data()),
                            static_cast<unsigned>(page.pixels.size()));
  }
  cupsRasterClose(ras);
  close(fd);
  const std::string stream = ReadBack(path);
  std::remove(path.c_str());
  return stream.substr(0, stream.size() - std::min(cut, stream.size()));
}

void WriteSeed(const std::string &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// Seeds of the application's raster target: 3 option bytes (16 dpi, where
// a 4 x 6 in label is 64 x 96 dots and a letter page 136 x 176), then the
// stream.
void AppRasterSeeds(const std::string &dir) {
  Page label = WhitePage(64, 96);
  Frame(label, 2, 2, 60, 92);
  Page letter = WhitePage(136, 176);
  Frame(letter, 4, 4, 62, 94);
  Frame(letter, 80, 120, 40, 20);
  Page turned = WhitePage(176, 136);
  Frame(turned, 4, 4, 94, 62);
  const Page huge{5000, 5000, {}};
  struct Seed {
    std::string options; // resolution, print-scaling and label, page limit and language
    std::vector<Page> pages;
    cups_mode_t mode;
    size_t cut;
  };
  const Seed seeds[] = {
      {std::string("\x0c\x00\x03", 3), {label}, CUPS_RASTER_WRITE_PWG, 0},
      {std::string("\x0c\x00\x03", 3), {letter}, CUPS_RASTER_WRITE_PWG, 0},
      {std::string("\x0c\x04\x03", 3), {letter}, CUPS_RASTER_WRITE_PWG, 0},
      {std::string("\x0c\x02\x83", 3), {turned}, CUPS_RASTER_WRITE_APPLE, 0},
      {std::string("\x0c\x03\x03", 3), {letter, label}, CUPS_RASTER_WRITE_PWG, 0},
      {std::string("\x0c\x05\x00", 3), {label, label}, CUPS_RASTER_WRITE_PWG, 0},
      {std::string("\x0c\x00\x03", 3), {huge}, CUPS_RASTER_WRITE_PWG, 0},
      {std::string("\x0c\x00\x03", 3), {letter}, CUPS_RASTER_WRITE_PWG, 500},
  };
  int n = 0;
  for (const Seed &seed : seeds) {
    const std::string path = dir + "/seed-" + std::to_string(++n);
    WriteSeed(path, seed.options + ClientStream(seed.pages, seed.mode, path + ".ras", seed.cut));
  }
}

// A PNG file of the page (grey, or as `color_type` with `depth` bits),
// with its resolution in pixels per inch where `ppi` is not 0.
std::string PngFile(const Page &page, int color_type, int depth, bool interlaced, unsigned ppi) {
  std::string bytes;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_set_write_fn(
      png, &bytes,
      [](png_structp p, png_bytep data, png_size_t size) {
        static_cast<std::string *>(png_get_io_ptr(p))->append(reinterpret_cast<char *>(data), size);
      },
      nullptr);
  png_set_IHDR(png, info, page.width, page.height, depth, color_type,
               interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_color palette[2] = {{0, 0, 0}, {255, 255, 255}};
  if (color_type == PNG_COLOR_TYPE_PALETTE)
    png_set_PLTE(png, info, palette, 2);
  if (ppi != 0)
    png_set_pHYs(png, info, static_cast<png_uint_32>(ppi / 0.0254 + 0.5),
                 static_cast<png_uint_32>(ppi / 0.0254 + 0.5), PNG_RESOLUTION_METER);
  png_write_info(png, info);
  const int channels = color_type == PNG_COLOR_TYPE_RGB ? 3 : 1;
  const size_t row_bytes = (size_t{page.width} * channels * depth + 7) / 8;
  std::vector<unsigned char> rows(row_bytes * page.height, 0);
  for (unsigned y = 0; y < page.height; ++y)
    for (unsigned x = 0; x < page.width; ++x) {
      const unsigned char v = page.pixels[size_t{y} * page.width + x];
      unsigned char *row = rows.data() + y * row_bytes;
      if (depth == 8)
        for (int c = 0; c < channels; ++c)
          row[x * channels + c] = v;
      else if (depth == 16)
        row[x * 2] = row[x * 2 + 1] = v;
      else if (v != 0) // 1 bit
        row[x / 8] |= static_cast<unsigned char>(0x80 >> (x % 8));
    }
  std::vector<png_bytep> pointers;
  for (unsigned y = 0; y < page.height; ++y)
    pointers.push_back(rows.data() + y * row_bytes);
  png_write_image(png, pointers.data());
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return bytes;
}

// A JPEG file of the page, with its resolution in pixels per inch where
// `ppi` is not 0.
std::string JpegFile(const Page &page, bool progressive, unsigned ppi) {
  jpeg_compress_struct info;
  jpeg_error_mgr errors;
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  unsigned char *buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = page.width;
  info.image_height = page.height;
  info.input_components = 1;
  info.in_color_space = JCS_GRAYSCALE;
  jpeg_set_defaults(&info);
  if (progressive)
    jpeg_simple_progression(&info);
  if (ppi != 0) {
    info.density_unit = 1;
    info.X_density = info.Y_density = static_cast<UINT16>(ppi);
  }
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < info.image_height) {
    JSAMPROW row =
        const_cast<unsigned char *>(page.pixels.data()) + size_t{info.next_scanline} * page.width;
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  std::string bytes(reinterpret_cast<char *>(buffer), size);
  std::free(buffer);
  return bytes;
}

// Seeds of the image target: 2 option bytes (PNG or JPEG, print-scaling
// "auto", a 4 x 6 in label; 16 dpi), then the file.
void AppImageSeeds(const std::string &dir) {
  Page letter = WhitePage(136, 176);
  Frame(letter, 4, 4, 62, 94);
  Frame(letter, 80, 120, 40, 20);
  Page photo = WhitePage(600, 600);
  for (size_t i = 0; i < photo.pixels.size(); ++i)
    photo.pixels[i] = static_cast<unsigned char>(i * 7 % 251);
  const std::string png = "\x03\x0c", jpeg = "\x02\x0c";
  const std::string seeds[] = {
      png + PngFile(letter, PNG_COLOR_TYPE_GRAY, 8, false, 16),
      png + PngFile(letter, PNG_COLOR_TYPE_RGB, 8, true, 0),
      png + PngFile(letter, PNG_COLOR_TYPE_PALETTE, 1, false, 16),
      png + PngFile(letter, PNG_COLOR_TYPE_GRAY, 16, true, 16),
      png + PngFile(letter, PNG_COLOR_TYPE_GRAY, 8, false, 16).substr(0, 300),
      jpeg + JpegFile(letter, false, 16),
      jpeg + JpegFile(photo, true, 0),
      jpeg + JpegFile(photo, false, 150),
      jpeg + JpegFile(letter, false, 16).substr(0, 400),
  };
  int n = 0;
  for (const std::string &seed : seeds)
    WriteSeed(dir + "/seed-" + std::to_string(++n), seed);
}

// A job's settings file as PAPPL keeps it in the spool.
std::string SettingsFile(const std::string &path) {
  ipp_t *ipp = ippNew();
  ippAddInteger(ipp, IPP_TAG_JOB, IPP_TAG_INTEGER, "job-id", 1);
  ippAddString(ipp, IPP_TAG_JOB, IPP_TAG_NAME, "job-name", nullptr, "label");
  ippAddString(ipp, IPP_TAG_JOB, IPP_TAG_URI, "job-uri", nullptr, "ipp://localhost/ipp/print/1");
  ippAddInteger(ipp, IPP_TAG_JOB, IPP_TAG_INTEGER, "copies", 2);
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ippWriteFile(fd, ipp);
  close(fd);
  ippDelete(ipp);
  const std::string settings = ReadBack(path);
  std::remove(path.c_str());
  return settings;
}

// Seeds of the text target: the reader's byte, then its input.
void AppTextSeeds(const std::string &dir) {
  const std::string state =
      "DNSSDName=\"labels\"\n<Printer id=\"1\" name=\"zpl\" did=\"\" uri=\"socket://h\" "
      "driver=\"vellum-zpl-203\" state=\"3\">\nJob id=\"1\" name=\"label\" username=\"u\" "
      "format=\"application/pdf\" filename=\"@SPOOL@/p00001j000000001-label.pdf\" "
      "state=\"5\" processing=\"1\"\nJob id=\"2\" name=\"gone\" state=\"3\" "
      "filename=\"@SPOOL@/gone.pdf\"\nJob id=\"3\" name=\"x\" state=\"9\"\nJob id=\"4\" "
      "state=\"4\"\n</Printer>\n";
  const std::string length{static_cast<char>(state.size() >> 8), static_cast<char>(state.size())};
  const std::string pdf =
      "%PDF-1.4\n3 0 obj\n<< /Type /Page /MediaBox [0 0 288 432] >>\nendobj\n4 0 obj\n<< "
      "/Type /Page /MediaBox [ 0 0 612.5 792 ] >>\nendobj\n%%EOF\n";
  const std::string seeds[] = {
      std::string(1, '\0') + "\x02"
                             "030,0,1,1218,000,0,0,0,000,0,0,0\x03\r\n\x02"
                             "001,0,1,0,0,2,6,0,00000000,1,000\x03\r\n\x02"
                             "1234,0\x03\r\n",
      std::string("\x01\x00\x04\x01\x08\x10\x02\x80\xff", 9),
      "\x02" + pdf,
      "\x02%PDF-1.5\n<< /Type /ObjStm >>\n/MediaBox [0 0 1e999 nan]\n",
      "\x03"
      "288 432\n612 792\n1 1000\n0 500\n",
      "\x04^XA^FO50,50^GB100,100,100^FS^XZ\n^XA^FDlabel^FS^XZ\n^XA^XZ",
      "\x04SIZE 4,6\nCLS\nBAR 10,10,100,100\nPRINT 1\nCLS\nPRINT 1,2\n",
      "\x05" + length + state + SettingsFile(dir + "/settings.ipp"),
      std::string("\x06"
                  "1000\0"
                  "120",
                  10),
      std::string("\x06"
                  "99999999999\0"
                  "-5",
                  15),
  };
  int n = 0;
  for (const std::string &seed : seeds)
    WriteSeed(dir + "/seed-" + std::to_string(++n), seed);
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: %s DIR [raster|app_raster|app_image|app_text]\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  const std::string target = argc == 3 ? argv[2] : "raster";
  if (target == "app_raster") {
    AppRasterSeeds(dir);
    return 0;
  }
  if (target == "app_image") {
    AppImageSeeds(dir);
    return 0;
  }
  if (target == "app_text") {
    AppTextSeeds(dir);
    return 0;
  }
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
