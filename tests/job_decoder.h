// Reads a printer job as the filters write it: control frames, command
// lines, bitmap bands and trailers, checking that it is well-formed.
#ifndef VELLUM_TESTS_JOB_DECODER_H
#define VELLUM_TESTS_JOB_DECODER_H

#include <cstdint>
#include <string>
#include <vector>

namespace vellum_test {

struct JobItem {
  enum class Kind { kFrame, kText, kBand, kTrailer };
  Kind kind = Kind::kText;
  size_t offset = 0;                       // where the item starts in the job
  std::string text;                        // kText: the line with its ending; kTrailer: its bytes;
                                           // kBand: the band header
  unsigned char code = 0;                  // kFrame
  std::vector<unsigned char> payload;      // kFrame
  bool crlf = false;                       // kFrame: followed by CR LF
  uint64_t y = 0, row_bytes = 0, rows = 0; // kBand
  std::string data;                        // kBand: rows * row_bytes bytes
};

struct DecodedJob {
  std::vector<JobItem> items;
  std::string error; // empty when the whole job decoded
};

DecodedJob DecodeJob(const std::string &bytes);

// One ZPL or TSPL label: its declared size and its rows' packed bytes.
struct Label {
  bool tspl = false;
  std::string size;              // "^PW..,^LL.." values or the SIZE line's text
  uint64_t width = 0;            // ZPL ^PW
  uint64_t height = 0;           // ZPL ^LL
  std::vector<std::string> rows; // packed bytes of each row, bands joined
  std::vector<std::string> commands;
};

// The labels of a decoded job; `error` tells what breaks a label (a band out
// of place, a label without its end, rows that do not match ^LL).
std::vector<Label> Labels(const DecodedJob &job, std::string *error);

// Whether the printer puts a dot at pixel x of a label row.
bool IsDot(const Label &label, const std::string &row, uint64_t x);

// A readable line for an item, for summaries.
std::string Describe(const JobItem &item);

} // namespace vellum_test

#endif
