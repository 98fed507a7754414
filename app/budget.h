// What one job may make the server hold. A page (or an image) is taken
// only when it fits the longest label the printers offer (4.25 x 100 in)
// or the largest page laid out at its own size (17 x 22 in, which holds
// US letter and legal, A4 and A3), either way round, at the printer's
// resolution; a printer program only up to a length; a job only up to a
// number of pages; a PDF only while Ghostscript renders it within a time.
// Every size a document declares is checked against these before any
// memory is taken for it.
#ifndef VELLUM_APP_BUDGET_H
#define VELLUM_APP_BUDGET_H

#include <cstdint>
#include <string>

#include "layout.h"

namespace vellum_app {

// The longest label (the custom size's largest) and the largest page laid
// out at its own size, in points.
constexpr Extent kLongestLabelPoints{306, 7200};
constexpr Extent kLargestPagePoints{1224, 1584};

// An extent in points as dots at `dpi`, rounded up.
Extent PointsToDots(Extent points, unsigned dpi);

// Whether a page of `dots` at `dpi` fits the longest label or the largest
// page, either way round (with the 2 % FitsLabel allows).
bool WithinBudget(Extent dots, unsigned dpi);

// Why a page or an image of `size` is refused, for the job's message:
// "The page is 100000 x 100000 dots; this printer takes at most 863 x
// 20300 dots (a 4.25 x 100 in label) or 3451 x 4466 dots (a 17 x 22 in
// page) at 203 dpi." `what` is "page" or "image", `unit` "dots" or
// "pixels".
std::string OverBudget(const char *what, const char *unit, Extent size, unsigned dpi);

// The longest printer program a job may send: programs are held whole.
constexpr uint64_t kLongestProgram = uint64_t{64} << 20;

// The most pages one job prints, and the seconds one PDF document may
// keep its job waiting for Ghostscript (the time the printer takes to
// print does not count). The owner changes them in the server's
// environment: VELLUM_MAX_PAGES and VELLUM_PDF_SECONDS.
struct JobLimits {
  uint32_t pages = 1000;
  uint32_t pdf_seconds = 120;
};

// The limits from the two settings' texts (nullptr: not set); a text that
// is no whole number from 1 to 1,000,000 leaves the default.
JobLimits ReadJobLimits(const char *pages, const char *pdf_seconds);

// The limits from the server's environment.
JobLimits JobLimitsNow();

// The job's message for a document with more pages than the limit.
std::string TooManyPages(uint32_t limit);

} // namespace vellum_app

#endif
