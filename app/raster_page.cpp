// Raster pages: refused by their header when they exceed the budget,
// gathered as ink, placed on the label by print-scaling.
#include "raster_page.h"

#include <algorithm>
#include <cstring>

#include "budget.h"

namespace vellum_app {

PageLayout LayOutPage(pappl_scaling_t scaling, const std::vector<uint8_t> &page, Extent size,
                      Extent label, unsigned dpi) {
  PageLayout layout;
  if (scaling != PAPPL_SCALING_AUTO && scaling != PAPPL_SCALING_NONE &&
      scaling != PAPPL_SCALING_FILL)
    return layout;
  layout.laid_out = true;
  FoundLabels found = FindLabels(page, size, label, dpi);
  layout.labels = found.labels.size();
  layout.doubtful = found.doubtful;
  if (scaling == PAPPL_SCALING_AUTO) {
    layout.parts = std::move(found.labels);
  } else if (scaling == PAPPL_SCALING_NONE) {
    layout.parts.push_back(Region{0, 0, std::min(size.width, label.width),
                                  std::min(size.height, label.height), false});
  } else {
    const bool turned = TurnedOnLabel(size, label);
    const uint32_t wide = std::min(size.width, turned ? label.height : label.width);
    const uint32_t high = std::min(size.height, turned ? label.width : label.height);
    layout.parts.push_back(
        Region{(size.width - wide) / 2, (size.height - high) / 2, wide, high, turned});
  }
  return layout;
}

std::string StartRasterPage(RasterPage &page, const cups_page_header2_t &header, unsigned number,
                            unsigned dpi, uint32_t most_pages) {
  page.ink.clear();
  page.ink.shrink_to_fit();
  page.lines = 0;
  if (number > most_pages)
    return TooManyPages(most_pages);
  // One byte a dot: a wider row than the page (a header that does not add
  // up) is as costly as its width.
  const uint32_t width = std::max(header.cupsWidth, header.cupsBytesPerLine);
  if (!WithinBudget({width, header.cupsHeight}, dpi))
    return OverBudget("page", "dots", {header.cupsWidth, header.cupsHeight}, dpi);
  page.header = header;
  page.ink.assign(size_t{header.cupsBytesPerLine} * header.cupsHeight, 0);
  return "";
}

// PAPPL's lines are sGray (0 black), the CUPS raster of the PPDs is black
// ink (255 black), and the engine's Negative option turns ink into grey.
void KeepRasterLine(RasterPage &page, uint32_t y, const unsigned char *line) {
  const uint32_t width = page.header.cupsBytesPerLine;
  if (y >= page.header.cupsHeight || page.ink.size() < size_t{width} * page.header.cupsHeight)
    return;
  unsigned char *row = page.ink.data() + size_t{y} * width;
  for (uint32_t x = 0; x < width; ++x)
    row[x] = static_cast<unsigned char>(~line[x]);
  ++page.lines;
}

bool RasterPageWhole(const RasterPage &page) { return page.lines >= page.header.cupsHeight; }

std::vector<RasterPage> LabelsOfPage(RasterPage &page, pappl_scaling_t scaling, Extent label,
                                     unsigned dpi, PageLayout *layout) {
  const Extent size{page.header.cupsBytesPerLine, page.header.cupsHeight};
  std::vector<RasterPage> labels;
  PageLayout laid_out;
  if (scaling != PAPPL_SCALING_FILL && !FitsLabel(size, label))
    laid_out = LayOutPage(scaling, page.ink, size, label, dpi);
  if (layout != nullptr)
    *layout = laid_out;
  if (laid_out.parts.empty()) {
    labels.push_back(std::move(page));
    page = RasterPage{};
    return labels;
  }
  for (const Region &region : laid_out.parts) {
    RasterPage placed;
    placed.header = page.header;
    placed.header.cupsWidth = placed.header.cupsBytesPerLine = label.width;
    placed.header.cupsHeight = label.height;
    placed.ink = PlaceRegion(page.ink, size, region, label);
    placed.lines = label.height;
    labels.push_back(std::move(placed));
  }
  page = RasterPage{};
  return labels;
}

RowReader PageRows(const RasterPage &page, size_t *next_row) {
  *next_row = 0;
  return [&page, next_row](unsigned char *row, uint32_t bytes) {
    const size_t offset = *next_row * bytes;
    if (offset + bytes > page.ink.size())
      return false;
    std::memcpy(row, page.ink.data() + offset, bytes);
    ++*next_row;
    return true;
  };
}

} // namespace vellum_app
