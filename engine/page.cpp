// The page pipeline of a label job: the page read into place (vertical
// shift, inversion), page accounting and progress, the rows to the
// renderer; and the option helpers the engine shares.
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>

#include "engine.h"

bool IsMarked(const LabelOptions &options, const char *keyword, const char *choice) {
  const auto it = options.marked.find(keyword);
  return it != options.marked.end() && it->second == choice;
}

const char *MarkedChoiceName(const LabelOptions &options, const char *keyword) {
  const auto it = options.marked.find(keyword);
  return it != options.marked.end() ? it->second.c_str() : nullptr;
}

int32_t ParseInt(const char *text) {
  static_assert(sizeof(long long) == 8, "strtoll reads 64-bit numbers");
  const long long value = std::strtoll(text, nullptr, 10);
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long long>(value)));
}

int32_t MillimetresToDots(int32_t mm, uint32_t res) {
  // Unsigned multiplication wraps where signed would overflow; the result is
  // the two's-complement 32-bit product.
  const auto product = static_cast<int32_t>(static_cast<uint32_t>(mm) * res);
  return static_cast<int32_t>(product / 25.4);
}

void ReleaseLabelJob(LabelJob &job) {
  std::free(job.buffer);
  job.buffer = nullptr;
  job.progress.reset();
  std::free(job.progress_text);
  job.progress_text = nullptr;
  job.progress_length = 0;
}

namespace {

// The vertical shift in rows for yReference and the millimetres it comes
// from; false when the page keeps its place.
bool VerticalShift(const LabelOptions &options, const cups_page_header2_t &header, int *mm,
                   int32_t *rows) {
  if (IsMarked(options, "yReference", "PrinterS"))
    return false;
  const char *choice = MarkedChoiceName(options, "yReference");
  if (choice == nullptr)
    return false;
  *mm = ParseInt(choice);
  // A distance along the feed is measured in feed-direction dots.
  *rows = MillimetresToDots(*mm, header.HWResolution[1]);
  return true;
}

// Reads the page's rows, each straight to where the vertical shift puts it:
// row y of the stream lands at row y + yshift (positive moves the image
// down). Rows that fall off the page are read into the row buffer and
// dropped. Returns how many rows were placed, from row *first on.
uint64_t ReadPage(const LabelJob &job, const RowReader &read_row, const cups_page_header2_t &header,
                  unsigned char *all_data, int32_t yshift, uint64_t *first) {
  const uint64_t height = header.cupsHeight;
  const uint64_t width = header.cupsBytesPerLine;
  const uint64_t magnitude =
      yshift < 0 ? 0 - static_cast<uint64_t>(static_cast<int64_t>(yshift)) : uint64_t(yshift);
  const uint64_t moved = magnitude < height ? magnitude : height;
  const uint64_t skipped = yshift < 0 ? moved : 0; // stream rows above the page
  *first = yshift > 0 ? moved : 0;
  uint64_t placed = 0;
  for (uint64_t y = 0; y < height; ++y) {
    const bool kept = y >= skipped && y < skipped + height - moved;
    unsigned char *row = kept ? all_data + (*first + y - skipped) * width : job.buffer;
    if (!read_row(row, header.cupsBytesPerLine))
      break;
    placed += kept ? 1 : 0;
  }
  return placed;
}

// Inverts the placed bytes [begin, end) when Negative is "off"; the rest of
// the page, uncovered by the shift or not delivered by a short stream,
// prints white either way.
void InvertAndPad(const LabelOptions &options, unsigned char *all_data, uint64_t begin,
                  uint64_t end, uint64_t size) {
  const char *negative = MarkedChoiceName(options, "Negative");
  if (negative != nullptr && std::strcmp(negative, "off") == 0) {
    for (uint64_t i = begin; i < end; ++i)
      all_data[i] = static_cast<unsigned char>(~all_data[i]);
  }
  std::memset(all_data, 0xFF, begin);
  std::memset(all_data + end, 0xFF, size - end);
}

// Reads, inverts and shifts the page into all_data.
void LoadPage(const LabelJob &job, const RowReader &read_row, const cups_page_header2_t &header,
              unsigned char *all_data, uint64_t size) {
  int mm = 0;
  int32_t yshift = 0;
  const bool shifted = VerticalShift(job.options, header, &mm, &yshift);
  uint64_t first = 0;
  const uint64_t placed = ReadPage(job, read_row, header, all_data, shifted ? yshift : 0, &first);
  const uint64_t width = header.cupsBytesPerLine;
  InvertAndPad(job.options, all_data, first * width, (first + placed) * width, size);
  // The shift is taken again now that the page is read: its conversion may
  // leave errno for the band messages, as it does after the read.
  if (shifted && VerticalShift(job.options, header, &mm, &yshift))
    std::fprintf(job.log, "DEBUG: *@@@@@@@垂直偏移为: %d ， %d\n", yshift, mm);
}

// Reports how much of the page is printed: the localised INFO line and the
// progress attribute, formed in memory and sent in one write.
void ReportProgress(LabelJob &job, unsigned percent) {
  if (!job.progress)
    job.progress.reset(open_memstream(&job.progress_text, &job.progress_length));
  FILE *lines = job.progress.get();
  // Without a memory stream the two lines go straight to the log.
  FILE *target = lines != nullptr ? lines : job.log;
  if (lines != nullptr)
    std::rewind(lines);
  _cupsLangPrintFilter(target, "INFO", "Printing page %d, %u%% complete.", job.page, percent);
  std::fprintf(target, "ATTR: job-media-progress=%u\n", percent);
  if (lines != nullptr) {
    std::fflush(lines);
    std::fwrite(job.progress_text, 1, static_cast<size_t>(std::ftell(lines)), job.log);
  }
}

// Feeds the page's rows to the renderer with a progress report every 16 rows;
// returns false as soon as the printer data can no longer be written.
bool PrintRows(LabelJob &job, const cups_page_header2_t *header, const unsigned char *all_data) {
  const uint32_t y_cupsHeight = header->cupsHeight;
  const uint64_t width = header->cupsBytesPerLine;
  for (uint32_t y = 0; y != y_cupsHeight; ++y) {
    if (y % 16 == 0)
      ReportProgress(job, static_cast<unsigned>(uint64_t{y} * 100 / header->cupsHeight));
    std::memcpy(job.buffer, all_data + y * width, width);
    OutputLine(job, header, y);
    if (std::ferror(job.out))
      return false;
  }
  return true;
}

// The largest page taken: far beyond any label, small enough that a crafted
// header with no data behind it cannot exhaust memory or run for hours.
#ifndef VELLUM_MAX_PAGE_BYTES
#define VELLUM_MAX_PAGE_BYTES (uint64_t{1} << 30)
#endif
#ifndef VELLUM_MAX_PAGE_ROWS
#define VELLUM_MAX_PAGE_ROWS 1000000u
#endif
// The size of a huge page; buffers of two and more ask for them.
#ifndef VELLUM_HUGE_PAGE_BYTES
#define VELLUM_HUGE_PAGE_BYTES (uint64_t{2} << 20)
#endif

// Takes the page buffer, or reports why the page cannot be printed.
unsigned char *AllocatePage(const LabelJob &job, const cups_page_header2_t &header, uint64_t size) {
  if (size > VELLUM_MAX_PAGE_BYTES || header.cupsHeight > VELLUM_MAX_PAGE_ROWS) {
    _cupsLangPrintFilter(job.log, "ERROR", "Page %d is too large to print (%u x %u).", job.page + 1,
                         header.cupsBytesPerLine, header.cupsHeight);
    return nullptr;
  }
  unsigned char *all_data = nullptr;
  // A large buffer asks for huge pages: in 4 KiB pages, faulting in a fresh
  // buffer is a good part of a large label's time.
  constexpr uint64_t kHugePage = VELLUM_HUGE_PAGE_BYTES;
  if (size >= 2 * kHugePage) {
    all_data = static_cast<unsigned char *>(
        std::aligned_alloc(kHugePage, (size + kHugePage - 1) / kHugePage * kHugePage));
#ifdef MADV_HUGEPAGE
    if (all_data != nullptr)
      madvise(all_data, size / kHugePage * kHugePage, MADV_HUGEPAGE);
#endif
  } else {
    all_data = static_cast<unsigned char *>(std::malloc(size != 0 ? size : 1));
  }
  if (all_data == nullptr)
    _cupsLangPrintFilter(job.log, "ERROR", "Unable to allocate memory for page %d.", job.page + 1);
  return all_data;
}

} // namespace

