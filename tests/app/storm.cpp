#include "storm.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "harness.h"
#include "printer_app.h"

namespace vellum_test {

namespace {

using Clock = std::chrono::steady_clock;

// A connection's answer ends where the server stays silent this long.
constexpr int kQuietMs = 1500;
// No connection lasts longer.
constexpr int kConnectionMs = 10000;

std::string Be16(uint32_t v) {
  return {static_cast<char>((v >> 8) & 0xff), static_cast<char>(v & 0xff)};
}
std::string Be32(uint32_t v) { return Be16(v >> 16) + Be16(v & 0xffff); }

// An IPP message built byte by byte, so that it can be anything.
struct Ipp {
  std::string bytes;
  Ipp(uint16_t op, uint8_t major = 2, uint8_t minor = 0) {
    bytes = std::string{static_cast<char>(major), static_cast<char>(minor)} + Be16(op) + Be32(1);
  }
  Ipp &Tag(uint8_t tag) {
    bytes += static_cast<char>(tag);
    return *this;
  }
  Ipp &Attr(uint8_t tag, const std::string &name, const std::string &value) {
    bytes += static_cast<char>(tag) + Be16(static_cast<uint32_t>(name.size())) + name +
             Be16(static_cast<uint32_t>(value.size())) + value;
    return *this;
  }
  // The operation attributes every request starts with.
  Ipp &Operation(const std::string &uri) {
    return Tag(0x01)
        .Attr(0x47, "attributes-charset", "utf-8")
        .Attr(0x48, "attributes-natural-language", "en")
        .Attr(0x45, "printer-uri", uri)
        .Attr(0x42, "requesting-user-name", "storm");
  }
  Ipp &End() { return Tag(0x03); }
};

std::string Post(int port, const std::string &path, const std::string &body,
                 const std::string &headers = "") {
  return "POST " + path + " HTTP/1.1\r\nHost: localhost:" + std::to_string(port) +
         "\r\nContent-Type: application/ipp\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n" + headers + "\r\n" + body;
}

std::string Get(int port, const std::string &path) {
  return "GET " + path + " HTTP/1.1\r\nHost: localhost:" + std::to_string(port) +
         "\r\nConnection: close\r\n\r\n";
}

uint32_t Crc32(const std::string &data) {
  uint32_t crc = 0xffffffffu;
  for (const char c : data) {
    crc ^= static_cast<unsigned char>(c);
    for (int k = 0; k < 8; ++k)
      crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

std::string PngChunk(const std::string &type, const std::string &data) {
  return Be32(static_cast<uint32_t>(data.size())) + type + data + Be32(Crc32(type + data));
}

// A PNG that claims a huge picture and holds a few bytes of it.
std::string HugePng() {
  return std::string("\x89PNG\r\n\x1a\n", 8) +
         PngChunk("IHDR", Be32(999999) + Be32(999999) + std::string("\x08\x00\x00\x00\x00", 5)) +
         PngChunk("IDAT", std::string("\x78\x9c\x63\x60\x00\x00\x00\x02\x00\x01", 10)) +
         PngChunk("IEND", "");
}

// A JPEG whose frame claims 65500 x 65500 pixels, cut after its header.
std::string HugeJpeg() {
  return std::string("\xff\xd8\xff\xc0\x00\x11\x08", 7) + Be16(65500) + Be16(65500) +
         std::string("\x03\x01\x22\x00\x02\x11\x01\x03\x11\x01\xff\xda\x00\x0c\x03\x01\x00\x02"
                     "\x11\x03\x11\x00\x3f\x00",
                     24) +
         std::string(512, '\x55');
}

// A valid one-page PWG raster stream with its header's width, height and
// bytes per line replaced.
std::string PwgWith(uint32_t width, uint32_t height, uint32_t bytes_per_line) {
  std::string pwg = PwgRaster({GreyPage(16, 16, 0)});
  pwg.replace(4 + 372, 4, Be32(width));
  pwg.replace(4 + 376, 4, Be32(height));
  pwg.replace(4 + 392, 4, Be32(bytes_per_line));
  return pwg;
}

// The same for Apple raster (URF).
std::string UrfWith(uint32_t width, uint32_t height) {
  std::string urf = PwgRaster({GreyPage(16, 16, 0)}, CUPS_RASTER_WRITE_APPLE);
  urf.replace(12 + 12, 4, Be32(width));
  urf.replace(12 + 16, 4, Be32(height));
  return urf;
}

// A small PDF page with a MediaBox and a content stream of its own.
std::string Pdf(const std::string &media_box, const std::string &content) {
  std::ostringstream pdf;
  pdf << "%PDF-1.4\n1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n"
      << "2 0 obj << /Type /Pages /Kids [3 0 R] /Count 1 >> endobj\n"
      << "3 0 obj << /Type /Page /Parent 2 0 R /MediaBox [" << media_box
      << "] /Contents 4 0 R >> endobj\n"
      << "4 0 obj << /Length " << content.size() << " >> stream\n"
      << content << "\nendstream endobj\ntrailer << /Root 1 0 R >>\n%%EOF\n";
  return pdf.str();
}

// Flips `count` bytes of `bytes` after the first `keep`, as the seed picks.
std::string Flipped(std::string bytes, size_t keep, int count, uint32_t seed) {
  std::mt19937 random(seed);
  for (int i = 0; i < count && bytes.size() > keep; ++i) {
    const size_t at = keep + random() % (bytes.size() - keep);
    bytes[at] = static_cast<char>(bytes[at] ^ static_cast<char>(1u << (random() % 8)));
  }
  return bytes;
}

// A document for Print-Job in `format`.
std::string PrintJob(int port, const std::string &uri, const std::string &format,
                     const std::string &document) {
  Ipp ipp(0x0002);
  ipp.Operation(uri).Attr(0x49, "document-format", format).Attr(0x42, "job-name", "storm");
  return Post(port, "/ipp/print", ipp.End().bytes + document);
}

void AddIppCases(std::vector<StormCase> &cases, int port, const std::string &uri) {
  const auto post = [port](const std::string &body) { return Post(port, "/ipp/print", body); };
  const std::string attributes = Ipp(0x000b).Operation(uri).End().bytes;
  const std::string zpl_job = Ipp(0x0002)
                                  .Operation(uri)
                                  .Attr(0x49, "document-format", "application/vnd.zebra-zpl")
                                  .End()
                                  .bytes +
                              "^XA^FO20,20^GB100,100,100^FS^XZ\r\n";
  cases.push_back({"IPP: Get-Printer-Attributes as it should be", post(attributes)});
  for (uint32_t seed = 1; seed <= 24; ++seed) {
    cases.push_back({"IPP: Get-Printer-Attributes, bytes flipped #" + std::to_string(seed),
                     post(Flipped(attributes, 8, 1 + static_cast<int>(seed % 6), seed))});
    if (seed <= 12)
      cases.push_back({"IPP: Print-Job, bytes flipped #" + std::to_string(seed),
                       post(Flipped(zpl_job, 8, 1 + static_cast<int>(seed % 4), seed))});
  }
  for (const size_t cut : {size_t{1}, size_t{7}, size_t{9}, size_t{20}, attributes.size() - 1}) {
    cases.push_back({"IPP: cut at byte " + std::to_string(cut), post(attributes.substr(0, cut))});
    const std::string whole = Post(port, "/ipp/print", attributes);
    cases.push_back({"IPP: cut at byte " + std::to_string(cut) + ", the length as if whole",
                     whole.substr(0, whole.size() - attributes.size() + cut)});
  }
  {
    const std::string group = attributes.substr(8, attributes.size() - 9);
    std::string repeated = attributes.substr(0, 8);
    for (int i = 0; i < 2000; ++i)
      repeated += group;
    cases.push_back({"IPP: the operation group 2000 times", post(repeated + "\x03")});
    cases.push_back({"IPP: the request twice in one body", post(attributes + attributes)});
  }
  {
    Ipp many(0x000b);
    many.Operation(uri);
    for (int i = 0; i < 5000; ++i)
      many.Attr(0x44, "x-storm-" + std::to_string(i), "value");
    cases.push_back({"IPP: 5000 attributes", post(many.End().bytes)});
    Ipp values(0x000b);
    values.Operation(uri).Attr(0x44, "requested-attributes", "all");
    for (int i = 0; i < 20000; ++i)
      values.Attr(0x44, "", "printer-name");
    cases.push_back({"IPP: 20000 values of one attribute", post(values.End().bytes)});
  }
  {
    const std::string head = Ipp(0x000b).Operation(uri).bytes;
    cases.push_back(
        {"IPP: a name length of 0xFFFF, the name missing", post(head + "\x44\xff\xff" + "abc")});
    cases.push_back({"IPP: a name of 0xFFFF bytes",
                     post(head + "\x44\xff\xff" + std::string(0xffff, 'n') + Be16(1) + "v\x03")});
    cases.push_back({"IPP: a value length of 0xFFFF, the value missing",
                     post(head + "\x44" + Be16(4) + "name\xff\xff" + "abc")});
    cases.push_back(
        {"IPP: a value of 0xFFFF bytes", post(Ipp(0x000b)
                                                  .Operation(uri)
                                                  .Attr(0x42, "job-name", std::string(0xffff, 'v'))
                                                  .End()
                                                  .bytes)});
  }
  for (const int depth : {40, 400, 4000}) {
    Ipp nested(0x000b);
    nested.Operation(uri).Attr(0x34, "media-col", "");
    for (int i = 1; i < depth; ++i)
      nested.Attr(0x4a, "", "media-size").Attr(0x34, "", "");
    for (int i = 0; i < depth; ++i)
      nested.Attr(0x37, "", "");
    cases.push_back(
        {"IPP: collections nested " + std::to_string(depth) + " deep", post(nested.End().bytes)});
  }
  {
    Ipp open_collection(0x000b);
    open_collection.Operation(uri).Attr(0x34, "media-col", "");
    cases.push_back({"IPP: a collection never closed", post(open_collection.End().bytes)});
  }
  struct Odd {
    const char *name;
    std::string body;
  };
  const Odd odd[] = {
      {"an unknown value tag", Ipp(0x000b).Operation(uri).Attr(0x1f, "x-odd", "??").End().bytes},
      {"an extension tag with a bad length",
       Ipp(0x000b).Operation(uri).Attr(0x7f, "x-odd", "\xff\xff\xff\xff").End().bytes},
      {"an unknown group tag", Ipp(0x000b).Operation(uri).Tag(0x0f).End().bytes},
      {"an integer of 7 bytes",
       Ipp(0x000b).Operation(uri).Attr(0x21, "copies", "1234567").End().bytes},
      {"a date of 3 bytes", Ipp(0x000b).Operation(uri).Attr(0x31, "x-date", "abc").End().bytes},
      {"version 0.0", Ipp(0x000b, 0, 0).Operation(uri).End().bytes},
      {"version 9.9", Ipp(0x000b, 9, 9).Operation(uri).End().bytes},
      {"operation 0", Ipp(0x0000).Operation(uri).End().bytes},
      {"operation 0x7FFF", Ipp(0x7fff).Operation(uri).End().bytes},
      {"operation 0xFFFF", Ipp(0xffff).Operation(uri).End().bytes},
      {"no charset", Ipp(0x000b).Tag(0x01).Attr(0x45, "printer-uri", uri).End().bytes},
      {"no group at all", Ipp(0x000b).End().bytes},
      {"a printer URI with ..",
       Ipp(0x000b).Operation("ipp://localhost/ipp/print/../../../etc/passwd").End().bytes},
      {"an empty body", ""},
  };
  for (const Odd &o : odd)
    cases.push_back({std::string("IPP: ") + o.name, post(o.body)});
  // A job created and its document never sent, or sent twice.
  cases.push_back(
      {"IPP: Create-Job without a document", post(Ipp(0x0005).Operation(uri).End().bytes)});
  cases.push_back({"IPP: Send-Document to job 999999", post(Ipp(0x0006)
                                                                .Operation(uri)
                                                                .Attr(0x21, "job-id", Be32(999999))
                                                                .Attr(0x22, "last-document", "\x01")
                                                                .End()
                                                                .bytes +
                                                            "^XA^XZ")});
}

void AddDocumentCases(std::vector<StormCase> &cases, int port, const std::string &uri) {
  std::string noise(20000, '\0');
  std::mt19937 random(7);
  for (char &c : noise)
    c = static_cast<char>(random());
  const std::string sample_pdf = ReadFile(VELLUM_SOURCE_DIR "/sample/label.pdf");
  const std::string pwg = PwgRaster({GreyPage(406, 203, 0)});
  std::string deep = "%PDF-1.4\n1 0 obj ";
  deep += std::string(100000, '[') + "\nendobj\n%%EOF\n";
  struct Document {
    const char *name, *format;
    std::string bytes;
  };
  const Document documents[] = {
      {"PDF: noise", "application/pdf", "%PDF-1.4\n" + noise},
      {"PDF: cut in half", "application/pdf", sample_pdf.substr(0, sample_pdf.size() / 2)},
      {"PDF: a page a million points wide", "application/pdf",
       Pdf("0 0 1000000 1000000", "0 0 m 1000000 1000000 l S")},
      {"PDF: a page of no size", "application/pdf", Pdf("0 0 0 0", "0 0 m 1 1 l S")},
      {"PDF: arrays nested 100000 deep", "application/pdf", deep},
      {"PDF: as CUPS sends it, noise", "application/vnd.cups-pdf", "%PDF-1.7\n" + noise},
      {"PNG: 999999 x 999999 pixels claimed", "image/png", HugePng()},
      {"PNG: noise", "image/png", "\x89PNG\r\n\x1a\n" + noise},
      {"JPEG: 65500 x 65500 pixels claimed", "image/jpeg", HugeJpeg()},
      {"JPEG: noise", "image/jpeg", "\xff\xd8\xff" + noise},
      {"PWG raster: 0xFFFFFFFF pixels wide", "image/pwg-raster", PwgWith(0xffffffffu, 16, 16)},
      {"PWG raster: 0xFFFFFFFF rows", "image/pwg-raster", PwgWith(16, 0xffffffffu, 16)},
      {"PWG raster: a line length that does not fit", "image/pwg-raster",
       PwgWith(16, 16, 0x7fffffffu)},
      {"PWG raster: no pixels", "image/pwg-raster", PwgWith(0, 0, 0)},
      {"PWG raster: cut in the header", "image/pwg-raster", pwg.substr(0, 900)},
      {"Apple raster: huge", "image/urf", UrfWith(0xffffffffu, 0xffffffffu)},
      {"Apple raster: noise", "image/urf", "UNIRAST" + noise},
      {"ZPL: noise", "application/vnd.zebra-zpl", noise},
      {"ZPL: a graphic that claims 2 GB", "application/vnd.zebra-zpl",
       "^XA^FO0,0^GFA,2000000000,2000000000,100," + std::string(5000, 'F') + "^FS^XZ\r\n"},
      {"ZPL: a label never ended", "application/vnd.zebra-zpl", "^XA" + std::string(20000, 'A')},
      {"TSPL: noise", "application/x-tspl", noise},
      {"TSPL: a bitmap that claims 2 GB", "application/x-tspl",
       "SIZE 4,2\r\nBITMAP 0,0,65535,65535,0," + noise + "\r\nPRINT 1\r\n"},
      {"auto-typed noise", "application/octet-stream", noise},
      {"a format it does not take", "text/x-storm", noise},
  };
  for (const Document &d : documents)
    cases.push_back({d.name, PrintJob(port, uri, d.format, d.bytes)});
  // A raster job whose client dies in the middle of the document: the
  // server aborts a job that is being printed as it arrives.
  const std::string whole = PrintJob(port, uri, "image/pwg-raster", pwg);
  cases.push_back({"PWG raster: the client gone in the middle of the document",
                   whole.substr(0, whole.size() - pwg.size() / 2), true});
  const std::string pdf = PrintJob(port, uri, "application/pdf", sample_pdf);
  cases.push_back({"PDF: the client gone in the middle of the document",
                   pdf.substr(0, pdf.size() - sample_pdf.size() / 2), true});
}

void AddHttpCases(std::vector<StormCase> &cases, int port) {
  const std::string host = "Host: localhost:" + std::to_string(port) + "\r\n";
  const std::string gpa =
      Ipp(0x000b).Operation("ipp://localhost:" + std::to_string(port) + "/ipp/print").End().bytes;
  const std::string head = "POST /ipp/print HTTP/1.1\r\n" + host +
                           "Content-Type: application/ipp\r\nConnection: close\r\n";
  struct Http {
    const char *name;
    std::string bytes;
    bool drop;
  };
  const Http http[] = {
      {"HTTP: cut in the request line", "POST /ipp/pr", true},
      {"HTTP: cut in a header", "POST /ipp/print HTTP/1.1\r\nHost: loc", true},
      {"HTTP: cut in the body", head + "Content-Length: 100000\r\n\r\n" + gpa, true},
      {"HTTP: a length longer than the body", head + "Content-Length: 100000\r\n\r\n" + gpa, false},
      {"HTTP: a length shorter than the body", head + "Content-Length: 10\r\n\r\n" + gpa, false},
      {"HTTP: a negative length", head + "Content-Length: -5\r\n\r\n" + gpa, false},
      {"HTTP: a length of 20 digits", head + "Content-Length: 99999999999999999999\r\n\r\n" + gpa,
       false},
      {"HTTP: two lengths", head + "Content-Length: 5\r\nContent-Length: 500\r\n\r\n" + gpa, false},
      {"HTTP: a chunk size that is no number",
       head + "Transfer-Encoding: chunked\r\n\r\nzz\r\n" + gpa + "\r\n0\r\n\r\n", false},
      {"HTTP: a chunk size of 2^64 - 1",
       head + "Transfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFFFFFF\r\n" + gpa, false},
      {"HTTP: a negative chunk size", head + "Transfer-Encoding: chunked\r\n\r\n-1\r\n" + gpa,
       false},
      {"HTTP: a chunk longer than sent",
       head + "Transfer-Encoding: chunked\r\n\r\n100000\r\n" + gpa, true},
      {"HTTP: a header of 100 KB",
       "GET / HTTP/1.1\r\n" + host + "X-Storm: " + std::string(100000, 'h') + "\r\n\r\n", false},
      {"HTTP: 5000 headers",
       [&host] {
         std::string request = "GET / HTTP/1.1\r\n" + host;
         for (int i = 0; i < 5000; ++i)
           request += "X-Storm-" + std::to_string(i) + ": x\r\n";
         return request + "\r\n";
       }(),
       false},
      {"HTTP: a path of 100 KB",
       "GET /" + std::string(100000, 'p') + " HTTP/1.1\r\n" + host + "\r\n", false},
      {"HTTP: method BREW", "BREW / HTTP/1.1\r\n" + host + "\r\n", false},
      {"HTTP: method PROPFIND", "PROPFIND / HTTP/1.1\r\n" + host + "\r\n", false},
      {"HTTP: method CONNECT", "CONNECT localhost:22 HTTP/1.1\r\n" + host + "\r\n", false},
      {"HTTP: version 9.9", "GET / HTTP/9.9\r\n" + host + "\r\n", false},
      {"HTTP: no version", "GET /\r\n\r\n", false},
      {"HTTP: not HTTP", "GET / FOO/1.1\r\n\r\n", false},
      {"HTTP: an empty request", "\r\n\r\n", false},
      {"HTTP: 100-continue and nothing more",
       head + "Expect: 100-continue\r\nContent-Length: 500\r\n\r\n", false},
      {"HTTP: an upgrade to TLS and nothing more",
       "OPTIONS * HTTP/1.1\r\n" + host + "Connection: Upgrade\r\nUpgrade: TLS/1.2\r\n\r\n", false},
      {"HTTP: a connection that says nothing", "", false},
  };
  for (const Http &h : http)
    cases.push_back({h.name, h.bytes, h.drop});
  std::string noise(4096, '\0');
  std::mt19937 random(11);
  for (char &c : noise)
    c = static_cast<char>(random());
  cases.push_back({"HTTP: noise", noise});
  for (const char *path :
       {"/../../../../etc/passwd", "/%2e%2e/%2e%2e/%2e%2e/etc/passwd",
        "/ipp/print/../../../etc/passwd", "/..%2f..%2f..%2fetc%2fpasswd", "//etc/passwd",
        "/storm/../../../etc/passwd", "/ipp/print/storm/..%252f..%252f..%252fetc%252fpasswd",
        "/%00/../etc/passwd"})
    cases.push_back({std::string("HTTP: GET ") + path, Get(port, path)});
}

// Whether the answer so far is a whole HTTP response (after any interim
// 1xx ones): its headers and the body their length or chunks announce.
bool WholeAnswer(const std::string &answer) {
  size_t from = 0;
  for (;;) {
    const size_t end = answer.find("\r\n\r\n", from);
    if (end == std::string::npos)
      return false;
    const std::string head = answer.substr(from, end - from);
    if (head.rfind("HTTP/1.1 1", 0) == 0 || head.rfind("HTTP/1.0 1", 0) == 0) {
      from = end + 4; // an interim answer: the final one follows
      continue;
    }
    const size_t length = head.find("Content-Length: ");
    if (length != std::string::npos)
      return answer.size() >= end + 4 + std::strtoull(head.c_str() + length + 16, nullptr, 10);
    if (Contains(head, "Transfer-Encoding: chunked"))
      return answer.size() >= 5 && answer.compare(answer.size() - 5, 5, "0\r\n\r\n") == 0;
    return false;
  }
}

// Sends one case over one connection and reads what the server answers.
// Returns the HTTP status of the answer, 0 for none.
int SendCase(int port, const StormCase &c, std::string *answer) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  const auto end = Clock::now() + std::chrono::milliseconds(kConnectionMs);
  // Writes and reads at once: a server may answer (and stop reading)
  // before the request ends.
  size_t sent = 0;
  char buffer[16384];
  while (Clock::now() < end) {
    pollfd p{fd, static_cast<short>(POLLIN | (sent < c.bytes.size() ? POLLOUT : 0)), 0};
    if (sent >= c.bytes.size() && c.drop)
      break;
    if (poll(&p, 1, kQuietMs) <= 0)
      break;
    if ((p.revents & POLLIN) != 0 || (p.revents & (POLLHUP | POLLERR)) != 0) {
      const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
      if (got <= 0)
        break;
      answer->append(buffer, static_cast<size_t>(got));
      if (answer->size() > (size_t{1} << 20) || (sent >= c.bytes.size() && WholeAnswer(*answer)))
        break;
      continue;
    }
    if ((p.revents & POLLOUT) != 0) {
      const ssize_t put = send(fd, c.bytes.data() + sent,
                               std::min<size_t>(c.bytes.size() - sent, 65536), MSG_NOSIGNAL);
      if (put <= 0)
        break;
      sent += static_cast<size_t>(put);
    }
  }
  close(fd);
  if (answer->rfind("HTTP/", 0) != 0 || answer->size() < 12)
    return 0;
  return std::atoi(answer->c_str() + 9);
}

} // namespace

std::vector<StormCase> StormCases(int port, const std::string &printer) {
  const std::string uri = "ipp://localhost:" + std::to_string(port) + "/ipp/print/" + printer;
  std::vector<StormCase> cases;
  AddIppCases(cases, port, uri);
  AddDocumentCases(cases, port, uri);
  AddHttpCases(cases, port);
  return cases;
}

StormReport RunStorm(int port, const std::vector<StormCase> &cases, int clients, int rounds,
                     int limit_seconds) {
  StormReport report;
  std::mutex mutex;
  std::atomic<bool> out_of_time{false};
  const auto start = Clock::now();
  const auto end = start + std::chrono::seconds(limit_seconds);
  std::vector<std::thread> threads;
  for (int client = 0; client < clients; ++client) {
    threads.emplace_back([&, client] {
      const size_t first =
          cases.size() * static_cast<size_t>(client) / static_cast<size_t>(clients);
      for (int round = 0; round < rounds; ++round) {
        for (size_t n = 0; n < cases.size(); ++n) {
          if (Clock::now() > end) {
            out_of_time = true;
            return;
          }
          const StormCase &c = cases[(first + n) % cases.size()];
          std::string answer;
          const int status = SendCase(port, c, &answer);
          const std::lock_guard<std::mutex> lock(mutex);
          ++report.connections;
          if (status > 0) {
            ++report.answered;
            ++report.statuses[status];
          } else if (!c.drop && !c.bytes.empty()) {
            ++report.silent[c.name];
          }
          if (status < 0)
            ++report.troubles[c.name + ": the server refused the connection (it ended?)"];
          // Nothing outside what the server serves: no system file.
          if (Contains(answer, "root:x:0:0:") || Contains(answer, "root:*:0:0:"))
            ++report.troubles[c.name + ": the answer holds /etc/passwd"];
        }
      }
    });
  }
  for (std::thread &thread : threads)
    thread.join();
  report.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  report.cut_short = out_of_time;
  return report;
}

size_t ProcessKiB(pid_t pid, const char *field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  const std::string prefix = std::string(field) + ":";
  while (std::getline(status, line))
    if (line.rfind(prefix, 0) == 0)
      return static_cast<size_t>(std::strtoull(line.c_str() + prefix.size(), nullptr, 10));
  return 0;
}

std::string Backtraces(pid_t pid) {
  if (access("/usr/bin/gdb", X_OK) != 0)
    return "(no gdb to show where the server is)";
  const Result gdb = RunProgram(
      {"/usr/bin/gdb", "-p", std::to_string(pid), "-batch", "-ex", "thread apply all bt"},
      {"LC_ALL=C"});
  return gdb.out;
}

} // namespace vellum_test
