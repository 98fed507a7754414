// The printer application meets bad documents and bad printers: every fault
// ends with a clear state, nothing is lost, and a printer never gets half a
// label.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <jpeglib.h>

#include "harness.h"
#include "printer_app.h"
#include "storm.h"

namespace vellum_test {
namespace {

using namespace std::string_literals;

// A 4 x 6 in label at 203 dpi of vertical bars: every row alike, so that
// the document is small while the label is 124 KB of printer data.
RasterPage BarsPage() {
  RasterPage page = GreyPage(812, 1218, 255);
  for (size_t i = 0; i < page.pixels.size(); i += 3)
    page.pixels[i] = 0;
  return page;
}

// A small grey JPEG, valid, stored in 641 progressive scans: every
// coefficient refined one bit a scan (a reader passes over the whole image
// once a scan).
std::string ManyScansJpeg() {
  std::vector<jpeg_scan_info> scans;
  const auto scan = [&scans](int first, int last, int high, int low) {
    jpeg_scan_info info{};
    info.comps_in_scan = 1;
    info.Ss = first;
    info.Se = last;
    info.Ah = high;
    info.Al = low;
    scans.push_back(info);
  };
  for (int bit = 10; bit >= 0; --bit)
    scan(0, 0, bit == 10 ? 0 : bit + 1, bit);
  for (int k = 1; k < 64; ++k)
    for (int bit = 9; bit >= 0; --bit)
      scan(k, k, bit == 9 ? 0 : bit + 1, bit);
  jpeg_compress_struct info{};
  jpeg_error_mgr errors{};
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  unsigned char *data = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&info, &data, &size);
  info.image_width = info.image_height = 64;
  info.input_components = 1;
  info.in_color_space = JCS_GRAYSCALE;
  jpeg_set_defaults(&info);
  info.scan_info = scans.data();
  info.num_scans = static_cast<int>(scans.size());
  jpeg_start_compress(&info, TRUE);
  std::vector<unsigned char> row(64);
  for (unsigned y = 0; y < 64; ++y) {
    for (unsigned x = 0; x < 64; ++x)
      row[x] = static_cast<unsigned char>((x * 37 + y * 11) % 256);
    JSAMPROW rows[] = {row.data()};
    jpeg_write_scanlines(&info, rows, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  std::string jpeg(reinterpret_cast<const char *>(data), size);
  std::free(data);
  return jpeg;
}

class AppFault : public testing::Test {
protected:
  static void SetUpTestSuite() {
    app_ = new PrinterApp;
    // The owner's limits, low enough for the budget test (and above the
    // 60 pages of the cancel test).
    app_->AddEnv("VELLUM_MAX_PAGES=60");
    app_->AddEnv("VELLUM_PDF_SECONDS=10");
    ASSERT_EQ(app_->Start(), "");
  }
  static void TearDownTestSuite() {
    delete app_;
    app_ = nullptr;
  }
  static PrinterApp *app_;
};
PrinterApp *AppFault::app_ = nullptr;

// A 2 x 1 in label with a black box, as PWG raster.
RasterPage SmallLabel() {
  RasterPage page = GreyPage(406, 203, 255);
  for (uint32_t y = 50; y < 150; ++y)
    for (uint32_t x = 100; x < 300; ++x)
      page.pixels[size_t{y} * 406 + x] = 0;
  return page;
}

std::string Cut(const std::string &text, double share) {
  return text.substr(0, static_cast<size_t>(static_cast<double>(text.size()) * share));
}

// A malformed or truncated document is taken and then aborts its job with a
// message, sends the printer no part of a label, and the next job prints.
TEST_F(AppFault, BadDocumentsAbortTheirJobAndTheNextPrints) {
  // Noise, which the raster's compression cannot shrink, so that a cut at
  // 80 % lies in the second page's rows rather than in its header.
  RasterPage noise = SmallLabel();
  for (size_t i = 0; i < noise.pixels.size(); ++i)
    noise.pixels[i] = static_cast<unsigned char>((i * 2654435761u) >> 13);
  const std::string pwg = PwgRaster({noise, noise});
  const std::string pdf = ReadFile(VELLUM_SOURCE_DIR "/sample/label.pdf");
  const RasterPage small = SmallLabel();
  std::string pgm = "P5\n406 203\n255\n";
  pgm.append(small.pixels.begin(), small.pixels.end());
  const std::string pgm_path = WriteScratchFile("small.pgm", pgm);
  for (const char *ext : {"png", "jpg"})
    ASSERT_EQ(
        RunProgram({"/usr/bin/convert", pgm_path, ScratchDir() + "/small." + ext}, {}).exit_status,
        0);
  const std::string png = ReadFile(ScratchDir() + "/small.png");
  const std::string jpeg = ReadFile(ScratchDir() + "/small.jpg");

  struct Bad {
    const char *name, *format;
    std::string content;
  };
  const Bad documents[] = {
      {"PWG raster, truncated in a page", "image/pwg-raster", Cut(pwg, 0.3)},
      {"PWG raster, truncated in the second page", "image/pwg-raster", Cut(pwg, 0.8)},
      {"PWG raster, garbage", "image/pwg-raster", "RaS2" + std::string(5000, '\x7f')},
      {"PNG, truncated", "image/png", Cut(png, 0.5)},
      // All its image data but not its end chunk, as a PNG with text chunks
      // after the image data (ImageMagick 7 writes them there) cut at half.
      {"PNG, cut before its end chunk", "image/png", png.substr(0, png.size() - 12)},
      {"PNG, garbage", "image/png", "\x89PNG\r\n\x1a\n" + std::string(300, 'x')},
      {"JPEG, truncated", "image/jpeg", Cut(jpeg, 0.4)},
      {"PDF, truncated", "application/pdf", Cut(pdf, 0.5)},
      {"PDF, garbage", "application/pdf", "%PDF-1.4\n" + std::string(2000, '(')},
  };
  const std::string good = WriteScratchFile("good.pwg", PwgRaster({SmallLabel()}));
  int serial = 0;
  for (const Bad &bad : documents) {
    SCOPED_TRACE(bad.name);
    SocketPrinter printer;
    const std::string name = "bad" + std::to_string(++serial);
    ASSERT_EQ(app_->AddPrinter(name, "vellum-zpl-203", printer.Uri()), "");
    const std::string path = WriteScratchFile("bad-document", bad.content);
    const int bad_job = app_->Print(name, path, bad.format);
    ASSERT_GT(bad_job, 0) << cupsLastErrorString();
    const int good_job = app_->Print(name, good, "image/pwg-raster");
    ASSERT_GT(good_job, 0) << cupsLastErrorString();
    EXPECT_EQ(app_->AwaitJob(name, bad_job, 60), IPP_JSTATE_ABORTED);
    EXPECT_NE(app_->JobText(name, bad_job, "job-state-message"), "");
    EXPECT_EQ(app_->AwaitJob(name, good_job, 60), IPP_JSTATE_COMPLETED);
    // The good label's connection ends once PAPPL closes the device.
    bool whole = false;
    for (int i = 0; i < 300 && (printer.Captures().empty() ||
                                WholeLabels(printer.Captures().back(), &whole) != 1);
         ++i)
      Sleep(20);
    const std::vector<std::string> captures = printer.Captures();
    ASSERT_FALSE(captures.empty());
    for (size_t i = 0; i + 1 < captures.size(); ++i) {
      bool whole = false;
      WholeLabels(captures[i], &whole);
      EXPECT_TRUE(whole) << "the bad job sent part of a label";
    }
    EXPECT_EQ(WholeLabels(captures.back(), &whole), 1u);
    EXPECT_TRUE(whole);
  }
}

// Raster for a printer busy with a label is refused as busy, and its
// client tries again, as CUPS's backend does: each refusal aborts a job
// while its document arrives, which PAPPL does holding the printer's lock,
// while clients poll the printer and the server saves its state (both of
// which hold the system's lock and wait for the printer's). The server
// answers every request throughout, and the raster prints once the printer
// is free.
TEST_F(AppFault, RasterRefusedAsBusyWhileClientsPollLocksNothing) {
  SocketPrinter printer({40000});
  ASSERT_EQ(app_->AddPrinter("busy", "vellum-zpl-203", printer.Uri()), "");
  // About 6 s of printing at the printer's pace.
  const RasterPage bars = BarsPage();
  const std::string busy = WriteScratchFile("busy.pwg", PwgRaster({bars, bars}));
  const std::string next = WriteScratchFile("next.pwg", PwgRaster({SmallLabel()}));
  std::thread first([&busy] { app_->Print("busy", busy, "image/pwg-raster"); });
  ASSERT_TRUE(printer.AwaitBytes(1, 30));
  std::atomic<int> missing{0};
  std::vector<std::thread> pollers;
  for (int c = 0; c < 4; ++c)
    pollers.emplace_back([&missing] { missing += app_->PollPrinter("busy", 500); });
  const int job = app_->Print("busy", next, "image/pwg-raster");
  first.join();
  for (std::thread &poller : pollers)
    poller.join();
  EXPECT_EQ(missing, 0) << "answers that never came";
  ASSERT_GT(job, 0) << cupsLastErrorString();
  EXPECT_EQ(app_->AwaitJob("busy", job, 60), IPP_JSTATE_COMPLETED);
  // The two jobs' three labels, whole (over one connection or two: PAPPL
  // keeps it for a job that waits).
  const auto labels = [&printer] {
    size_t count = 0;
    for (const std::string &capture : printer.Captures()) {
      bool whole = false;
      count += WholeLabels(capture, &whole);
      EXPECT_TRUE(whole);
    }
    return count;
  };
  for (int i = 0; i < 300 && labels() < 3; ++i)
    Sleep(100);
  EXPECT_EQ(labels(), 3u);
}

// A PDF file of these objects (the first the catalog), with its table of
// cross references.
std::string PdfFile(const std::vector<std::string> &objects) {
  std::string pdf = "%PDF-1.4\n";
  std::string xref = "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (size_t i = 0; i < objects.size(); ++i) {
    char entry[32];
    std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", pdf.size());
    xref += entry;
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  return pdf + xref + "trailer\n<< /Size " + std::to_string(objects.size() + 1) +
         " /Root 1 0 R >>\nstartxref\n" + std::to_string(pdf.size()) + "\n%%EOF\n";
}

// A PDF of `count` empty pages with this MediaBox.
std::string BlankPdf(const std::string &box, size_t count = 1) {
  std::vector<std::string> objects = {"<< /Type /Catalog /Pages 2 0 R >>", ""};
  std::string kids;
  for (size_t i = 0; i < count; ++i) {
    kids += std::to_string(i + 3) + " 0 R ";
    objects.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [" + box + "] >>");
  }
  objects[1] = "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(count) + " >>";
  return PdfFile(objects);
}

// A PDF stream object.
std::string PdfStream(const std::string &dictionary, const std::string &data) {
  return "<< " + dictionary + " /Length " + std::to_string(data.size()) + " >>\nstream\n" + data +
         "\nendstream";
}

// A 4 x 6 in PDF page that Ghostscript renders for hours: a form drawn
// ten times by a form drawn ten times, ten deep (10^10 squares).
std::string EndlessPdf() {
  constexpr int kDepth = 10;
  std::vector<std::string> objects = {
      "<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
      "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 288 432] /Resources << /XObject << /F " +
          std::to_string(5 + kDepth) + " 0 R >> >> /Contents 4 0 R >>",
      PdfStream("", "/F Do")};
  const std::string form = "/Type /XObject /Subtype /Form /BBox [0 0 288 432]";
  objects.push_back(PdfStream(form, "0 0 1 1 re f"));
  for (int depth = 1; depth <= kDepth; ++depth) {
    std::string draw;
    for (int i = 0; i < 10; ++i)
      draw += "/G Do ";
    objects.push_back(PdfStream(
        form + " /Resources << /XObject << /G " + std::to_string(4 + depth) + " 0 R >> >>", draw));
  }
  return PdfFile(objects);
}

// A big-endian 32-bit number, as PNG writes them.
std::string Be32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}

// A PNG chunk with its CRC.
std::string PngChunk(const std::string &type, const std::string &data) {
  const std::string body = type + data;
  uint32_t crc = 0xFFFFFFFFu;
  for (const char c : body) {
    crc ^= static_cast<unsigned char>(c);
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return Be32(static_cast<uint32_t>(data.size())) + body + Be32(~crc);
}

// A raster stream of one page header declaring width x height dots of
// `bits` bits, and no rows.
std::string RasterHeader(uint32_t width, uint32_t height, cups_mode_t mode, unsigned bits = 8) {
  RasterPage page = GreyPage(8, 8);
  page.header.cupsWidth = width;
  page.header.cupsBytesPerLine = static_cast<unsigned>((uint64_t{width} * bits + 7) / 8);
  page.header.cupsBitsPerColor = page.header.cupsBitsPerPixel = bits;
  page.header.cupsHeight = height;
  page.pixels.clear();
  return PwgRaster({page}, mode);
}

// A document that declares a page (or an image) beyond the budget, more
// pages than the owner's limit, a program longer than the longest, or a
// PDF that renders for hours aborts its job with a message that says so
// before the server takes the memory, sends no part of a label, and the
// next job prints; the server's memory stays within one job's budget
// (about 55 MB at 203 dpi) all along.
TEST_F(AppFault, DocumentsBeyondTheBudgetAbortTheirJobAndTheNextPrints) {
  const std::string pgm = "P5\n406 203\n255\n" + std::string(406 * 203, '\x80');
  ASSERT_EQ(RunProgram({"/usr/bin/convert", WriteScratchFile("budget.pgm", pgm),
                        ScratchDir() + "/budget.jpg"},
                       {})
                .exit_status,
            0);
  std::string jpeg = ReadFile(ScratchDir() + "/budget.jpg");
  // The frame header (SOF0: FF C0, length, precision, height, width) made
  // to declare 65000 x 65000 pixels.
  const size_t sof = jpeg.find("\xff\xc0");
  ASSERT_NE(sof, std::string::npos);
  jpeg.replace(sof + 5, 4, "\xfd\xe8\xfd\xe8");
  const std::string png = "\x89PNG\r\n\x1a\n" +
                          PngChunk("IHDR", Be32(100000) + Be32(100000) + "\x08\x00\x00\x00\x00"s) +
                          PngChunk("IDAT", "x") + PngChunk("IEND", "");
  const std::string zpl = "^XA^FO50,50^GB100,100,100^FS^XZ\n";
  std::string long_zpl;
  while (long_zpl.size() <= (size_t{64} << 20))
    long_zpl += zpl;
  const std::vector<RasterPage> sixty_one(61, GreyPage(8, 8, 0));
  const JobAttribute small_label{"media-col.media-size-name", "oe_2x1-label_2x1in"};
  const char *kTooLarge = "; this printer takes at most 863 x 20300";

  struct Huge {
    const char *name, *format;
    std::string content;
    std::vector<JobAttribute> attributes;
    std::string message; // in the job's job-state-message
  };
  const Huge documents[] = {
      {"PWG raster, 268435455 x 268435455",
       "image/pwg-raster",
       RasterHeader(268435455, 268435455, CUPS_RASTER_WRITE_PWG),
       {},
       "The page is 268435455 x 268435455 dots"s + kTooLarge},
      {"PWG raster, 100000 x 100000",
       "image/pwg-raster",
       RasterHeader(100000, 100000, CUPS_RASTER_WRITE_PWG),
       {},
       "The page is 100000 x 100000 dots"s + kTooLarge},
      {"PWG raster, 1-bit, 2147483648 dots wide",
       "image/pwg-raster",
       RasterHeader(2147483648u, 4, CUPS_RASTER_WRITE_PWG, 1),
       {},
       "The page is not 8-bit grey raster"},
      {"Apple raster, 100000 x 100000",
       "image/urf",
       RasterHeader(100000, 100000, CUPS_RASTER_WRITE_APPLE),
       {},
       "The page is 100000 x 100000 dots"s + kTooLarge},
      {"PWG raster, 61 pages",
       "image/pwg-raster",
       PwgRaster(sixty_one),
       {small_label},
       "The document has more than 60 pages"},
      {"PNG, 100000 x 100000",
       "image/png",
       png,
       {},
       "The image is 100000 x 100000 pixels"s + kTooLarge},
      {"JPEG, 65000 x 65000",
       "image/jpeg",
       jpeg,
       {},
       "The image is 65000 x 65000 pixels"s + kTooLarge},
      {"JPEG, stored in 641 scans",
       "image/jpeg",
       ManyScansJpeg(),
       {},
       "The JPEG image is stored in more than 500 scans"},
      {"PDF, a 1 x 1000 pt page filled onto the label",
       "application/pdf",
       BlankPdf("0 0 1 1000"),
       {{"print-scaling", "fill"}},
       "The page filled onto the label is 812 x 812000 dots"s + kTooLarge},
      {"PDF, 61 pages",
       "application/pdf",
       BlankPdf("0 0 144 72", 61),
       {small_label},
       "The document has more than 60 pages"},
      {"PDF, rendering for hours",
       "application/pdf",
       EndlessPdf(),
       {},
       "The PDF document took more than 10 seconds to render; it was stopped."},
      {"PDF, a page without height",
       "application/pdf",
       BlankPdf("0 0 500 0"),
       {{"print-scaling", "fill"}},
       "The PDF document could not be read."},
      {"PDF, a page of infinite size",
       "application/pdf",
       BlankPdf("0 0 1e30 1e999"),
       {},
       "The PDF document could not be read."},
      {"ZPL, longer than 64 MiB",
       "application/vnd.zebra-zpl",
       long_zpl,
       {},
       "The printer program is longer than 64 MiB"},
  };
  const std::string good_pwg = WriteScratchFile("budget-good.pwg", PwgRaster({SmallLabel()}));
  const std::string good_pdf = VELLUM_SOURCE_DIR "/sample/label.pdf";
  const size_t peak_before = app_->PeakMemoryKiB();
  int serial = 0;
  for (const Huge &huge : documents) {
    SCOPED_TRACE(huge.name);
    SocketPrinter printer;
    const std::string name = "huge" + std::to_string(++serial);
    ASSERT_EQ(app_->AddPrinter(name, "vellum-zpl-203", printer.Uri()), "");
    const std::string path = WriteScratchFile("huge-document", huge.content);
    const int job = app_->Print(name, path, huge.format, huge.attributes);
    ASSERT_GT(job, 0) << cupsLastErrorString();
    EXPECT_EQ(app_->AwaitJob(name, job, 120), IPP_JSTATE_ABORTED);
    EXPECT_TRUE(Contains(app_->JobText(name, job, "job-state-message"), huge.message))
        << app_->JobText(name, job, "job-state-message");
    // The next job, of the same kind of document, prints.
    const bool pdf = std::string(huge.format) == "application/pdf";
    const int next =
        app_->Print(name, pdf ? good_pdf : good_pwg, pdf ? "application/pdf" : "image/pwg-raster");
    EXPECT_EQ(app_->AwaitJob(name, next, 60), IPP_JSTATE_COMPLETED);
    ASSERT_TRUE(printer.AwaitCaptures(1, 30));
    for (const std::string &capture : printer.Captures()) {
      bool whole = false;
      WholeLabels(capture, &whole);
      EXPECT_TRUE(whole) << "a job sent part of a label";
    }
  }
  const size_t grown = app_->PeakMemoryKiB() - peak_before;
#ifdef VELLUM_SANITIZE
  // AddressSanitizer keeps freed memory aside for a while and a shadow of
  // every byte: what the budget bounds, times two.
  constexpr size_t kMostKiB = size_t{110} << 10;
#else
  constexpr size_t kMostKiB = size_t{55} << 10;
#endif
  EXPECT_LT(grown, kMostKiB) << "the server's memory grew by " << grown << " KiB";
}

// A printer that refuses the connection keeps the job waiting, its state
// saying why, and the job prints once the printer is back.
TEST_F(AppFault, AnUnreachablePrinterKeepsTheJobUntilItIsBack) {
  const int port = FreePort();
  ASSERT_EQ(
      app_->AddPrinter("away", "vellum-zpl-203", "socket://127.0.0.1:" + std::to_string(port)), "");
  // A spooled document (PNG): raster is printed as it arrives, and the
  // server answers "busy" to it until the printer can take it.
  const RasterPage small = SmallLabel();
  std::string pgm = "P5\n406 203\n255\n";
  pgm.append(small.pixels.begin(), small.pixels.end());
  const std::string png = ScratchDir() + "/away.png";
  ASSERT_EQ(
      RunProgram({"/usr/bin/convert", WriteScratchFile("away.pgm", pgm), png}, {}).exit_status, 0);
  const int job = app_->Print("away", png, "image/png");
  ASSERT_GT(job, 0) << cupsLastErrorString();
  // "offline", in the attributes and on the printer's page, says why.
  std::string reasons;
  for (int i = 0; i < 100 && reasons.find("offline") == std::string::npos; ++i) {
    Sleep(200);
    reasons = app_->PrinterStateReasons("away");
  }
  EXPECT_NE(reasons.find("offline"), std::string::npos) << reasons;
  EXPECT_NE(app_->Web("/away/").second.find("Offline."), std::string::npos);
  const int waiting = app_->JobState("away", job);
  EXPECT_TRUE(waiting == IPP_JSTATE_PENDING || waiting == IPP_JSTATE_PROCESSING) << waiting;
  SocketPrinter printer({}, port);
  EXPECT_EQ(app_->AwaitJob("away", job, 120), IPP_JSTATE_COMPLETED);
  // Printing again, it is no longer offline.
  for (int i = 0; i < 100 && reasons.find("offline") != std::string::npos; ++i) {
    Sleep(200);
    reasons = app_->PrinterStateReasons("away");
  }
  EXPECT_EQ(reasons.find("offline"), std::string::npos) << reasons;
  ASSERT_TRUE(printer.AwaitCaptures(1, 30));
  bool whole = false;
  EXPECT_EQ(WholeLabels(printer.Captures()[0], &whole), 1u);
  EXPECT_TRUE(whole);
}

// A connection that drops during a job never reports the job completed,
// and the job says that the printer failed, not the document.
TEST_F(AppFault, ADroppedConnectionIsNeverReportedAsCompleted) {
  const RasterPage page = GreyPage(812, 1218, 0);
  struct Dropped {
    const char *format;
    std::string document;
  };
  // Ten labels, so that Ghostscript is still at work when the printer goes.
  const std::string label = VELLUM_SOURCE_DIR "/sample/label.pdf";
  const std::string pdf = ScratchDir() + "/drops.pdf";
  std::vector<std::string> gs = {"/usr/bin/gs",       "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE",
                                 "-sDEVICE=pdfwrite", "-o", pdf};
  gs.insert(gs.end(), 10, label);
  ASSERT_EQ(RunProgram(gs, {"PATH=/usr/bin:/bin"}).exit_status, 0);
  const Dropped documents[] = {
      {"image/pwg-raster", WriteScratchFile("drops.pwg", PwgRaster({page, page, page}))},
      {"application/pdf", pdf},
  };
  for (const Dropped &d : documents) {
    SCOPED_TRACE(d.format);
    SocketPrinter printer({0, 20000});
    const std::string name = std::string("drops-") + (d.format[0] == 'i' ? "pwg" : "pdf");
    ASSERT_EQ(app_->AddPrinter(name, "vellum-zpl-203", printer.Uri()), "");
    const int job = app_->Print(name, d.document, d.format);
    ASSERT_GT(job, 0);
    EXPECT_EQ(app_->AwaitJob(name, job, 60), IPP_JSTATE_ABORTED);
    const std::string message = app_->JobText(name, job, "job-state-message");
    EXPECT_TRUE(Contains(message, "printer")) << message;
  }
}

// A printer that stops taking a label in the middle (paused, out of labels)
// keeps its job: the job is not reported completed while bytes wait, says
// why it waits, and completes once the printer takes the rest.
TEST_F(AppFault, AJobWaitsForAPrinterThatStopsTakingItsLabel) {
  PrinterBehaviour stalls;
  stalls.stall_after = 30000;
  SocketPrinter printer(stalls);
  ASSERT_EQ(app_->AddPrinter("stalls", "vellum-zpl-203", printer.Uri()), "");
  // A label larger than what the connection's buffers hold: a picture of
  // 750 rows of 100 bytes, in hexadecimal.
  std::string picture;
  for (int i = 0; i < 750 * 100; ++i)
    picture += i % 3 == 0 ? "F0" : "0F";
  const std::string document =
      WriteScratchFile("stalls.zpl", "^XA^FO0,0^GFA,75000,75000,100," + picture + "^FS^XZ\r\n");
  const int job = app_->Print("stalls", document, "application/vnd.zebra-zpl");
  ASSERT_GT(job, 0) << cupsLastErrorString();
  std::string message;
  for (int i = 0; i < 300 && !Contains(message, "stopped taking"); ++i) {
    Sleep(100);
    message = app_->JobText("stalls", job, "job-state-message");
  }
  EXPECT_TRUE(Contains(message, "stopped taking")) << message;
  EXPECT_EQ(app_->JobState("stalls", job), IPP_JSTATE_PROCESSING);
  printer.Resume();
  EXPECT_EQ(app_->AwaitJob("stalls", job, 60), IPP_JSTATE_COMPLETED);
  ASSERT_TRUE(printer.AwaitCaptures(1, 30));
  EXPECT_TRUE(Contains(printer.Captures()[0], picture + "^FS^XZ"));
}

// A cancel while a slow printer reads leaves whole labels only. The job is
// larger than what the connection's buffers hold, so that the cancel
// comes while labels are still being sent.
TEST_F(AppFault, ACancelDuringALabelLeavesWholeLabelsOnly) {
  SocketPrinter printer({1000000});
  ASSERT_EQ(app_->AddPrinter("slow", "vellum-zpl-203", printer.Uri()), "");
  const RasterPage page = BarsPage();
  constexpr size_t kPages = 60;
  const std::string document =
      WriteScratchFile("slow.pwg", PwgRaster(std::vector<RasterPage>(kPages, page)));
  // Raster streams to the printer as it is uploaded: the upload lasts as
  // long as the printing, and the cancel comes from another client.
  int job = 0;
  std::thread upload(
      [&job, &document] { job = app_->Print("slow", document, "image/pwg-raster"); });
  std::vector<int> active;
  for (int i = 0; i < 100 && active.empty(); ++i) {
    Sleep(50);
    active = app_->ActiveJobs("slow");
  }
  // Into the second label: the cancel comes in the middle of the job.
  EXPECT_TRUE(printer.AwaitBytes(200000, 60));
  ASSERT_EQ(active.size(), 1u);
  EXPECT_TRUE(app_->CancelJob("slow", active[0]));
  upload.join();
  EXPECT_EQ(app_->AwaitJob("slow", active[0], 60), IPP_JSTATE_CANCELED);
  ASSERT_TRUE(printer.AwaitCaptures(1, 60));
  bool whole = false;
  const size_t labels = WholeLabels(printer.Captures()[0], &whole);
  EXPECT_TRUE(whole) << "the cancel left part of a label";
  EXPECT_LT(labels, kPages);
  EXPECT_GT(labels, 0u);
}

// Waits up to ten seconds for the printer's printer-state-reasons to hold
// `reason` (or, with `gone`, not to); returns them.
std::string AwaitReason(const PrinterApp &app, const std::string &printer,
                        const std::string &reason, bool gone = false) {
  std::string reasons;
  for (int i = 0; i < 50; ++i) {
    reasons = "," + app.PrinterStateReasons(printer) + ",";
    if ((reasons.find("," + reason + ",") == std::string::npos) == gone)
      break;
    Sleep(200);
  }
  return reasons;
}

// A printer that reports a fault when asked (ZPL's ~HS, TSPL's <ESC>!?)
// shows it in printer-state-reasons, in the waiting job's message and on
// its web page, gets no label byte meanwhile, and gets the label once,
// whole, when the fault clears. A printer that never answers prints at
// once and is asked only once.
TEST_F(AppFault, APrinterReportingAFaultGetsItsLabelWhenTheFaultClears) {
  using Answers = PrinterBehaviour::Answers;
  SocketPrinter zpl({0, 0, Answers::kZpl}), tspl({0, 0, Answers::kTspl});
  ASSERT_EQ(app_->AddPrinter("zplstatus", "vellum-zpl-203", zpl.Uri()), "");
  // A name with a space, as printers are often named: its page is
  // /TSPL_status/.
  ASSERT_EQ(app_->AddPrinter("TSPL status", "vellum-tspl-203", tspl.Uri()), "");
  // A spooled document: PWG raster streams to the printer while it is
  // uploaded, and its upload would wait with the label.
  const RasterPage small = SmallLabel();
  std::string pgm = "P5\n406 203\n255\n";
  pgm.append(small.pixels.begin(), small.pixels.end());
  const std::string document = ScratchDir() + "/status.png";
  ASSERT_EQ(RunProgram({"/usr/bin/convert", WriteScratchFile("status.pgm", pgm), document}, {})
                .exit_status,
            0);
  struct Fault {
    const char *printer;
    PrinterFault fault;
    const char *reason, *words;
  };
  const Fault faults[] = {
      {"zplstatus", PrinterFault::kPaperOut, "media-empty", "Out of labels"},
      {"zplstatus", PrinterFault::kHeadOpen, "cover-open", "Print head open"},
      {"zplstatus", PrinterFault::kRibbonOut, "marker-supply-empty", "Out of ribbon"},
      {"zplstatus", PrinterFault::kPaused, "other", "Paused at the printer"},
      {"TSPL status", PrinterFault::kPaperOut, "media-empty", "Out of labels"},
      {"TSPL status", PrinterFault::kHeadOpen, "cover-open", "Print head open"},
      {"TSPL status", PrinterFault::kRibbonOut, "marker-supply-empty", "Out of ribbon"},
      {"TSPL status", PrinterFault::kPaused, "other", "Paused at the printer"},
      {"TSPL status", PrinterFault::kJam, "media-jam", "Label jam"},
  };
  for (const Fault &f : faults) {
    SCOPED_TRACE(std::string(f.printer) + ": " + f.words);
    SocketPrinter &printer = f.printer == std::string("zplstatus") ? zpl : tspl;
    printer.SetFault(f.fault);
    const size_t captured = printer.Captures().size(), bytes = printer.Bytes();
    const int job = app_->Print(f.printer, document, "image/png");
    ASSERT_GT(job, 0) << cupsLastErrorString();
    EXPECT_NE(AwaitReason(*app_, f.printer, f.reason).find(f.reason), std::string::npos);
    EXPECT_EQ(app_->JobState(f.printer, job), IPP_JSTATE_PROCESSING);
    EXPECT_TRUE(Contains(app_->JobText(f.printer, job, "job-state-message"), f.words));
    // The words go on the printer's page, which the printer's more-info
    // names.
    const std::string page = app_->PrinterAttributes(f.printer).find("printer-more-info")->second;
    const std::string page_name = page.substr(page.rfind('/', page.size() - 2) + 1);
    EXPECT_TRUE(Contains(app_->Web("/vellum-status").second,
                         page_name.substr(0, page_name.size() - 1) + "\t" + f.words))
        << page << ": " << app_->Web("/vellum-status").second;
    EXPECT_EQ(printer.Bytes(), bytes) << "label bytes went to a printer that cannot print";

    printer.SetFault(PrinterFault::kNone);
    EXPECT_EQ(app_->AwaitJob(f.printer, job, 30), IPP_JSTATE_COMPLETED);
    ASSERT_TRUE(printer.AwaitCaptures(captured + 1, 30));
    bool whole = false;
    EXPECT_EQ(WholeLabels(printer.Captures().back(), &whole), 1u);
    EXPECT_TRUE(whole);
    EXPECT_EQ(printer.Captures().size(), captured + 1);
    EXPECT_EQ(AwaitReason(*app_, f.printer, f.reason, true).find(f.reason), std::string::npos);
  }

  SocketPrinter silent;
  ASSERT_EQ(app_->AddPrinter("silent", "vellum-zpl-203", silent.Uri()), "");
  for (size_t n = 1; n <= 2; ++n) {
    const int job = app_->Print("silent", document, "image/png");
    EXPECT_EQ(app_->AwaitJob("silent", job, 30), IPP_JSTATE_COMPLETED);
    ASSERT_TRUE(silent.AwaitCaptures(n, 30));
  }
  EXPECT_EQ(silent.Queries(), 1u) << "a printer that does not answer is asked again";
}

// The storm's clients at once, and how much the server's memory may grow
// through a pass of the storm once it has met one.
constexpr int kStormClients = 6;
constexpr size_t kStormGrowthKiB = 6 * 1024;

// A storm of hostile clients, six at once, each through the table of
// hostile inputs (malformed IPP, hostile documents of every format the
// server takes, broken HTTP), twice, takes nothing down: afterwards the
// server answers, no job is left processing, a label still prints on the
// printer the storm's jobs went to, a reference label prints the same
// bytes as before, no answer held a file from outside the server, and the
// second pass grew the server's memory by at most a few MB. Where the
// server hangs, the failure shows every thread's backtrace.
TEST_F(AppFault, AStormOfHostileClientsTakesNothingDown) {
  PrinterApp app;
  ASSERT_EQ(app.Start(), "");
  SocketPrinter storm_printer, reference_printer;
  ASSERT_EQ(app.AddPrinter("storm", "vellum-zpl-203", storm_printer.Uri()), "");
  ASSERT_EQ(app.AddPrinter("reference", "vellum-zpl-203", reference_printer.Uri()), "");
  const std::string label = WriteScratchFile("reference.pwg", PwgRaster({SmallLabel()}));
  // Prints the label on the printer; whether it printed all of its bytes.
  const auto print = [&app, &label](const std::string &name, SocketPrinter &printer, size_t bytes) {
    const size_t received = printer.Bytes();
    const int job = app.Print(name, label, "image/pwg-raster");
    return job > 0 && app.AwaitJob(name, job, 60) == IPP_JSTATE_COMPLETED &&
           printer.AwaitBytes(received + bytes, 30);
  };
  ASSERT_TRUE(print("reference", reference_printer, 1));
  ASSERT_TRUE(reference_printer.AwaitCaptures(1, 30));
  const std::string before = reference_printer.Captures()[0];
  // A first pass, after which the server holds what it keeps however
  // long it runs (its job history, its threads' memory); the second must
  // add little to it.
  const std::vector<StormCase> cases = StormCases(app.Port(), "storm");
  const StormReport warm_up = RunStorm(app.Port(), cases, kStormClients, 1, 240);
  // A server that died has no memory left.
  const size_t memory_before = ProcessKiB(app.Pid(), "VmRSS");
  const std::string log = app.Log();
  ASSERT_GT(memory_before, 0u) << "the server ended during the storm; its log ends with:\n"
                               << log.substr(log.size() - std::min<size_t>(log.size(), 1500));
  const StormReport report = RunStorm(app.Port(), cases, kStormClients, 1, 240);
  std::cout << cases.size() << " hostile inputs, " << report.connections << " connections in "
            << report.seconds << " s, " << report.answered << " answered; peak memory "
            << ProcessKiB(app.Pid(), "VmHWM") / 1024 << " MiB" << std::endl;
  for (const auto &[name, count] : report.silent)
    std::cout << "  not answered " << count << " times: " << name << std::endl;
  for (const StormReport *pass : {&warm_up, &report}) {
    EXPECT_FALSE(pass->cut_short) << "the storm ran out of time: the server is slow or hangs";
    for (const auto &[trouble, count] : pass->troubles)
      ADD_FAILURE() << trouble << " (" << count << " times)";
  }

  if (app.PrinterStateReasons("reference").empty())
    FAIL() << "the server does not answer after the storm:\n" << Backtraces(app.Pid());
  std::vector<int> processing;
  for (int i = 0; i < 240; ++i) {
    processing.clear();
    for (const char *name : {"storm", "reference"})
      for (const int job : app.ActiveJobs(name))
        if (app.JobState(name, job) == IPP_JSTATE_PROCESSING)
          processing.push_back(job);
    if (processing.empty())
      break;
    Sleep(500);
  }
  EXPECT_TRUE(processing.empty()) << testing::PrintToString(processing) << " still processing\n"
                                  << Backtraces(app.Pid());
  // The storm's printer may still hold a connection open: the label's
  // bytes arrive all the same.
  EXPECT_TRUE(print("storm", storm_printer, before.size())) << "the storm's printer prints no more";
  ASSERT_TRUE(print("reference", reference_printer, before.size()));
  ASSERT_TRUE(reference_printer.AwaitCaptures(2, 30));
  EXPECT_TRUE(reference_printer.Captures().back() == before) << "the reference label changed";
  const size_t memory_after = ProcessKiB(app.Pid(), "VmRSS");
  std::cout << "memory " << memory_before / 1024 << " MiB before, " << memory_after / 1024
            << " MiB after" << std::endl;
#ifndef VELLUM_SANITIZE // the sanitizers keep freed memory aside
  EXPECT_LE(memory_after, memory_before + kStormGrowthKiB);
#endif
}

} // namespace
} // namespace vellum_test
