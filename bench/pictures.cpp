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
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <png.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cups/raster.h>

#include "job_decoder.h"
#include "results.h"

namespace {

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

// A ZPL printer that prints the raster as read (0 is black), with the
// neutral gamma (1.0) and the given halftone.
std::string Ppd(const std::string &halftone) {
  std::string ppd = "*PPD-Adobe: \"4.3\"\n*cupsModelNumber: 18\n";
  const auto option = [&ppd](const std::string &keyword, const std::string &choice) {
    ppd += "*OpenUI *" + keyword + "/" + keyword + ": PickOne\n*Default" + keyword + ": " + choice +
           "\n*" + keyword + " " + choice + "/" + choice + ": \"\"\n*CloseUI: *" + keyword + "\n";
  };
  option("Negative", "on");
  option("Gamma", "neutral");
  option("Halftone", halftone);
  return ppd;
}

// Runs the filter on the raster and returns its printer bytes.
std::string Filter(const std::string &filter, const std::string &ppd, const std::string &raster,
                   const std::string &out) {
  const std::string env_ppd = "PPD=" + ppd, server = "CUPS_SERVER=/nonexistent/vellum.sock";
  const char *argv[] = {filter.c_str(), "1", "bench", "pictures", "1", "", raster.c_str(), nullptr};
  const char *envp[] = {"LC_ALL=C", env_ppd.c_str(), server.c_str(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char **>(argv),
                  const_cast<char **>(envp)) != 0)
    Fail("cannot start " + filter);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    Fail("the filter failed");
  std::ifstream in(out, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
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

std::string Fixed(double value, int digits) {
  std::ostringstream text;
  text << std::fixed << std::setprecision(digits) << value;
  return text.str();
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s FILTER RESULTS.md PREVIEW_DIR NAME=FILE.pgm...\n", argv[0]);
    return 2;
  }
  const std::string filter = argv[1], results = argv[2], previews = argv[3];
  const char *const kModes[] = {"Threshold", "Ordered", "Diffusion"};
  char scratch_template[] = "/tmp/vellum-pictures-XXXXXX";
  const std::string scratch = mkdtemp(scratch_template);
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
      const Grey dots = Dots(Filter(filter, scratch + "/" + mode + ".ppd", raster,
                                    scratch + "/" + name + "-" + mode + ".zpl"));
      if (dots.width != original.width || dots.height != original.height)
        Fail("the label is not the picture's size");
      const double error = MeanAbsoluteError(Blur(dots), seen);
      table << " | " << Fixed(error, 1);
      WritePreview(dots, previews + "/" + name + "-" + mode + ".png");
      std::cout << name << " " << mode << ": " << Fixed(error, 1) << std::endl;
    }
    table << " |\n";
  }
  std::ostringstream md;
  md << "## Pictures under each halftone\n\n"
     << "Made by `./scripts/pictures` with `bench_pictures`. Each picture is scaled onto a "
     << "4 x 6 in label at 203 dpi (812 x 1218 dots), printed by the filter with the neutral "
     << "gamma (1.0) under each `Halftone` choice, and read back with the job decoder. The "
     << "table gives the mean absolute difference in grey levels (0 to 255) between the dots "
     << "and the grey original, both blurred by a Gaussian of " << kBlurSigma
     << " dots that stands for viewing distance: lower is closer.\n\n"
     << table.str();
  vellum_bench::WriteResultsSection(results, "pictures", md.str());
  std::filesystem::remove_all(scratch);
  std::cout << "wrote " << results << std::endl;
  return 0;
}
