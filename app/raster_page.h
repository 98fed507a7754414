// A raster page (PWG or Apple raster) as PAPPL hands it to the driver line
// by line, checked against the job's budget before any memory is taken for
// it; and the page the label engine prints of it: the page as it is, or
// the part print-scaling puts on a smaller label, so that what is held
// once the page is placed follows the label rather than the page.
#ifndef VELLUM_APP_RASTER_PAGE_H
#define VELLUM_APP_RASTER_PAGE_H

#include <cstdint>
#include <string>
#include <vector>

#include <cups/raster.h>
#include <pappl/printer.h>

#include "engine.h"
#include "layout.h"

namespace vellum_app {

// How print-scaling lays out a page larger than the label (both in dots at
// dpi): the parts that go each on a label of its own at full size ("auto"
// every label found on the page, in reading order; "none" the page's top
// left; "fill" its middle, of a page drawn just large enough to cover the
// label), and the labels found on it. No parts: the page is fitted on the
// label instead.
struct PageLayout {
  std::vector<Region> parts;
  size_t labels = 0;     // the labels found on the page
  bool doubtful = false; // two or more, that could not be told apart
  bool laid_out = false; // the page was larger than the label
};
PageLayout LayOutPage(pappl_scaling_t scaling, const std::vector<uint8_t> &page, Extent size,
                      Extent label, unsigned dpi);

// A page on its way: its header and its rows as ink (255 black), one byte
// a dot.
struct RasterPage {
  cups_page_header2_t header{};
  std::vector<uint8_t> ink;
  uint32_t lines = 0; // lines kept so far
};

// Takes page `number` (from 1) of this header for a printer at `dpi`.
// Returns "" or, taking nothing, why it is refused: a page beyond the
// budget, or a page after the job's `most_pages`.
std::string StartRasterPage(RasterPage &page, const cups_page_header2_t &header, unsigned number,
                            unsigned dpi, uint32_t most_pages);

// Keeps line y (sGray, 0 black, as wide as the page) as ink; a line
// beyond the page is ignored.
void KeepRasterLine(RasterPage &page, uint32_t y, const unsigned char *line);

// Whether every line of the page has come.
bool RasterPageWhole(const RasterPage &page);

// The pages the engine prints of a page on labels of `label` dots: where it
// is larger than the label and print-scaling (other than "fill") puts parts
// of it on labels at full size, those parts, each placed on a label of its
// own in reading order, and the page's own rows released; else the page
// itself. `layout` (where given) says how the page was laid out (no parts
// for a page that fits the label).
std::vector<RasterPage> LabelsOfPage(RasterPage &page, pappl_scaling_t scaling, Extent label,
                                     unsigned dpi, PageLayout *layout);

// The page's rows, one after the other, as the engine reads them.
RowReader PageRows(const RasterPage &page, size_t *next_row);

} // namespace vellum_app

#endif
