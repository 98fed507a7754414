// Measures how close each Halftone choice prints pictures to their grey
// originals: every picture (an 8-bit PGM as large as the label) is printed
// by the filter under each choice, its dots are read back with the job
// decoder, and both the dots and the original are blurred with a Gaussian
// of 1.5 dots, which stands for viewing distance. Reports the mean absolute
// grey difference per picture and choice, writes its section of the results
// file and a preview of each picture's middle under each choice.
//
//   bench_pictures FILTER RESULTS.md PREVIEW_DIR NAME=FILE.pgm...
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <png.h>
#include <unistd.h>

#include <cups/raster.h>

#include "harness.h"
#include "job_decoder.h"
#include "results.h"

namespace {

using vellum_bench::Fixed;

constexpr double kBlurSigma = 1.5; // dots
constexpr unsigned kDpi = 203;
constexpr unsigned kPreview = 240; // the previews' width and height in dots

struct Grey {
  unsigned width = 0, height = 0;
  std::vector<unsigned char> pixels; // 0 black, 255 white
};

void Fail(const std::string &why) {
  std::cerr << "bench_pictures: " << why << std::endl;
  std::exit(1);
}

// A binary PGM (P5, maxval 255).
Grey ReadPgm(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::string magic;
  unsigned maxval = 0;
  Grey g;
  in >> magic >> g.width >> g.height >> maxval;
  in.get();
  if (magic != "P5" || maxval != 255 || g.width == 0 || g.height == 0)
    Fail(path + " is not an 8-bit binary PGM");
  g.pixels.resize(size_t{g.width} * g.height);
  in.read(reinterpret_cast<char *>(g.pixels.data()), static_cast<std::streamsize>(g.pixels.size()));
  if (!in)
    Fail(path + " is cut short");
  return g;
}

void WriteRaster(const Grey &g, const std::string &path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  cups_raster_t *ras = cupsRasterOpen(fd, CUPS_RASTER_WRITE);
  cups_page_header2_t header;
  std::memset(&header, 0, sizeof header);
  header.HWResolution[0] = header.HWResolution[1] = kDpi;
  header.cupsWidth = header.cupsBytesPerLine = g.width;
  header.cupsHeight = g.height;
  header.cupsBitsPerColor = header.cupsBitsPerPixel = 8;
  header.cupsColorSpace = CUPS_CSPACE_W;
  header.NumCopies = 1;
  cupsRasterWriteHeader2(ras, &header);
  std::vector<unsigned char> pixels = g.pixels;
  cupsRasterWritePixels(ras, pixels.data(), static_cast<unsigned>(pixels.size()));
  cupsRasterClose(ras);
  close(fd);
}

// A ZPL printer that prints the raster as read (0 is black), with the given
// gamma and halftone.
std::string Ppd(const std::string &halftone, const std::string &gamma = "neutral") {
  std::string ppd = "*PPD-Adobe: \"4.3\"\n*cupsModelNumber: 18\n";
  const auto option = [&ppd](const std::string &keyword, const std::string &choice) {
    ppd += "*OpenUI *" + keyword + "/" + keyword + ": PickOne\n*Default" + keyword + ": " + choice +
           "\n*" + keyword + " " + choice + "/" + choice + ": \"\"\n*CloseUI: *" + keyword + "\n";
  };
  option("Negative", "on");
  option("Gamma", gamma);
  option("Halftone", halftone);
  return ppd;
}

// Runs the filter on the raster and returns its printer bytes.
std::string Filter(const std::string &filter, const std::string &ppd, const std::string &raster) {
  const vellum_test::Result run =
      vellum_test::RunProgram({filter, "1", "bench", "pictures", "1", "", raster},
                              {"LC_ALL=C", "PPD=" + ppd, "CUPS_SERVER=/nonexistent/vellum.sock"});
  if (run.exit_status != 0)
    Fail("the filter failed");
  return run.out;
}

// The label's dots as grey: 0 where the printer puts a dot, else 255.
Grey Dots(const std::string &job) {
  const vellum_preview::DecodedJob decoded = vellum_preview::DecodeJob(job);
  std::string error = decoded.error;
  const std::vector<vellum_preview::Label> labels = vellum_preview::Labels(decoded, &error);
  if (!error.empty() || labels.size() != 1)
    Fail("the printer job does not decode: " + error);
  const vellum_preview::Label &label = labels[0];
  Grey g;
  g.width = static_cast<unsigned>(vellum_preview::DotsWide(label));
  g.height = static_cast<unsigned>(label.rows.size());
  g.pixels.assign(size_t{g.width} * g.height, 255);
  for (unsigned y = 0; y < g.height; ++y)
    for (unsigned x = 0; x < g.width; ++x)
      if (vellum_preview::IsDot(label, label.rows[y], x))
        g.pixels[size_t{y} * g.width + x] = 0;
  return g;
}

// A Gaussian blur, separable, with the edges extended.
std::vector<double> Blur(const Grey &g) {
  const int radius = static_cast<int>(std::ceil(3 * kBlurSigma));
  std::vector<double> kernel;
  double sum = 0;
  for (int i = -radius; i <= radius; ++i) {
    kernel.push_back(std::exp(-i * i / (2 * kBlurSigma * kBlurSigma)));
    sum += kernel.back();
  }
  for (double &k : kernel)
    k /= sum;
  const int w = static_cast<int>(g.width), h = static_cast<int>(g.height);
  std::vector<double> across(g.pixels.size()), both(g.pixels.size());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      double v = 0;
      for (int i = -radius; i <= radius; ++i)
        v += kernel[static_cast<size_t>(i + radius)] *
             g.pixels[static_cast<size_t>(y * w + std::clamp(x + i, 0, w - 1))];
      across[static_cast<size_t>(y * w + x)] = v;
    }
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      double v = 0;
      for (int i = -radius; i <= radius; ++i)
        v += kernel[static_cast<size_t>(i + radius)] *
             across[static_cast<size_t>(std::clamp(y + i, 0, h - 1) * w + x)];
      both[static_cast<size_t>(y * w + x)] = v;
    }
  return both;
}