PageOutcome PrintPage(LabelJob &job, const cups_page_header2_t *header, const RowReader &read_row) {
  const uint64_t size = uint64_t{header->cupsHeight} * header->cupsBytesPerLine;
  unsigned char *all_data = AllocatePage(job, *header, size);
  if (all_data == nullptr)
    return PageOutcome::kTooLarge;

  std::fprintf(job.log, "Processing job %d...\n", job.job_id);
  ++job.page;
  std::fprintf(job.log, "PAGE: %d 1\n", job.page);
  _cupsLangPrintFilter(job.log, "INFO", "Starting page %d.", job.page);
  std::fflush(job.log);

  StartPage(job, header);
  if (job.buffer == nullptr) {
    std::free(all_data);
    _cupsLangPrintFilter(job.log, "ERROR", "Unable to allocate memory for page %d.", job.page);
    return PageOutcome::kTooLarge;
  }

  LoadPage(job, read_row, *header, all_data, size);
  const bool sent = PrintRows(job, header, all_data);
  std::free(all_data);
  if (!sent) {
    std::free(job.buffer);
    job.buffer = nullptr;
    return PageOutcome::kOutputFailed;
  }

  _cupsLangPrintFilter(job.log, "INFO", "Finished page %d.", job.page);
  EndPage(job, header);
  return std::ferror(job.out) ? PageOutcome::kOutputFailed : PageOutcome::kPrinted;
}
