// Barcodes for the print-quality tests: symbols drawn by Debian's zint as
// PostScript, placed on label pages, and read back from drawn labels with
// zxing-cpp and zbar (read_barcodes.py).
#ifndef VELLUM_TESTS_BARCODES_H
#define VELLUM_TESTS_BARCODES_H

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace vellum_test {

// A symbol as zint draws it: black rectangles in its units (two per module).
struct Shape {
  double width = 0, height = 0; // the bounding box
  struct Rect {
    double x, y, w, h; // from the bottom left, as PostScript has it
  };
  std::vector<Rect> bars;
  std::string body; // the drawing, from its procedure definitions on (after the comments)
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

// Whether zint, zbar and zxing-cpp (with PIL) are installed.
bool HaveTools();
Shape Draw(const Symbol &symbol);
// A module in points.
double ModulePoints(const Placed &p);
// The symbol's size on the page in points.
std::pair<double, double> Size(const Placed &p, const Shape &shape);
// PostScript that draws the symbol on a page `page_height` points tall:
// zint's own vector drawing, or an 8-bit image of it at five pixels a
// module, which is no printer's resolution for the module sizes used here.
std::string Drawing(const Placed &p, const Shape &shape, double page_height, bool image);
// A PostScript document of pages `width` x `height` points.
std::string Document(double width, double height, const std::vector<std::string> &pages);

extern const Symbol kCode128, kCode128Short, kGs1, kGs1Short, kQr, kDataMatrix, kPdf417;

// A 4 x 6 in label with all five symbols, 1D codes at 3 dots a module.
std::vector<Placed> FourBySix();
// A 2 x 1 in label per symbol, centred, with what fits.
std::vector<Placed> TwoByOne();
// The symbol with its quiet zone, as PICTURE@LEFT,TOP,RIGHT,BOTTOM in dots of
// a label printed at dpi.
std::string Boxed(const std::string &picture, const Placed &p, unsigned dpi);
// What the readers found, one line per symbol: READER FORMAT TEXT per picture.
std::map<std::string, std::multiset<std::string>> Read(const std::vector<std::string> &pictures);
// What the readers must find for these symbols: each exactly once.
std::multiset<std::string> Expected(const std::vector<Placed> &symbols);

} // namespace vellum_test

#endif