double MeanAbsoluteError(const std::vector<double> &a, const std::vector<double> &b) {
  double total = 0;
  for (size_t i = 0; i < a.size(); ++i)
    total += std::fabs(a[i] - b[i]);
  return total / static_cast<double>(a.size());
}

// The middle kPreview x kPreview dots of a picture, as a PNG.
void WritePreview(const Grey &g, const std::string &path) {
  const unsigned size = std::min({kPreview, g.width, g.height});
  const unsigned x0 = (g.width - size) / 2, y0 = (g.height - size) / 2;
  std::vector<unsigned char> crop;
  for (unsigned y = y0; y < y0 + size; ++y)
    crop.insert(crop.end(), g.pixels.begin() + y * g.width + x0,
                g.pixels.begin() + y * g.width + x0 + size);
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = image.height = size;
  image.format = PNG_FORMAT_GRAY;
  if (!png_image_write_to_file(&image, path.c_str(), 0, crop.data(), 0, nullptr))
    Fail("cannot write " + path);
}

// Bars of a barcode image scaled to the printer: 1 to 4 modules of 3 dots
// wide, each edge at some fraction of a dot, so that the dot it cuts is
// grey by how much of it the bar covers.
struct Bar {
  double left, width;
};

std::vector<Bar> EdgeBars(unsigned width) {
  std::vector<Bar> bars;
  double x = 20;
  for (unsigned i = 0; x < width - 40; ++i) {
    const double offset = (i * 37 % 100) / 100.0; // 0.00 to 0.99
    bars.push_back({x + offset, (1 + i % 4) * 3.0});
    x += bars.back().width + (1 + i * 3 % 4) * 3.0 + 1;
  }
  return bars;
}

