#include "job_decoder.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace vellum_preview {

namespace {

constexpr unsigned char kMediaTracking = 0x16;
constexpr unsigned char kFeedOffset = 0x36;
constexpr unsigned char kPrintMode = 0x41;
constexpr unsigned char kCommandSet = 0x45;

bool StartsWith(const std::string &bytes, size_t pos, const std::string &prefix) {
  return bytes.compare(pos, prefix.size(), prefix) == 0;
}

std::string Hex(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value);
  return text;
}

// A short, printable quotation of the bytes at pos.
std::string Quote(const std::string &bytes, size_t pos) {
  std::string text = "\"";
  for (size_t i = pos; i < bytes.size() && i < pos + 16; ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x20 && c < 0x7F) {
      text += static_cast<char>(c);
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02X", c);
      text += escape;
    }
  }
  return text + (bytes.size() > pos + 16 ? "...\"" : "\"");
}

// Reads `count` comma-terminated decimal numbers at pos; false when malformed.
bool ReadNumbers(const std::string &bytes, size_t *pos, size_t count, std::vector<uint64_t> *out) {
  for (size_t i = 0; i < count; ++i) {
    uint64_t value = 0;
    size_t digits = 0;
    while (*pos < bytes.size() && bytes[*pos] >= '0' && bytes[*pos] <= '9' && digits < 19) {
      value = value * 10 + static_cast<uint64_t>(bytes[*pos] - '0');
      ++*pos;
      ++digits;
    }
    if (digits == 0 || *pos >= bytes.size() || bytes[*pos] != ',')
      return false;
    ++*pos;
    out->push_back(value);
  }
  return true;
}

// The command lines the filters send, by their start.
bool KnownCommand(const std::string &line) {
  static const char *const kCommands[] = {"^XA", "^PW",    "^LL",   "~SD",      "^PR",    "^FO",
                                          "^PQ", "^XZ",    "SIZE ", "DENSITY ", "SPEED ", "OFFSET ",
                                          "CLS", "PRINT ", "P1",    "C\n"};
  if (line == "\r\n")
    return true;
  for (const char *command : kCommands)
    if (line.rfind(command, 0) == 0)
      return true;
  return false;
}

std::string DecodeFrame(const std::string &bytes, size_t start, size_t *pos, JobItem *item) {
  item->kind = JobItem::Kind::kFrame;
  if (bytes.size() < start + 6 || bytes[start + 3] != '\x01')
    return "a control frame header (1B FF FE 01 code length)";
  item->code = static_cast<unsigned char>(bytes[start + 4]);
  const auto length = static_cast<unsigned char>(bytes[start + 5]);
  const bool known = item->code == kMediaTracking || item->code == kFeedOffset ||
                     item->code == kPrintMode || item->code == kCommandSet;
  if (!known)
    return "a known control frame (0x16, 0x36, 0x41 or 0x45), found " + Hex(item->code);
  const unsigned expected_length = item->code == kFeedOffset ? 2 : 1;
  if (length != expected_length)
    return "a payload of " + std::to_string(expected_length) + " byte(s) for frame " +
           Hex(item->code) + ", found " + std::to_string(length);
  if (bytes.size() < start + 6 + length + 3 ||
      !StartsWith(bytes, start + 6 + length, "\x1B\xFE\xFF"))
    return "the payload and the end marker 1B FE FF of frame " + Hex(item->code);
  for (size_t i = 0; i < length; ++i)
    item->payload.push_back(static_cast<unsigned char>(bytes[start + 6 + i]));
  *pos = start + 6 + length + 3;
  item->crlf = StartsWith(bytes, *pos, "\r\n");
  if (item->crlf)
    *pos += 2;
  return "";
}

