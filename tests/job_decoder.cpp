#include "job_decoder.h"

#include <cstdio>
#include <cstdlib>

namespace vellum_test {

namespace {

bool StartsWith(const std::string &bytes, size_t pos, const std::string &prefix) {
  return bytes.compare(pos, prefix.size(), prefix) == 0;
}

std::string Hex(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value);
  return text;
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

// Decodes the item at pos; returns an error text, empty on success.
std::string DecodeItem(const std::string &bytes, size_t *pos, JobItem *item) {
  const size_t start = *pos;
  item->offset = start;
  if (StartsWith(bytes, start, "\x1B\xFF\xFE")) {
    item->kind = JobItem::Kind::kFrame;
    if (bytes.size() < start + 6 || bytes[start + 3] != '\x01')
      return "a control frame header (1B FF FE 01 code length)";
    item->code = static_cast<unsigned char>(bytes[start + 4]);
    const auto length = static_cast<unsigned char>(bytes[start + 5]);
    if (length != 1 && length != 2)
      return "a payload length of 1 or 2";
    if (bytes.size() < start + 6 + length + 3 ||
        !StartsWith(bytes, start + 6 + length, "\x1B\xFE\xFF"))
      return "the payload and the end marker 1B FE FF";
    for (size_t i = 0; i < length; ++i)
      item->payload.push_back(static_cast<unsigned char>(bytes[start + 6 + i]));
    *pos = start + 6 + length + 3;
    item->crlf = StartsWith(bytes, *pos, "\r\n");
    if (item->crlf)
      *pos += 2;
    return "";
  }
  if (StartsWith(bytes, start,
                 "\x1B"
                 "E")) {
    item->kind = JobItem::Kind::kTrailer;
    *pos = start + (StartsWith(bytes, start + 2, "\f") ? 3 : 2);
    item->text = bytes.substr(start, *pos - start);
    return "";
  }
  const bool zpl_band = StartsWith(bytes, start, "^GFB,");
  const bool tspl_band = StartsWith(bytes, start, "BITMAP ");
  if (zpl_band || tspl_band) {
    item->kind = JobItem::Kind::kBand;
    size_t p = start + (zpl_band ? 5 : 7);
    std::vector<uint64_t> n;
    if (!ReadNumbers(bytes, &p, zpl_band ? 3 : 5, &n))
      return zpl_band ? "^GFB,total,total,row bytes," : "BITMAP x,y,row bytes,rows,mode,";
    if (zpl_band) {
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
    if (bytes.size() - p < size)
      return std::to_string(size) + " bytes of band data, found " +
             std::to_string(bytes.size() - p);
    item->data = bytes.substr(p, size);
    *pos = p + size;
    return "";
  }
  item->kind = JobItem::Kind::kText;
  const size_t end = bytes.find('\n', start);
  if (end == std::string::npos)
    return "a command ended by LF";
  item->text = bytes.substr(start, end + 1 - start);
  *pos = end + 1;
  return "";
}

std::string Chomp(const std::string &line) {
  std::string text = line;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
    text.pop_back();
  return text;
}

} // namespace

DecodedJob DecodeJob(const std::string &bytes) {
  DecodedJob job;
  size_t pos = 0;
  uint64_t zpl_y = 0; // ZPL places a band with the ^FO line before it
  while (pos < bytes.size()) {
    JobItem item;
    const std::string expected = DecodeItem(bytes, &pos, &item);
    if (!expected.empty()) {
      job.error = "at byte " + std::to_string(item.offset) + ": expected " + expected;
      break;
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
  Label *open = nullptr;
  auto fail = [&](const JobItem &item, const std::string &what) {
    if (error->empty())
      *error = "at byte " + std::to_string(item.offset) + ": " + what;
  };
  for (const JobItem &item : job.items) {
    const std::string text = Chomp(item.text);
    if (item.kind == JobItem::Kind::kText && (text == "^XA" || text.rfind("SIZE ", 0) == 0)) {
      if (open != nullptr)
        fail(item, "a new label before the end of the last");
      labels.emplace_back();
      open = &labels.back();
      open->tspl = text != "^XA";
      if (open->tspl)
        open->size = text;
      continue;
    }
    if (open == nullptr) {
      if (item.kind == JobItem::Kind::kBand)
        fail(item, "a band outside a label");
      continue;
    }
    if (item.kind == JobItem::Kind::kFrame && item.code == 0x45 && !item.payload.empty() &&
        item.payload[0] == 0xFF) {
      const std::string last = open->commands.empty() ? "" : open->commands.back();
      if (last != (open->tspl ? "PRINT" : "^XZ"))
        fail(item, "the end-of-page frame after " + std::string(open->tspl ? "PRINT" : "^XZ"));
      if (!open->tspl && open->rows.size() != open->height)
        fail(item, std::to_string(open->rows.size()) + " rows where ^LL declares " +
                       std::to_string(open->height));
      open = nullptr;
      continue;
    }
    if (item.kind == JobItem::Kind::kText) {
      if (text.rfind("^PW", 0) == 0)
        open->width = std::strtoull(text.c_str() + 3, nullptr, 10);
      if (text.rfind("^LL", 0) == 0)
        open->height = std::strtoull(text.c_str() + 3, nullptr, 10);
      open->commands.push_back(text.rfind("PRINT ", 0) == 0 ? "PRINT" : text);
      continue;
    }
    if (item.kind == JobItem::Kind::kBand) {
      if (item.y != open->rows.size())
        fail(item, "a band at row " + std::to_string(open->rows.size()));
      for (uint64_t r = 0; r < item.rows; ++r)
        open->rows.push_back(item.data.substr(r * item.row_bytes, item.row_bytes));
    }
  }
  if (open != nullptr && error->empty())
    *error = "a label without its end";
  return labels;
}

bool IsDot(const Label &label, const std::string &row, uint64_t x) {
  const auto byte = static_cast<unsigned char>(row.at(x / 8));
  const bool set = (byte & (0x80u >> (x % 8))) != 0;
  return label.tspl ? !set : set;
}

std::string Describe(const JobItem &item) {
  switch (item.kind) {
  case JobItem::Kind::kFrame: {
    unsigned value = item.payload[0];
    if (item.payload.size() == 2)
      value |= static_cast<unsigned>(item.payload[1]) << 8;
    const char *name = item.code == 0x16   ? "media tracking"
                       : item.code == 0x36 ? "feed offset"
                       : item.code == 0x41 ? "print mode"
                       : item.code == 0x45 ? (value == 0xFF ? "end of page" : "command set")
                                           : "unknown";
    return "frame " + Hex(item.code) + " " + name + " = " +
           (item.payload.size() == 2 ? std::to_string(value) : Hex(value));
  }
  case JobItem::Kind::kBand:
    return "band at row " + std::to_string(item.y) + ": " + std::to_string(item.rows) +
           " rows of " + std::to_string(item.row_bytes) + " bytes";
  case JobItem::Kind::kTrailer:
    return item.text.size() == 3 ? "trailer ESC E FF" : "trailer ESC E";
  case JobItem::Kind::kText:
    break;
  }
  const std::string text = Chomp(item.text);
  return text.empty() ? "(CR LF)" : text;
}

} // namespace vellum_test
