// The job's budget: sizes in dots at the printer's resolution, and the
// owner's limits on pages and Ghostscript's time.
#include "budget.h"

#include <cerrno>
#include <cstdlib>

namespace vellum_app {

Extent PointsToDots(Extent points, unsigned dpi) {
  const auto dots = [dpi](uint32_t pts) {
    return static_cast<uint32_t>((uint64_t{pts} * dpi + 71) / 72);
  };
  return {dots(points.width), dots(points.height)};
}

bool WithinBudget(Extent dots, unsigned dpi) {
  return FitsLabel(dots, PointsToDots(kLongestLabelPoints, dpi)) ||
         FitsLabel(dots, PointsToDots(kLargestPagePoints, dpi));
}

std::string OverBudget(const char *what, const char *unit, Extent size, unsigned dpi) {
  const Extent label = PointsToDots(kLongestLabelPoints, dpi);
  const Extent page = PointsToDots(kLargestPagePoints, dpi);
  const auto dims = [unit](Extent e) {
    return std::to_string(e.width) + " x " + std::to_string(e.height) + " " + unit;
  };
  return std::string("The ") + what + " is " + dims(size) + "; this printer takes at most " +
         dims(label) + " (a 4.25 x 100 in label) or " + dims(page) + " (a 17 x 22 in page) at " +
         std::to_string(dpi) + " dpi.";
}

namespace {

// A whole number from 1 to 1,000,000, or `otherwise`.
uint32_t Setting(const char *text, uint32_t otherwise) {
  if (text == nullptr || *text < '0' || *text > '9')
    return otherwise;
  char *end = nullptr;
  errno = 0;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (errno != 0 || *end != '\0' || value < 1 || value > 1000000)
    return otherwise;
  return static_cast<uint32_t>(value);
}

} // namespace

JobLimits ReadJobLimits(const char *pages, const char *pdf_seconds) {
  JobLimits limits;
  limits.pages = Setting(pages, limits.pages);
  limits.pdf_seconds = Setting(pdf_seconds, limits.pdf_seconds);
  return limits;
}

JobLimits JobLimitsNow() {
  return ReadJobLimits(std::getenv("VELLUM_MAX_PAGES"), std::getenv("VELLUM_PDF_SECONDS"));
}

std::string TooManyPages(uint32_t limit) {
  return "The document has more than " + std::to_string(limit) +
         " pages; this printer prints at most " + std::to_string(limit) +
         " pages a job, and the pages after those were not printed.";
}

} // namespace vellum_app