std::string DecodeBand(const std::string &bytes, size_t start, bool zpl, size_t *pos,
                       JobItem *item) {
  item->kind = JobItem::Kind::kBand;
  size_t p = start + (zpl ? 5 : 7);
  std::vector<uint64_t> n;
  if (!ReadNumbers(bytes, &p, zpl ? 3 : 5, &n))
    return zpl ? "^GFB,total,total,row bytes," : "BITMAP x,y,row bytes,rows,mode,";
  if (zpl) {
    if (n[0] != n[1] || n[2] == 0 || n[0] % n[2] != 0)
      return "^GFB totals that are equal and whole rows";
    item->row_bytes = n[2];
    item->rows = n[0] / n[2];
  } else {
    if (n[0] != 0 || n[4] != 1)
      return "BITMAP at x 0 in mode 1";
    item->y = n[1];
    item->row_bytes = n[2];
    item->rows = n[3];
  }
  item->text = bytes.substr(start, p - start);
  const uint64_t size = item->rows * item->row_bytes;
  if (item->row_bytes != 0 && size / item->row_bytes != item->rows)
    return "a band size that fits in 64 bits";
  if (bytes.size() - p < size)
    return std::to_string(size) + " bytes of band data, found " + std::to_string(bytes.size() - p);
  item->data = bytes.substr(p, size);
  *pos = p + size;
  return "";
}

// The status queries of the printer application: ZPL's host status and
// TSPL's status byte.
const char *const kQueries[] = {"~HS", "\x1B!?"};

// The frame that ends a label, or a program passed on.
const char kEndFrame[] = "\x1B\xFF\xFE\x01\x45\x01\xFF\x1B\xFE\xFF";

// Whether the bytes at pos start a label as the filters write it: ZPL's
// "^XA" and "^PW" lines, or TSPL's "SIZE w.d mm,h.d mm" line.
bool FilterLabelAt(const std::string &bytes, size_t pos) {
  if (StartsWith(bytes, pos, "^XA\r\n^PW"))
    return true;
  if (!StartsWith(bytes, pos, "SIZE "))
    return false;
  const size_t end = bytes.find("\r\n", pos);
  if (end == std::string::npos)
    return false;
  double width = 0, height = 0;
  char tail = 0;
  const std::string line = bytes.substr(pos, end - pos);
  return std::sscanf(line.c_str(), "SIZE %lf mm,%lf mm%c", &width, &height, &tail) == 2 &&
         line.find('.') != std::string::npos;
}

// Decodes the item at pos; returns what was expected there, empty on success.
std::string DecodeItem(const std::string &bytes, size_t *pos, JobItem *item) {
  const size_t start = *pos;
  item->offset = start;
  for (const char *query : kQueries)
    if (StartsWith(bytes, start, query)) {
      item->kind = JobItem::Kind::kQuery;
      item->text = query;
      *pos = start + item->text.size();
      return "";
    }
  if (StartsWith(bytes, start, "\x1B\xFF\xFE"))
    return DecodeFrame(bytes, start, pos, item);
  if (StartsWith(bytes, start,
                 "\x1B"
                 "E")) {
    item->kind = JobItem::Kind::kTrailer;
    *pos = start + (StartsWith(bytes, start + 2, "\f") ? 3 : 2);
    item->text = bytes.substr(start, *pos - start);
    return "";
  }
  if (StartsWith(bytes, start, "^GFB,"))
    return DecodeBand(bytes, start, true, pos, item);
  if (StartsWith(bytes, start, "BITMAP "))
    return DecodeBand(bytes, start, false, pos, item);
  item->kind = JobItem::Kind::kText;
  const size_t end = bytes.find('\n', start);
  if (end == std::string::npos)
    return "a command ended by LF, found " + Quote(bytes, start);
  item->text = bytes.substr(start, end + 1 - start);
  if (!KnownCommand(item->text))
    return "a ZPL or TSPL command, found " + Quote(bytes, start);
  *pos = end + 1;
  return "";
}

std::string Chomp(const std::string &line) {
  std::string text = line;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
    text.pop_back();
  return text;
}

