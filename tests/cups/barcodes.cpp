#include "barcodes.h"

#include <cmath>
#include <cstdlib>
#include <sstream>

#include <unistd.h>

#include <gtest/gtest.h>

#include "harness.h"

namespace vellum_test {

bool HaveTools() {
  return access("/usr/bin/zint", X_OK) == 0 && access("/usr/bin/zbarimg", X_OK) == 0 &&
         RunProgram({"/usr/bin/python3", "-c", "import zxingcpp, PIL"}, {}).exit_status == 0;
}

// Reads zint's EPS: its bounding box and black rectangles. zint draws a
// rectangle with a procedure that takes its height, y, x and width, and
// for the next rectangle of the same row copies the height and y left on
// the stack (zint 2.11: "h y TB x w TR TE"; 2.15: "h y x w R", then
// "I x w R", the last one "x w R"): the operands are followed on a stack.
Shape Draw(const Symbol &symbol) {
  std::vector<std::string> argv = {"/usr/bin/zint", "--notext", "--scale=1", "--filetype=EPS",
                                   "--direct"};
  argv.insert(argv.end(), symbol.zint.begin(), symbol.zint.end());
  const std::string eps = RunProgram(argv, {}).out;
  Shape shape;
  std::istringstream lines(eps);
  std::vector<double> stack;
  const auto pop = [&stack]() {
    const double top = stack.empty() ? 0 : stack.back();
    if (!stack.empty())
      stack.pop_back();
    return top;
  };
  bool black = false;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string word; words >> word;)
      w.push_back(word);
    if (w.size() == 5 && w[0] == "%%BoundingBox:") {
      shape.width = std::stod(w[3]);
      shape.height = std::stod(w[4]);
    }
    if (w.empty() || w[0][0] == '%' || w[0][0] == '/') // comments, procedure definitions
      continue;
    for (const std::string &word : w) {
      char *end = nullptr;
      const double number = std::strtod(word.c_str(), &end);
      if (*end == '\0') {
        stack.push_back(number);
      } else if ((word == "TB" || word == "I") && stack.size() >= 2) {
        stack.insert(stack.end(), stack.end() - 2, stack.end());
      } else if (word == "TR" || word == "R") {
        const double width = pop(), x = pop(), y = pop(), height = pop();
        if (black)
          shape.bars.push_back({x, y, width, height});
      } else if (word == "TE") {
        pop();
        pop();
      } else if (word == "setrgbcolor") {
        black = pop() + pop() + pop() == 0;
      }
    }
  }
  const std::string header_end = "%%EndComments\n";
  const size_t body = eps.find(header_end);
  shape.body = body == std::string::npos ? "" : eps.substr(body + header_end.size());
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

} // namespace vellum_test
