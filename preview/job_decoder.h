// Reads a printer job as the filters write it: control frames, ZPL and TSPL
// commands, bitmap bands and trailers, checking that it is well-formed. It
// reads the printer application's stream too: the status queries it sends
// before a job, and programs in the printer's language it passes on as
// they are, between the command set frame and the end-of-page frame.
#ifndef VELLUM_PREVIEW_JOB_DECODER_H
#define VELLUM_PREVIEW_JOB_DECODER_H

#include <cstdint>
#include <string>
#include <vector>

namespace vellum_preview {

struct JobItem {
  enum class Kind { kFrame, kText, kBand, kTrailer, kQuery, kProgram };
  Kind kind = Kind::kText;
  size_t offset = 0;                       // where the item starts in the job
  std::string text;                        // kText: the line with its ending; kTrailer, kQuery:
                                           // its bytes; kBand: the band header
  unsigned char code = 0;                  // kFrame; kProgram: its command set (0x01 ZPL)
  std::vector<unsigned char> payload;      // kFrame
  bool crlf = false;                       // kFrame: followed by CR LF
  uint64_t y = 0, row_bytes = 0, rows = 0; // kBand
  std::string data;                        // kBand: rows * row_bytes bytes; kProgram: the program
};

struct DecodedJob {
  std::vector<JobItem> items; // everything up to the first malformed byte
  std::string error;          // empty when the whole job decoded
};

DecodedJob DecodeJob(const std::string &bytes);

// One ZPL or TSPL label as the printer receives it.
struct Label {
  bool tspl = false;
  size_t offset = 0;     // where its first command starts
  bool complete = false; // it reached its end-of-page frame
  std::string size;      // TSPL: the SIZE line
  uint64_t width = 0;    // ZPL: ^PW
  uint64_t height = 0;   // ZPL: ^LL
  std::string darkness;  // ~SD or DENSITY, empty when the printer keeps its own
  std::string speed;     // ^PR or SPEED, likewise
  std::string tear_off;  // TSPL OFFSET, likewise
  std::string copies;    // from ^PQ or PRINT
  int print_mode = -1;   // the print mode frame's payload before the label, -1 for none
  int command_set = -1;  // the command set frame's payload, likewise
  size_t bands = 0;
  uint64_t row_bytes = 0;            // of the widest band
  std::vector<std::string> rows;     // packed bytes of each row, bands joined
  std::vector<std::string> commands; // its command lines without line ends
};

// The labels of a decoded job, the last one possibly incomplete (status
// queries and passed-on programs are none). `error` gets the first fault
// that breaks a label (a band out of place, a label without its end, rows
// that do not match ^LL), naming its byte offset.
std::vector<Label> Labels(const DecodedJob &job, std::string *error);

// Whether the printer puts a dot at pixel x of a label row.
bool IsDot(const Label &label, const std::string &row, uint64_t x);

// The label's size in dots as the printer images it: ^PW x ^LL in ZPL, the
// bitmap's extent in TSPL.
uint64_t DotsWide(const Label &label);
uint64_t DotsHigh(const Label &label);

// A readable line for an item.
std::string Describe(const JobItem &item);

} // namespace vellum_preview

#endif
