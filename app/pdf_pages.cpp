// Page sizes of PDF documents, read without trusting a number in them.
#include "pdf_pages.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace vellum_app {

namespace {

constexpr double kMostPoints = 4e9; // beyond any page: within uint32_t

// A size in points: nothing for a value that is no number, at most
// kMostPoints.
std::optional<uint32_t> Points(double value) {
  if (std::isnan(value))
    return std::nullopt;
  return static_cast<uint32_t>(std::min(std::fabs(value), kMostPoints));
}

} // namespace

bool PlainBoxesFit(const std::string &pdf, Extent label) {
  if (pdf.find("/ObjStm") != std::string::npos)
    return false;
  bool any = false;
  for (size_t at = pdf.find("/MediaBox"); at != std::string::npos;
       at = pdf.find("/MediaBox", at + 1)) {
    const char *p = pdf.c_str() + at + 9;
    while (*p == ' ' || *p == '\r' || *p == '\n')
      ++p;
    if (*p++ != '[')
      return false;
    double box[4];
    for (double &value : box) {
      char *end = nullptr;
      value = std::strtod(p, &end);
      if (end == p)
        return false;
      p = end;
    }
    const auto width = Points(box[2] - box[0]), height = Points(box[3] - box[1]);
    if (!width || !height || !FitsLabel({*width, *height}, label))
      return false;
    any = true;
  }
  return any;
}

std::optional<std::vector<Extent>> ParsePageSizes(const std::string &text) {
  std::vector<Extent> pages;
  const char *p = text.c_str();
  for (;;) {
    char *end = nullptr;
    const double width = std::strtod(p, &end);
    if (end == p)
      break;
    p = end;
    const double height = std::strtod(p, &end);
    if (end == p)
      return std::nullopt;
    p = end;
    const auto w = Points(width), h = Points(height);
    if (!w || !h)
      return std::nullopt;
    pages.push_back({*w, *h});
  }
  if (pages.empty())
    return std::nullopt;
  return pages;
}

std::optional<double> FillScale(Extent points, Extent label) {
  if (points.width == 0 || points.height == 0)
    return std::nullopt;
  if (TurnedOnLabel(points, label))
    std::swap(points.width, points.height);
  return std::max(static_cast<double>(label.width) / points.width,
                  static_cast<double>(label.height) / points.height);
}

Extent RenderedDots(Extent points, double scale, unsigned dpi) {
  const auto dots = [scale, dpi](uint32_t pts) {
    return static_cast<uint32_t>(std::min(std::ceil(pts * scale * dpi / 72.0), 4e9));
  };
  return {dots(points.width), dots(points.height)};
}

} // namespace vellum_app
