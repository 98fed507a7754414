// What the application reads of a PDF itself before Ghostscript renders
// it: the page boxes written plainly in the file, the page sizes
// Ghostscript reports, and what they make of the pages it renders. Sizes
// are in points (1/72 in).
#ifndef VELLUM_APP_PDF_PAGES_H
#define VELLUM_APP_PDF_PAGES_H

#include <optional>
#include <string>
#include <vector>

#include "layout.h"

namespace vellum_app {

// Whether every page box written plainly in the file fits the label: true
// only when the file has one at least and keeps no objects in compressed
// streams, where a page's box could hide. A box that is no number, or
// beyond any page, does not fit.
bool PlainBoxesFit(const std::string &pdf, Extent label);

// The page sizes in Ghostscript's answer ("WIDTH HEIGHT" a page); nothing
// when it holds none, or a size that is no number. A size beyond
// 4,000,000,000 points is taken as that many (a poster).
std::optional<std::vector<Extent>> ParsePageSizes(const std::string &text);

// The scale of the printer's resolution at which a page of `points` just
// covers the label, turned to it as Ghostscript turns a page to fit;
// nothing for a page without area.
std::optional<double> FillScale(Extent points, Extent label);

// A page of `points` rendered at `scale` times `dpi`, in dots (rounded up).
Extent RenderedDots(Extent points, double scale, unsigned dpi);

} // namespace vellum_app

#endif