// Reads what a label command sets.
void TakeCommand(const std::string &text, Label *label) {
  const auto after = [&text](size_t n) { return text.substr(n); };
  if (text.rfind("^PW", 0) == 0)
    label->width = std::strtoull(text.c_str() + 3, nullptr, 10);
  else if (text.rfind("^LL", 0) == 0)
    label->height = std::strtoull(text.c_str() + 3, nullptr, 10);
  else if (text.rfind("~SD", 0) == 0)
    label->darkness = after(3);
  else if (text.rfind("DENSITY ", 0) == 0)
    label->darkness = after(8);
  else if (text.rfind("^PR", 0) == 0)
    label->speed = after(3);
  else if (text.rfind("SPEED ", 0) == 0)
    label->speed = after(6);
  else if (text.rfind("OFFSET ", 0) == 0)
    label->tear_off = after(7);
  else if (text.rfind("^PQ", 0) == 0)
    label->copies = after(3).substr(0, after(3).find(','));
  else if (text.rfind("PRINT ", 0) == 0)
    label->copies = text.substr(text.find(',') + 1);
}

} // namespace

DecodedJob DecodeJob(const std::string &bytes) {
  DecodedJob job;
  size_t pos = 0;
  uint64_t zpl_y = 0; // ZPL places a band with the ^FO line before it
  // Right after a command set frame: a label of the filters', or a program
  // passed on as it is up to the end-of-page frame.
  size_t after_command_set = std::string::npos;
  unsigned char command_set = 0;
  const std::string end_frame(kEndFrame, sizeof kEndFrame - 1);
  while (pos < bytes.size()) {
    JobItem item;
    const size_t program_end = pos == after_command_set && !FilterLabelAt(bytes, pos)
                                   ? bytes.find(end_frame, pos)
                                   : std::string::npos;
    if (program_end != std::string::npos && program_end != pos) {
      item.kind = JobItem::Kind::kProgram;
      item.offset = pos;
      item.code = command_set;
      item.data = bytes.substr(pos, program_end - pos);
      job.items.push_back(item);
      pos = program_end;
      continue;
    }
    const std::string expected = DecodeItem(bytes, &pos, &item);
    if (!expected.empty()) {
      job.error = "at byte " + std::to_string(item.offset) + ": expected " + expected;
      break;
    }
    if (item.kind == JobItem::Kind::kFrame && item.code == kCommandSet && item.payload[0] != 0xFF) {
      after_command_set = pos;
      command_set = item.payload[0];
    }
    if (item.kind == JobItem::Kind::kText && StartsWith(item.text, 0, "^FO0,"))
      zpl_y = std::strtoull(item.text.c_str() + 5, nullptr, 10);
    if (item.kind == JobItem::Kind::kBand && StartsWith(item.text, 0, "^GFB,"))
      item.y = zpl_y;
    job.items.push_back(item);
  }
  return job;
}

