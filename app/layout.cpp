// Finding the labels on a larger page: the page is mapped onto cells of a
// twentieth of an inch, set where any dot is ink; parts of the ink are the
// groups of cells that lie close together. A part is a label when it fits
// the label and covers at least half of it: the whole ink of the page, the
// parts that a quarter of an inch of clear space sets apart, or the parts
// drawn inside a frame.
#include "layout.h"

#include <algorithm>
#include <cstddef>
#include <optional>

namespace vellum_app {

namespace {

constexpr uint8_t kInk = 128; // a dot at least this dark is ink
constexpr unsigned kCellsPerInch = 20;
constexpr double kTolerance = 1.02; // what a label may exceed the loaded one by

// The page as cells: 1 where any of the cell's dots is ink.
struct Cells {
  uint32_t size = 1; // dots per cell, both ways
  uint32_t cols = 0, rows = 0;
  std::vector<uint8_t> ink;
  uint8_t At(uint32_t col, uint32_t row) const { return ink[size_t{row} * cols + col]; }
};

Cells MapCells(const std::vector<uint8_t> &page, Extent size, unsigned dpi) {
  Cells cells;
  cells.size = std::max(1u, dpi / kCellsPerInch);
  cells.cols = (size.width + cells.size - 1) / cells.size;
  cells.rows = (size.height + cells.size - 1) / cells.size;
  cells.ink.assign(size_t{cells.cols} * cells.rows, 0);
  for (uint32_t y = 0; y < size.height; ++y) {
    const uint8_t *row = page.data() + size_t{y} * size.width;
    uint8_t *line = cells.ink.data() + size_t{y / cells.size} * cells.cols;
    for (uint32_t col = 0; col < cells.cols; ++col) {
      if (line[col] != 0)
        continue;
      const uint32_t end = std::min(size.width, (col + 1) * cells.size);
      for (uint32_t x = col * cells.size; x < end && line[col] == 0; ++x)
        line[col] = row[x] >= kInk;
    }
  }
  return cells;
}

// A group of ink cells: the cells and their bounds in cells.
struct Part {
  std::vector<uint32_t> cells; // indices into Cells::ink
  uint32_t col0 = UINT32_MAX, row0 = UINT32_MAX, col1 = 0, row1 = 0;
};

// The groups of ink cells in which every cell is at most `reach` cells
// (either way) from another of its group.
std::vector<Part> Parts(const Cells &cells, uint32_t reach, std::vector<int32_t> &group) {
  std::vector<Part> parts;
  group.assign(cells.ink.size(), -1);
  std::vector<uint32_t> todo;
  for (uint32_t start = 0; start < cells.ink.size(); ++start) {
    if (cells.ink[start] == 0 || group[start] >= 0)
      continue;
    const auto id = static_cast<int32_t>(parts.size());
    parts.emplace_back();
    Part &part = parts.back();
    group[start] = id;
    todo.assign(1, start);
    while (!todo.empty()) {
      const uint32_t cell = todo.back();
      todo.pop_back();
      part.cells.push_back(cell);
      const uint32_t col = cell % cells.cols, row = cell / cells.cols;
      part.col0 = std::min(part.col0, col);
      part.col1 = std::max(part.col1, col);
      part.row0 = std::min(part.row0, row);
      part.row1 = std::max(part.row1, row);
      const uint32_t r0 = row > reach ? row - reach : 0, c0 = col > reach ? col - reach : 0;
      const uint32_t r1 = std::min(cells.rows - 1, row + reach);
      const uint32_t c1 = std::min(cells.cols - 1, col + reach);
      for (uint32_t r = r0; r <= r1; ++r)
        for (uint32_t c = c0; c <= c1; ++c) {
          const uint32_t next = r * cells.cols + c;
          if (cells.ink[next] != 0 && group[next] < 0) {
            group[next] = id;
            todo.push_back(next);
          }
        }
    }
  }
  return parts;
}

// Whether the part's own cells draw most of each edge of its bounds: a
// frame around what it holds.
bool Framed(const Part &part, const Cells &cells, const std::vector<int32_t> &group, int32_t id) {
  const auto drawn = [&](uint32_t c0, uint32_t r0, uint32_t c1, uint32_t r1) {
    uint32_t set = 0, all = 0;
    for (uint32_t r = r0; r <= r1; ++r)
      for (uint32_t c = c0; c <= c1; ++c, ++all)
        set += group[size_t{r} * cells.cols + c] == id;
    return set * 10 >= all * 9;
  };
  return part.col1 > part.col0 + 2 && part.row1 > part.row0 + 2 &&
         drawn(part.col0, part.row0, part.col1, part.row0) &&
         drawn(part.col0, part.row1, part.col1, part.row1) &&
         drawn(part.col0, part.row0, part.col0, part.row1) &&
         drawn(part.col1, part.row0, part.col1, part.row1);
}

// The part's bounds in dots, from the ink dots of its cells.
Region DotBounds(const std::vector<uint8_t> &page, Extent size, const Cells &cells,
                 const std::vector<uint32_t> &of) {
  uint32_t x0 = UINT32_MAX, y0 = UINT32_MAX, x1 = 0, y1 = 0;
  for (const uint32_t cell : of) {
    const uint32_t cx = cell % cells.cols * cells.size, cy = cell / cells.cols * cells.size;
    const uint32_t ex = std::min(size.width, cx + cells.size);
    const uint32_t ey = std::min(size.height, cy + cells.size);
    for (uint32_t y = cy; y < ey; ++y)
      for (uint32_t x = cx; x < ex; ++x)
        if (page[size_t{y} * size.width + x] >= kInk) {
          x0 = std::min(x0, x);
          x1 = std::max(x1, x);
          y0 = std::min(y0, y);
          y1 = std::max(y1, y);
        }
  }
  if (x0 > x1)
    return {};
  return {x0, y0, x1 - x0 + 1, y1 - y0 + 1, false};
}

// Whether a size is within a limit of the label's, with its tolerance.
bool Within(uint32_t size, uint32_t limit) { return size <= limit * kTolerance; }

// The region as a label: fitting it (turned when only turned fits) and
// covering at least half of it; nothing otherwise.
std::optional<Region> AsLabel(Region region, Extent label) {
  if (uint64_t{region.width} * region.height * 2 < uint64_t{label.width} * label.height)
    return std::nullopt;
  if (Within(region.width, label.width) && Within(region.height, label.height))
    return region;
  if (Within(region.width, label.height) && Within(region.height, label.width)) {
    region.turned = true;
    return region;
  }
  return std::nullopt;
}

// The labels among the groups of cells within `reach` of each other; with
// `framed`, only those drawn inside a frame of their own and not within
// another such.
std::vector<Region> Candidates(const std::vector<uint8_t> &page, Extent size, const Cells &cells,
                               Extent label, uint32_t reach, bool framed) {
  std::vector<int32_t> group;
  const std::vector<Part> parts = Parts(cells, reach, group);
  std::vector<Region> found;
  for (size_t i = 0; i < parts.size(); ++i) {
    const Part &part = parts[i];
    // Too small in cells to be half a label: no need to look at its dots.
    const uint64_t w = uint64_t{part.col1 - part.col0 + 1} * cells.size;
    const uint64_t h = uint64_t{part.row1 - part.row0 + 1} * cells.size;
    if (w * h * 2 < uint64_t{label.width} * label.height)
      continue;
    if (framed && !Framed(part, cells, group, static_cast<int32_t>(i)))
      continue;
    if (const auto region = AsLabel(DotBounds(page, size, cells, part.cells), label))
      found.push_back(*region);
  }
  if (framed) {
    // A frame within another is part of that label.
    const auto inside = [](const Region &a, const Region &b) {
      return a.x >= b.x && a.y >= b.y && a.x + a.width <= b.x + b.width &&
             a.y + a.height <= b.y + b.height && (a.width < b.width || a.height < b.height);
    };
    std::vector<Region> outer;
    for (const Region &a : found)
      if (std::none_of(found.begin(), found.end(), [&](const Region &b) { return inside(a, b); }))
        outer.push_back(a);
    found = outer;
  }
  return found;
}

} // namespace

bool FitsLabel(Extent page, Extent label) {
  return (Within(page.width, label.width) && Within(page.height, label.height)) ||
         (Within(page.width, label.height) && Within(page.height, label.width));
}

bool TurnedOnLabel(Extent page, Extent label) {
  return (page.width > page.height) != (label.width > label.height);
}

namespace {

// Whether two regions share a dot.
bool Overlap(const Region &a, const Region &b) {
  return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height && b.y < a.y + a.height;
}

// The regions in reading order: rows from the top (a region whose top lies
// above the middle of the row's first one is in that row), each row from
// the left.
std::vector<Region> ReadingOrder(std::vector<Region> regions) {
  std::sort(regions.begin(), regions.end(),
            [](const Region &a, const Region &b) { return a.y != b.y ? a.y < b.y : a.x < b.x; });
  std::vector<Region> ordered;
  for (size_t row = 0; row < regions.size();) {
    size_t end = row + 1;
    while (end < regions.size() && regions[end].y < regions[row].y + regions[row].height / 2)
      ++end;
    std::sort(regions.begin() + static_cast<std::ptrdiff_t>(row),
              regions.begin() + static_cast<std::ptrdiff_t>(end),
              [](const Region &a, const Region &b) { return a.x < b.x; });
    ordered.insert(ordered.end(), regions.begin() + static_cast<std::ptrdiff_t>(row),
                   regions.begin() + static_cast<std::ptrdiff_t>(end));
    row = end;
  }
  return ordered;
}

} // namespace

FoundLabels FindLabels(const std::vector<uint8_t> &page, Extent size, Extent label, unsigned dpi) {
  FoundLabels found;
  if (page.size() < size_t{size.width} * size.height || label.width == 0 || label.height == 0)
    return found;
  const Cells cells = MapCells(page, size, dpi);
  // All the page's ink: nothing else is on the page.
  std::vector<uint32_t> all;
  for (uint32_t i = 0; i < cells.ink.size(); ++i)
    if (cells.ink[i] != 0)
      all.push_back(i);
  if (all.empty())
    return found;
  if (const auto whole = AsLabel(DotBounds(page, size, cells, all), label)) {
    found.labels.push_back(*whole);
    return found;
  }
  // Set apart by a quarter of an inch: groups whose cells are at most
  // three empty cells apart; and drawn inside frames.
  const uint32_t reach = kCellsPerInch / 4 - 1;
  const std::vector<Region> apart = Candidates(page, size, cells, label, reach, false);
  const std::vector<Region> framed = Candidates(page, size, cells, label, 1, true);
  // Frames tell labels best: two or more framed labels are the labels, also
  // where clear space sets one of them apart and joins the others to what
  // lies close to them. One framed label beside other parts set apart that
  // fit the label (instructions, a receipt) is the label.
  const std::vector<Region> &chosen = framed.size() >= 2   ? framed
                                      : apart.size() == 1  ? apart
                                      : framed.size() == 1 ? framed
                                                           : apart;
  for (size_t i = 0; i < chosen.size(); ++i)
    for (size_t j = i + 1; j < chosen.size(); ++j)
      if (Overlap(chosen[i], chosen[j])) {
        found.doubtful = true;
        return found;
      }
  found.labels = ReadingOrder(chosen);
  return found;
}

std::vector<uint8_t> PlaceRegion(const std::vector<uint8_t> &page, Extent size,
                                 const Region &region, Extent label) {
  std::vector<uint8_t> out(size_t{label.width} * label.height, 0);
  // The region's size on the label, and where its top left lands (negative
  // where it is cut).
  const int64_t wide = region.turned ? region.height : region.width;
  const int64_t high = region.turned ? region.width : region.height;
  const int64_t left = (int64_t{label.width} - wide) / 2, top = (int64_t{label.height} - high) / 2;
  for (uint32_t y = 0; y < label.height; ++y) {
    const int64_t v = int64_t{y} - top; // row within the placed region
    if (v < 0 || v >= high)
      continue;
    uint8_t *row = out.data() + size_t{y} * label.width;
    for (uint32_t x = 0; x < label.width; ++x) {
      const int64_t u = int64_t{x} - left;
      if (u < 0 || u >= wide)
        continue;
      // Turned anticlockwise: the region's top left comes to the bottom left.
      const int64_t sx = region.turned ? region.width - 1 - v : u;
      const int64_t sy = region.turned ? u : v;
      const uint64_t px = region.x + sx, py = region.y + sy;
      if (px < size.width && py < size.height)
        row[x] = page[py * size.width + px];
    }
  }
  return out;
}

} // namespace vellum_app