// The bars as a picture: each dot grey by how much of it the bars cover,
// after the bars' edges are spread over `spread` dots (0: sharp), as
// scaling an image with interpolation spreads them.
Grey EdgePicture(unsigned width, unsigned height, const std::vector<Bar> &bars, double spread) {
  constexpr int kSteps = 16; // samples per dot
  std::vector<double> ink(size_t{width} * kSteps, 0);
  for (const Bar &bar : bars)
    for (size_t i = 0; i < ink.size(); ++i) {
      const double at = (i + 0.5) / kSteps;
      ink[i] = std::max(ink[i], at >= bar.left && at < bar.left + bar.width ? 1.0 : 0.0);
    }
  const int half = static_cast<int>(spread * kSteps / 2);
  Grey g;
  g.width = width;
  g.height = height;
  std::vector<unsigned char> row(width);
  for (unsigned x = 0; x < width; ++x) {
    double covered = 0;
    for (int i = 0; i < kSteps; ++i) {
      // The sample, averaged over the spread around it.
      const long centre = static_cast<long>(x) * kSteps + i;
      double sum = 0;
      for (long j = centre - half; j <= centre + half; ++j)
        sum += j >= 0 && j < static_cast<long>(ink.size()) ? ink[static_cast<size_t>(j)] : 0;
      covered += sum / (2 * half + 1);
    }
    row[x] = static_cast<unsigned char>(std::lround(255 * (1 - covered / kSteps)));
  }
  for (unsigned y = 0; y < height; ++y)
    g.pixels.insert(g.pixels.end(), row.begin(), row.end());
  return g;
}

