// Labels that scan: documents with barcodes made by the test itself (with
// Debian's zint), printed through a private scheduler with the shipped PPDs
// and their default options (PostScript -> Ghostscript -> the filter),
// drawn with vellumpreview and read back with zxing-cpp and zbar.
#include <cmath>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include <unistd.h>

#include <gtest/gtest.h>

#include "harness.h"
#include "load.h"
#include "private_scheduler.h"
#include "scheduler_suite.h"

namespace vellum_test {
namespace {

// A symbol as zint draws it: black rectangles in its units (two per module).
struct Shape {
  double width = 0, height = 0; // the bounding box
  struct Rect {
    double x, y, w, h; // from the bottom left, as PostScript has it
  };
  std::vector<Rect> bars;
  std::string body; // the drawing, from its procedure definitions on
};

struct Symbol {
  const char *name;
  std::vector<std::string> zint; // zint's options: symbology and data
  bool linear;                   // bars the full height (1D), else a matrix
  const char *zxing;             // zxing-cpp's name of the format
  const char *zbar;              // zbar's, or nullptr where zbar does not read it
  std::string text;              // what a reader must decode
};

// Where a symbol goes on a page, in points from the top left, and its size.
struct Placed {
  Symbol symbol;
  int dots;          // per module at 203 dpi
  double x, top;     // left and top edge
  double bar_height; // linear symbols only
};

bool HaveTools() {
  return access("/usr/bin/zint", X_OK) == 0 && access("/usr/bin/zbarimg", X_OK) == 0 &&
         RunProgram({"/usr/bin/python3", "-c", "import zxingcpp, PIL"}, {}).exit_status == 0;
}

Shape Draw(const Symbol &symbol) {
  std::vector<std::string> argv = {"/usr/bin/zint", "--notext", "--scale=1", "--filetype=EPS",
                                   "--direct"};
  argv.insert(argv.end(), symbol.zint.begin(), symbol.zint.end());
  const std::string eps = RunProgram(argv, {}).out;
  Shape shape;
  std::istringstream lines(eps);
  bool black = false;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string word; words >> word;)
      w.push_back(word);
    if (w.size() == 5 && w[0] == "%%BoundingBox:") {
      shape.width = std::stod(w[3]);
      shape.height = std::stod(w[4]);
    } else if (w.size() == 4 && w[3] == "setrgbcolor") {
      black = std::stod(w[0]) + std::stod(w[1]) + std::stod(w[2]) == 0;
    } else if (w.size() == 6 && w[2] == "TB" && w[5] == "TR" && black) {
      shape.bars.push_back({std::stod(w[3]), std::stod(w[1]), std::stod(w[4]), std::stod(w[0])});
    }
  }
  shape.body = eps.substr(std::min(eps.find("/TB"), eps.size()));
  return shape;
}

// A module in points.
double ModulePoints(const Placed &p) { return p.dots * 72.0 / 203; }

// The symbol's size on the page in points.
std::pair<double, double> Size(const Placed &p, const Shape &shape) {
  const double wide = shape.width / 2 * ModulePoints(p);
  return {wide, p.symbol.linear ? p.bar_height : shape.height / 2 * ModulePoints(p)};
}

