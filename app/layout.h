// Pages larger than the loaded label: finding the label on them (a
// carrier's US letter or A4 page with a 4 x 6 in label at the top left, or
// turned into the top half, with instructions and a receipt around it) and
// placing a part of a page on the label. Pages here are ink: one byte per
// dot, 0 white to 255 black, rows of `width` bytes.
#ifndef VELLUM_APP_LAYOUT_H
#define VELLUM_APP_LAYOUT_H

#include <cstdint>
#include <vector>

namespace vellum_app {

// A width and a height: in dots, or in points where so named.
struct Extent {
  uint32_t width = 0, height = 0;
};

// Whether a page of `page` fits on a label of `label` either way round,
// within the 2 % that drawing programs and rounding leave.
bool FitsLabel(Extent page, Extent label);

// Whether a page lies the other way round than the label (landscape on a
// portrait label), so that it is turned to fill it.
bool TurnedOnLabel(Extent page, Extent label);

// A part of a page in dots; turned when it fits the label only turned.
struct Region {
  uint32_t x = 0, y = 0, width = 0, height = 0;
  bool turned = false;
};

// The labels on a page larger than the label, in reading order (rows from
// the top, each from the left): the parts of the page's ink that fit the
// label either way round and cover at least half of it, set apart from each
// other and the rest of the page by a quarter of an inch of clear space or
// drawn inside frames of their own. Framed labels win where there are two
// or more; else the one set apart by clear space; else the one framed; else
// all those set apart. None when no part is such a label; none and
// `doubtful` when two or more are, but their bounds overlap, so that the
// page cannot be split with confidence.
struct FoundLabels {
  std::vector<Region> labels;
  bool doubtful = false;
};
FoundLabels FindLabels(const std::vector<uint8_t> &page, Extent size, Extent label, unsigned dpi);

// A label-size page of ink with the region of the page on it at full
// size: turned a quarter turn anticlockwise when the region is turned (as
// Ghostscript turns a landscape page onto a portrait label), centred, cut
// at the label's edges where it is larger.
std::vector<uint8_t> PlaceRegion(const std::vector<uint8_t> &page, Extent size,
                                 const Region &region, Extent label);

} // namespace vellum_app

#endif
