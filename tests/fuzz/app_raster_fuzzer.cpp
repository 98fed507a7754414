// libFuzzer target: raster streams (PWG, Apple, CUPS raster) through the
// printer application's raster callbacks as PAPPL calls them (the page
// header checked against the budget, the lines gathered, the page placed
// on the label by print-scaling, found by FindLabel) and the label engine.
//
// Input: 3 bytes (the printer's resolution, print-scaling, the label size,
// the job's page limit), then the raster stream. The resolutions are low
// (4 to 23 dpi), so that the budget's pages are small and every execution
// short while every path of the page code is reached.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <cups/raster.h>

#include "budget.h"
#include "engine.h"
#include "raster_page.h"

// Allocations far beyond any page the fuzz build takes fail (malloc) or
// end the run with a report (new): a page that passes the budget shows.
extern "C" const char *__asan_default_options() {
  return "max_allocation_size_mb=64:allocator_may_return_null=1";
}

namespace {

// The raster stream, read from the input.
struct Cursor {
  const uint8_t *data;
  size_t size;
};

ssize_t ReadInput(void *ctx, unsigned char *buffer, size_t length) {
  auto *cursor = static_cast<Cursor *>(ctx);
  const size_t n = std::min(length, cursor->size);
  std::memcpy(buffer, cursor->data, n);
  cursor->data += n;
  cursor->size -= n;
  return static_cast<ssize_t>(n);
}

// The printers' label sizes in points (4 x 6, 2 x 1, 1.25 x 0.25, 4.25 x
// 100 in, 100 x 150 mm, 0.25 x 0.25 in).
constexpr vellum_app::Extent kLabels[] = {{288, 432},  {144, 72},  {90, 18},
                                          {306, 7200}, {283, 425}, {18, 18}};
constexpr pappl_scaling_t kScalings[] = {PAPPL_SCALING_AUTO, PAPPL_SCALING_AUTO_FIT,
                                         PAPPL_SCALING_FILL, PAPPL_SCALING_FIT, PAPPL_SCALING_NONE};

FILE *nowhere = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  nowhere = std::fopen("/dev/null", "w");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 3)
    return 0;
  const unsigned dpi = 4 + data[0] % 20;
  const pappl_scaling_t scaling = kScalings[data[1] % 5];
  const vellum_app::Extent label = vellum_app::PointsToDots(kLabels[(data[1] / 5) % 6], dpi);
  const uint32_t most_pages = 1 + data[2] % 4;
  Cursor cursor{data + 3, size - 3};
  cups_raster_t *ras = cupsRasterOpenIO(ReadInput, &cursor, CUPS_RASTER_READ);

  LabelJob job;
  job.out = job.log = nowhere;
  job.options.model_number = data[2] & 0x80 ? 48 : 18;
  job.options.marked = {{"Darkness", "PrinterS"}, {"Halftone", "Threshold"}};
  Setup(job);
  cups_page_header2_t header;
  for (unsigned page = 1; cupsRasterReadHeader2(ras, &header); ++page) {
    // What PAPPL refuses before it calls the driver, and what it hands over
    // of 8-bit pages only (the printers take no other).
    // (The colour order is read as the number it is: a value beyond the
    // enumeration is no cups_order_t in C++.)
    uint32_t order = 0;
    std::memcpy(&order, &header.cupsColorOrder, sizeof order);
    if (header.cupsWidth == 0 || header.cupsHeight == 0 || header.cupsBitsPerColor != 8 ||
        header.cupsBitsPerPixel != 8 || order != CUPS_ORDER_CHUNKED ||
        header.cupsBytesPerLine != header.cupsWidth)
      break;
    vellum_app::RasterPage raster;
    if (!vellum_app::StartRasterPage(raster, header, page, dpi, most_pages).empty())
      break;
    std::vector<unsigned char> line(header.cupsBytesPerLine);
    for (uint32_t y = 0; y < header.cupsHeight; ++y) {
      if (!cupsRasterReadPixels(ras, line.data(), header.cupsBytesPerLine))
        break;
      vellum_app::KeepRasterLine(raster, y, line.data());
    }
    if (!vellum_app::RasterPageWhole(raster))
      break;
    vellum_app::PageLayout layout;
    for (vellum_app::RasterPage &placed :
         vellum_app::LabelsOfPage(raster, scaling, label, dpi, &layout)) {
      size_t next_row = 0;
      PrintPage(job, &placed.header, vellum_app::PageRows(placed, &next_row));
    }
  }
  ReleaseLabelJob(job);
  cupsRasterClose(ras);
  return 0;
}