// PostScript that draws the symbol on a page `page_height` points tall:
// zint's own vector drawing, or an 8-bit image of it at five pixels a
// module, which is no printer's resolution for the module sizes used here.
std::string Drawing(const Placed &p, const Shape &shape, double page_height, bool image) {
  const auto [wide, high] = Size(p, shape);
  std::ostringstream ps;
  ps.precision(10);
  ps << "gsave " << p.x << " " << page_height - p.top - high << " translate\n";
  if (!image) {
    ps << wide / shape.width << " " << high / shape.height << " scale\n" << shape.body << "\n";
  } else {
    constexpr int kPixels = 5; // per module
    const int cols = static_cast<int>(std::lround(shape.width / 2));
    const int rows = p.symbol.linear ? 1 : static_cast<int>(std::lround(shape.height / 2));
    std::vector<unsigned char> modules(static_cast<size_t>(cols * rows), 255);
    for (const Shape::Rect &r : shape.bars)
      for (int row = 0; row < rows; ++row)
        for (int col = 0; col < cols; ++col) {
          // Module centres in zint's units, rows counted from the top.
          const double cx = col * 2 + 1, cy = shape.height - (row * 2 + 1);
          if (cx > r.x && cx < r.x + r.w && (p.symbol.linear || (cy > r.y && cy < r.y + r.h)))
            modules[static_cast<size_t>(row * cols + col)] = 0;
        }
    const int w = cols * kPixels, h = rows * kPixels;
    ps << wide << " " << high << " scale\n/DeviceGray setcolorspace\n"
       << "<< /ImageType 1 /Width " << w << " /Height " << h
       << " /BitsPerComponent 8 /Decode [0 1] /ImageMatrix [" << w << " 0 0 " << -h << " 0 " << h
       << "] /DataSource currentfile /ASCIIHexDecode filter >> image\n";
    static const char kHex[] = "0123456789ABCDEF";
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        const unsigned char v = modules[static_cast<size_t>(y / kPixels * cols + x / kPixels)];
        ps << kHex[v >> 4] << kHex[v & 15];
      }
      ps << "\n";
    }
    ps << ">\n";
  }
  ps << "grestore\n";
  return ps.str();
}

// A PostScript document of pages `width` x `height` points.
std::string Document(double width, double height, const std::vector<std::string> &pages) {
  std::ostringstream ps;
  ps << "%!PS-Adobe-3.0\n%%BoundingBox: 0 0 " << width << " " << height
     << "\n%%Pages: " << pages.size() << "\n%%EndComments\n";
  for (size_t i = 0; i < pages.size(); ++i)
    ps << "%%Page: " << i + 1 << " " << i + 1 << "\n<< /PageSize [" << width << " " << height
       << "] >> setpagedevice\n"
       << pages[i] << "showpage\n";
  ps << "%%EOF\n";
  return ps.str();
}

const Symbol kCode128 = {"Code 128", {"-b", "CODE128", "-d", "VELLUM-12345"},
                         true,       "Code128",
                         "CODE-128", "VELLUM-12345"};
const Symbol kCode128Short = {
    "Code 128", {"-b", "CODE128", "-d", "VL-12345"}, true, "Code128", "CODE-128", "VL-12345"};
const Symbol kGs1 = {"GS1-128",  {"-b", "GS1_128", "-d", "[01]09501101530003[10]AB-123"},
                     true,       "Code128",
                     "CODE-128", "010950110153000310AB-123"};
const Symbol kGs1Short = {"GS1-128",  {"-b", "GS1_128", "-d", "[01]09501101530003"},
                          true,       "Code128",
                          "CODE-128", "0109501101530003"};
const Symbol kQr = {
    "QR", {"-b", "QRCODE", "-d", "VELLUM-12345"}, false, "QRCode", "QR-Code", "VELLUM-12345"};
const Symbol kDataMatrix = {"DataMatrix", {"-b", "DATAMATRIX", "--square", "-d", "VELLUM-12345"},
                            false,        "DataMatrix",
                            nullptr,      "VELLUM-12345"};
const Symbol kPdf417 = {
    "PDF417", {"-b", "PDF417", "-d", "VELLUM-12345"}, false, "PDF417", nullptr, "VELLUM-12345"};

// A 4 x 6 in label with all five symbols, 1D codes at 3 dots a module.
std::vector<Placed> FourBySix() {
  return {{kCode128, 3, 18.37, 24, 40},
          {kGs1, 3, 18.37, 96, 40},
          {kQr, 6, 30.21, 168, 0},
          {kDataMatrix, 6, 30.21, 240, 0},
          {kPdf417, 3, 18.37, 330, 0}};
}

// A 2 x 1 in label per symbol, centred, with what fits.
std::vector<Placed> TwoByOne() {
  std::vector<Placed> labels;
  for (const auto &[symbol, dots] : std::vector<std::pair<Symbol, int>>{
           {kCode128Short, 3}, {kGs1Short, 2}, {kQr, 4}, {kDataMatrix, 4}, {kPdf417, 2}}) {
    Placed p{symbol, dots, 0, 0, 30};
    const auto [wide, high] = Size(p, Draw(symbol));
    p.x = (144 - wide) / 2 + 0.37;
    p.top = (72 - high) / 2 + 0.21;
    labels.push_back(p);
  }
  return labels;
}