std::vector<Label> Labels(const DecodedJob &job, std::string *error) {
  std::vector<Label> labels;
  bool open = false;
  int print_mode = -1, command_set = -1; // frames waiting for the next label
  const auto fail = [error](size_t offset, const std::string &what) {
    if (error->empty())
      *error = "at byte " + std::to_string(offset) + ": " + what;
  };
  bool after_program = false; // the end-of-page frame after a program ends no label
  for (const JobItem &item : job.items) {
    if (item.kind == JobItem::Kind::kQuery)
      continue;
    if (item.kind == JobItem::Kind::kProgram) {
      if (open)
        fail(item.offset, "a printer program inside a label");
      after_program = true;
      print_mode = command_set = -1;
      continue;
    }
    const std::string text = Chomp(item.text);
    if (item.kind == JobItem::Kind::kText && (text == "^XA" || text.rfind("SIZE ", 0) == 0)) {
      if (open)
        fail(item.offset,
             "expected the end of label " + std::to_string(labels.size()) + " before a new label");
      labels.emplace_back();
      Label &label = labels.back();
      label.tspl = text != "^XA";
      label.offset = item.offset;
      label.size = label.tspl ? text : "";
      label.print_mode = print_mode;
      label.command_set = command_set;
      print_mode = command_set = -1;
      open = true;
      continue;
    }
    const bool end_frame =
        item.kind == JobItem::Kind::kFrame && item.code == kCommandSet && item.payload[0] == 0xFF;
    if (!open) {
      if (item.kind == JobItem::Kind::kBand)
        fail(item.offset, "a band outside a label");
      else if (end_frame && !after_program)
        fail(item.offset, "an end-of-page frame outside a label");
      else if (item.kind == JobItem::Kind::kFrame && item.code == kPrintMode)
        print_mode = item.payload[0];
      else if (item.kind == JobItem::Kind::kFrame && item.code == kCommandSet)
        command_set = item.payload[0];
      after_program = after_program && !end_frame;
      continue;
    }
    Label &label = labels.back();
    if (end_frame) {
      const std::string last = label.commands.empty() ? "" : label.commands.back();
      const char *closing = label.tspl ? "PRINT" : "^XZ";
      if (last.rfind(closing, 0) != 0)
        fail(item.offset, std::string("expected ") + closing + " before the end-of-page frame");
      if (!label.tspl && label.rows.size() != label.height)
        fail(item.offset, "expected " + std::to_string(label.height) +
                              " rows as ^LL declares, found " + std::to_string(label.rows.size()));
      label.complete = true;
      open = false;
      continue;
    }
    if (item.kind == JobItem::Kind::kText) {
      TakeCommand(text, &label);
      label.commands.push_back(text);
    } else if (item.kind == JobItem::Kind::kBand) {
      if (item.y != label.rows.size())
        fail(item.offset, "expected a band at row " + std::to_string(label.rows.size()) +
                              ", found row " + std::to_string(item.y));
      ++label.bands;
      label.row_bytes = std::max(label.row_bytes, item.row_bytes);
      for (uint64_t r = 0; r < item.rows; ++r)
        label.rows.push_back(item.data.substr(r * item.row_bytes, item.row_bytes));
    }
  }
  if (open && job.error.empty())
    fail(labels.back().offset, "label " + std::to_string(labels.size()) +
                                   " has no end (its trailer and the end-of-page frame)");
  return labels;
}

bool IsDot(const Label &label, const std::string &row, uint64_t x) {
  if (x / 8 >= row.size())
    return false;
  const auto byte = static_cast<unsigned char>(row[x / 8]);
  const bool set = (byte & (0x80u >> (x % 8))) != 0;
  return label.tspl ? !set : set;
}

uint64_t DotsWide(const Label &label) {
  return label.tspl || label.width == 0 ? label.row_bytes * 8 : label.width;
}

uint64_t DotsHigh(const Label &label) {
  return label.tspl || label.height == 0 ? label.rows.size() : label.height;
}

std::string Describe(const JobItem &item) {
  switch (item.kind) {
  case JobItem::Kind::kFrame: {
    unsigned value = item.payload[0];
    if (item.payload.size() == 2)
      value |= static_cast<unsigned>(item.payload[1]) << 8;
    const char *name = item.code == kMediaTracking ? "media tracking"
                       : item.code == kFeedOffset  ? "feed offset"
                       : item.code == kPrintMode   ? "print mode"
                       : value == 0xFF             ? "end of page"
                                                   : "command set";
    return "frame " + Hex(item.code) + " " + name + " = " +
           (item.payload.size() == 2 ? std::to_string(value) : Hex(value));
  }
  case JobItem::Kind::kBand:
    return "band at row " + std::to_string(item.y) + ": " + std::to_string(item.rows) +
           " rows of " + std::to_string(item.row_bytes) + " bytes";
  case JobItem::Kind::kTrailer:
    return item.text.size() == 3 ? "trailer ESC E FF" : "trailer ESC E";
  case JobItem::Kind::kQuery:
    return item.text == "~HS" ? "status query ~HS (ZPL host status), not printed"
                              : "status query ESC !? (TSPL status byte), not printed";
  case JobItem::Kind::kProgram:
    return std::string(item.code == 0x01 ? "ZPL" : "TSPL") + " program, " +
           std::to_string(item.data.size()) + " bytes, passed on as it is (not drawn)";
  case JobItem::Kind::kText:
    break;
  }
  const std::string text = Chomp(item.text);
  return text.empty() ? "(CR LF)" : text;
}

} // namespace vellum_preview