// How each Gamma choice prints bars with grey edges: their mean growth in
// dots, and the least and the most.
std::string EdgeTable(const std::string &filter, const std::string &scratch) {
  const std::vector<Bar> bars = EdgeBars(812);
  const double kSpreads[] = {0, 3};
  for (const double spread : kSpreads)
    WriteRaster(EdgePicture(812, 16, bars, spread),
                scratch + "/edges-" + std::to_string(static_cast<int>(spread)) + ".ras");
  Grey ramp{256, 1, {}};
  for (unsigned v = 0; v < 256; ++v)
    ramp.pixels.push_back(static_cast<unsigned char>(v));
  WriteRaster(ramp, scratch + "/ramp.ras");

  std::ostringstream table;
  table << "| `Gamma` | greys printed as dots | sharp edges: mean growth per bar (least, most) | "
           "edges spread over 3 dots: mean growth per bar (least, most) |\n"
        << "|---|---|---:|---:|\n";
  const char *const kGammas[] = {"neutral", "normal", "lighter", "light", "thicken", "thicker"};
  for (const char *gamma : kGammas) {
    const std::string ppd = scratch + "/edges-" + gamma + ".ppd";
    std::ofstream(ppd) << Ppd("Threshold", gamma);
    // The greys that print as dots, from a ramp of all 256.
    const Grey ramp_dots = Dots(Filter(filter, ppd, scratch + "/ramp.ras"));
    unsigned lightest_dot = 0;
    while (lightest_dot < 255 && ramp_dots.pixels[lightest_dot + 1] == 0)
      ++lightest_dot;
    table << "| `" << gamma << "` | 0 to " << lightest_dot;
    for (const double spread : kSpreads) {
      const Grey dots = Dots(Filter(
          filter, ppd, scratch + "/edges-" + std::to_string(static_cast<int>(spread)) + ".ras"));
      // The dots of the middle row, as runs, one for each bar.
      std::vector<unsigned> runs;
      const unsigned char *row = dots.pixels.data() + size_t{dots.width} * (dots.height / 2);
      for (unsigned x = 0; x < dots.width; ++x) {
        unsigned width = 0;
        for (; x < dots.width && row[x] == 0; ++x)
          ++width;
        if (width > 0)
          runs.push_back(width);
      }
      if (runs.size() != bars.size())
        Fail(std::string("gamma ") + gamma + ": " + std::to_string(runs.size()) + " bars for " +
             std::to_string(bars.size()));
      double total = 0, least = 1e9, most = -1e9;
      for (size_t i = 0; i < bars.size(); ++i) {
        const double growth = runs[i] - bars[i].width;
        total += growth;
        least = std::min(least, growth);
        most = std::max(most, growth);
      }
      const double mean = total / static_cast<double>(bars.size());
      table << " | " << Fixed(mean, 2) << " (" << Fixed(least, 0) << ", " << Fixed(most, 0) << ")";
      std::cout << "gamma " << gamma << ", spread " << spread << ": " << Fixed(mean, 2)
                << " dots per bar" << std::endl;
    }
    table << " |\n";
  }
  return table.str();
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s FILTER RESULTS.md PREVIEW_DIR NAME=FILE.pgm...\n", argv[0]);
    return 2;
  }
  const std::string filter = argv[1], results = argv[2], previews = argv[3];
  const char *const kModes[] = {"Threshold", "Ordered", "Diffusion"};
  // Removed when the program ends.
  const std::string scratch = vellum_test::ScratchDir();
  for (const char *mode : kModes)
    std::ofstream(scratch + "/" + mode + ".ppd") << Ppd(mode);

  std::ostringstream table;
  table << "| picture | Threshold | Ordered | Diffusion |\n|---|---:|---:|---:|\n";
  for (int i = 4; i < argc; ++i) {
    const std::string arg = argv[i];
    const size_t eq = arg.find('=');
    if (eq == std::string::npos)
      Fail("expected NAME=FILE.pgm, got " + arg);
    const std::string name = arg.substr(0, eq);
    const Grey original = ReadPgm(arg.substr(eq + 1));
    const std::string raster = scratch + "/" + name + ".ras";
    WriteRaster(original, raster);
    const std::vector<double> seen = Blur(original);
    WritePreview(original, previews + "/" + name + "-original.png");
    table << "| " << name;
    for (const char *mode : kModes) {
      const Grey dots = Dots(Filter(filter, scratch + "/" + mode + ".ppd", raster));
      if (dots.width != original.width || dots.height != original.height)
        Fail("the label is not the picture's size");
      const double error = MeanAbsoluteError(Blur(dots), seen);
      table << " | " << Fixed(error, 1);
      WritePreview(dots, previews + "/" + name + "-" + mode + ".png");
      std::cout << name << " " << mode << ": " << Fixed(error, 1) << std::endl;
    }
    table << " |\n";
  }
  const std::string edges = EdgeTable(filter, scratch);
  std::ostringstream md;
  md << "## Pictures under each halftone\n\n"
     << "Made by `./scripts/pictures` with `bench_pictures`. Each picture is scaled onto a "
     << "4 x 6 in label at 203 dpi (812 x 1218 dots), printed by the filter with the neutral "
     << "gamma (1.0) under each `Halftone` choice, and read back with the job decoder. The "
     << "table gives the mean absolute difference in grey levels (0 to 255) between the dots "
     << "and the grey original, both blurred by a Gaussian of " << kBlurSigma
     << " dots that stands for viewing distance: lower is closer.\n\n"
     << table.str() << "\n## Grey bar edges under each gamma\n\n"
     << "A barcode image scaled onto the label has grey dots where a bar's edge cuts a dot "
     << "(grey by how much of the dot the bar covers), and wider grey edges where the image "
     << "was scaled with interpolation. Bars of 1 to 4 modules of 3 dots, each edge at a "
     << "fraction of a dot, printed under each `Gamma` choice (`Halftone` `Threshold`); growth "
     << "is the printed width less the bar's true width, in dots.\n\n"
     << edges;
  vellum_bench::WriteResultsSection(results, "pictures", md.str());
  std::cout << "wrote " << results << std::endl;
  return 0;
}