// The symbol with its quiet zone, as PICTURE@LEFT,TOP,RIGHT,BOTTOM in dots of
// a label printed at dpi.
std::string Boxed(const std::string &picture, const Placed &p, unsigned dpi) {
  const auto [wide, high] = Size(p, Draw(p.symbol));
  const double scale = dpi / 72.0, margin = 8 * ModulePoints(p);
  const auto at = [scale](double points) {
    return std::to_string(std::max<long>(0, std::lround(points * scale)));
  };
  return picture + "@" + at(p.x - margin) + "," + at(p.top - margin) + "," +
         at(p.x + wide + margin) + "," + at(p.top + high + margin);
}

// What the readers found, one line per symbol: READER FORMAT TEXT per picture.
std::map<std::string, std::multiset<std::string>> Read(const std::vector<std::string> &pictures) {
  std::vector<std::string> argv = {"/usr/bin/python3", READ_BARCODES_PATH};
  argv.insert(argv.end(), pictures.begin(), pictures.end());
  const Result run = RunProgram(argv, {"HOME=" + ScratchDir(), "LC_ALL=C.UTF-8"});
  EXPECT_EQ(run.exit_status, 0) << testing::PrintToString(run.err);
  std::map<std::string, std::multiset<std::string>> found;
  for (const std::string &line : SplitLines(run.out)) {
    const size_t tab = line.find('\t');
    found[line.substr(0, tab)].insert(line.substr(tab + 1));
  }
  return found;
}

// What the readers must find for these symbols: each exactly once.
std::multiset<std::string> Expected(const std::vector<Placed> &symbols) {
  std::multiset<std::string> lines;
  for (const Placed &p : symbols) {
    lines.insert(std::string("zxing\t") + p.symbol.zxing + "\t" + p.symbol.text);
    if (p.symbol.zbar != nullptr)
      lines.insert(std::string("zbar\t") + p.symbol.zbar + "\t" + p.symbol.text);
  }
  return lines;
}

class PrintQuality : public SchedulerSuite {
protected:
  static void SetUpTestSuite() {
    if (!HaveTools()) {
      why_not_ = "needs zint, zbar-tools, python3-zxing-cpp and python3-pil";
      return;
    }
    if (!StartScheduler("info"))
      return;
    for (const char *ppd : {"vellum-zpl-203", "vellum-tspl-203", "vellum-zpl-300"})
      if (why_not_.empty()) {
        std::filesystem::create_directories(Captures(ppd));
        why_not_ =
            cupsd_->AddQueue(ppd, std::string(VELLUM_PPD_DIR) + "/" + ppd + ".ppd", Captures(ppd));
      }
  }

  static std::string Captures(const std::string &queue) {
    return cupsd_->Dir() + "/out/" + queue + "/";
  }

  struct Job {
    std::string queue;
    int id;
  };

  static Job Submit(const std::string &queue, const std::string &document,
                    const std::vector<std::string> &options) {
    return {queue, cupsd_->Submit(queue, document, options)};
  }

  // Waits for the jobs; returns each one's labels drawn by vellumpreview.
  static std::vector<std::vector<std::string>> Pictures(const std::vector<Job> &jobs) {
    std::vector<LoadJob> waiting;
    for (const Job &job : jobs) {
      waiting.emplace_back();
      waiting.back().id = job.id;
    }
    EXPECT_TRUE(AwaitJobsDone(*cupsd_, waiting, 300));
    std::vector<std::vector<std::string>> pictures;
    for (const Job &job : jobs) {
      const std::string capture = Captures(job.queue) + std::to_string(job.id);
      const Result drawn =
          RunProgram({VELLUMPREVIEW_PATH, "-o", capture, capture + ".prn"}, {"LC_ALL=C"});
      EXPECT_EQ(drawn.exit_status, 0) << job.queue << " job " << job.id;
      std::vector<std::string> labels;
      for (int i = 1; std::filesystem::exists(capture + "-" + std::to_string(i) + ".png"); ++i)
        labels.push_back(capture + "-" + std::to_string(i) + ".png");
      pictures.push_back(labels);
    }
    return pictures;
  }

  static Label OnlyLabel(const Job &job) {
    const DecodedJob decoded =
        DecodeJob(ReadFile(Captures(job.queue) + std::to_string(job.id) + ".prn"));
    std::string error = decoded.error;
    const std::vector<Label> labels = Labels(decoded, &error);
    EXPECT_EQ(error, "");
    EXPECT_EQ(labels.size(), 1u);
    return labels.empty() ? Label{} : labels[0];
  }
};

const char *const kQueues[] = {"vellum-zpl-203", "vellum-tspl-203", "vellum-zpl-300"};

TEST_F(PrintQuality, EverySymbolDecodesToItsPayloadWithTheDefaultOptions) {
  // Four documents: the 4 x 6 in label and the 2 x 1 in labels, each with
  // the symbols as vectors and as images.
  struct Doc {
    std::string name, page_size;
    std::vector<std::vector<Placed>> pages;
    bool image;
  };
  std::vector<Doc> documents;
  for (const bool image : {false, true}) {
    documents.push_back({"4x6", "w288h432", {FourBySix()}, image});
    Doc small{"2x1", "w144h72", {}, image};
    for (const Placed &p : TwoByOne())
      small.pages.push_back({p});
    documents.push_back(small);
  }
  std::vector<Job> jobs;
  std::vector<const Doc *> printed;
  for (const Doc &d : documents) {
    std::vector<std::string> pages;
    for (const std::vector<Placed> &symbols : d.pages) {
      std::string page;
      for (const Placed &p : symbols)
        page += Drawing(p, Draw(p.symbol), d.page_size == "w288h432" ? 432 : 72, d.image);
      pages.push_back(page);
    }
    const std::string file =
        WriteScratchFile("symbols-" + d.name + (d.image ? "-image" : "-vector") + ".ps",
                         Document(d.page_size == "w288h432" ? 288 : 144,
                                  d.page_size == "w288h432" ? 432 : 72, pages));
    for (const char *queue : kQueues) {
      jobs.push_back(Submit(queue, file, {"PageSize=" + d.page_size}));
      printed.push_back(&d);
    }
  }
  const std::vector<std::vector<std::string>> pictures = Pictures(jobs);
  // Each symbol is read from its own box of the label.
  std::vector<std::string> boxes;
  for (size_t j = 0; j < jobs.size(); ++j) {
    ASSERT_EQ(pictures[j].size(), printed[j]->pages.size()) << jobs[j].queue;
    const unsigned dpi = jobs[j].queue.find("300") != std::string::npos ? 300 : 203;
    for (size_t page = 0; page < pictures[j].size(); ++page)
      for (const Placed &p : printed[j]->pages[page])
        boxes.push_back(Boxed(pictures[j][page], p, dpi));
  }
  const auto found = Read(boxes);
  size_t next = 0;
  for (size_t j = 0; j < jobs.size(); ++j) {
    const Doc &d = *printed[j];
    for (size_t page = 0; page < d.pages.size(); ++page)
      for (const Placed &p : d.pages[page]) {
        const std::string &box = boxes[next++];
        SCOPED_TRACE(jobs[j].queue + ", " + d.name + (d.image ? " images" : " vectors") + ", " +
                     p.symbol.name + ": " + box);
        const auto it = found.find(box);
        EXPECT_EQ(it == found.end() ? std::multiset<std::string>{} : it->second, Expected({p}));
      }
  }
}

TEST_F(PrintQuality, ABarcodeBesideAPhotoDecodesUnderEveryHalftone) {
  // ImageMagick's rose, smoothly enlarged, beside a Code 128.
  const Result rose = RunProgram({"/usr/bin/convert", "rose:", "-colorspace", "Gray", "-resize",
                                  "800%", "-depth", "8", "gray:-"},
                                 {"HOME=" + ScratchDir()});
  ASSERT_EQ(rose.out.size(), 560u * 368u);
  std::ostringstream photo;
  photo << "gsave 18 200 translate 252 166 scale /DeviceGray setcolorspace\n"
        << "<< /ImageType 1 /Width 560 /Height 368 /BitsPerComponent 8 /Decode [0 1] "
        << "/ImageMatrix [560 0 0 -368 0 368] /DataSource currentfile /ASCIIHexDecode filter >> "
           "image\n";
  static const char kHex[] = "0123456789ABCDEF";
  for (size_t i = 0; i < rose.out.size(); ++i) {
    const auto v = static_cast<unsigned char>(rose.out[i]);
    photo << kHex[v >> 4] << kHex[v & 15] << (i % 560 == 559 ? "\n" : "");
  }
  photo << ">\ngrestore\n";
  const Placed barcode{kCode128, 3, 18.37, 290, 40};
  const std::string file = WriteScratchFile(
      "photo.ps", Document(288, 432, {photo.str() + Drawing(barcode, Draw(kCode128), 432, false)}));
  std::vector<Job> jobs;
  for (const char *halftone : {"Threshold", "Ordered", "Diffusion"})
    jobs.push_back(
        Submit("vellum-zpl-203", file, {"PageSize=w288h432", std::string("Halftone=") + halftone}));
  const auto pictures = Pictures(jobs);
  std::vector<std::string> boxes;
  for (const auto &labels : pictures) {
    ASSERT_EQ(labels.size(), 1u);
    boxes.push_back(Boxed(labels[0], barcode, 203));
  }
  const auto found = Read(boxes);
  for (const std::string &box : boxes) {
    SCOPED_TRACE(box);
    const auto it = found.find(box);
    EXPECT_EQ(it == found.end() ? std::multiset<std::string>{} : it->second, Expected({barcode}));
  }
}

// The mean growth of the bars of the 4 x 6 in label's Code 128, in dots.
double BarGrowth(const Label &label, unsigned dpi) {
  const Placed code = FourBySix()[0];
  const Shape shape = Draw(code.symbol);
  const double dots_per_point = dpi / 72.0;
  const auto row = static_cast<uint64_t>((code.top + code.bar_height / 2) * dots_per_point);
  const auto from = static_cast<uint64_t>(code.x * dots_per_point) - 4;
  const auto to = static_cast<uint64_t>((code.x + Size(code, shape).first) * dots_per_point) + 4;
  std::vector<uint64_t> runs;
  for (uint64_t x = from; x < to; ++x) {
    if (!IsDot(label, label.rows.at(row), x))
      continue;
    uint64_t width = 0;
    while (x < to && IsDot(label, label.rows[row], x)) {
      ++width;
      ++x;
    }
    runs.push_back(width);
  }
  EXPECT_EQ(runs.size(), shape.bars.size());
  double printed = 0, drawn = 0;
  for (const uint64_t w : runs)
    printed += static_cast<double>(w);
  for (const Shape::Rect &bar : shape.bars)
    drawn += bar.w / 2 * ModulePoints(code) * dots_per_point;
  return (printed - drawn) / static_cast<double>(shape.bars.size());
}

TEST_F(PrintQuality, VectorBarsKeepTheirWidthUnlessCentreOfPixelFillingIsTurnedOff) {
  const std::string file = WriteScratchFile(
      "code128.ps", Document(288, 432, {Drawing(FourBySix()[0], Draw(kCode128), 432, false)}));
  struct Case {
    const char *queue;
    unsigned dpi;
    std::vector<std::string> options;
    double low, high; // the mean growth per bar, in dots
  };
  const Case cases[] = {
      {"vellum-zpl-203", 203, {}, -0.15, 0.15},
      {"vellum-zpl-300", 300, {}, -0.15, 0.15},
      {"vellum-tspl-203", 203, {}, -0.15, 0.15},
      // Every pixel a bar touches: one dot more per bar.
      {"vellum-zpl-203", 203, {"CenterOfPixel=False"}, 0.85, 1.15},
  };
  std::vector<Job> jobs;
  for (const Case &c : cases) {
    std::vector<std::string> options = c.options;
    options.push_back("PageSize=w288h432");
    jobs.push_back(Submit(c.queue, file, options));
  }
  Pictures(jobs);
  for (size_t i = 0; i < jobs.size(); ++i) {
    SCOPED_TRACE(std::string(cases[i].queue) + " " + testing::PrintToString(cases[i].options));
    const double growth = BarGrowth(OnlyLabel(jobs[i]), cases[i].dpi);
    EXPECT_GE(growth, cases[i].low);
    EXPECT_LE(growth, cases[i].high);
  }
}

} // namespace
} // namespace vellum_test
