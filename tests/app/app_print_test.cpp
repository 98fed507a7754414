// The printer application prints through the same engine as the CUPS
// filter: for the same page and the same settings, the bytes its AppSocket
// printer receives are exactly the bytes vellumfilter (or vellumfilter_03)
// writes for that page with the shipped PPD and the equivalent options.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "harness.h"
#include "printer_app.h"

namespace vellum_test {
namespace {

struct Case {
  const char *name;
  const char *driver; // also the PPD's file name
  std::vector<JobAttribute> job;
  std::string filter_options; // the same settings as the filter's options
  unsigned darkness = 0;      // the level in the filter's page header
  unsigned copies = 1;
};

class AppPrint : public testing::Test {
protected:
  static void SetUpTestSuite() {
    app_ = new PrinterApp;
    const std::string started = app_->Start();
    ASSERT_EQ(started, "");
  }
  static void TearDownTestSuite() {
    delete app_;
    app_ = nullptr;
  }
  static PrinterApp *app_;
};
PrinterApp *AppPrint::app_ = nullptr;

// The printer bytes the filter writes for the pages with the case's PPD and
// options.
std::string FilterBytesOfPages(const Case &c, const std::vector<RasterPage> &pages) {
  return FilterBytes(c.driver, pages, c.filter_options, c.darkness, c.copies);
}

std::string FilterBytes(const Case &c, const RasterPage &page) {
  return FilterBytesOfPages(c, {page});
}

// Prints a document on a fresh printer of the driver; returns what the
// printer received, or an empty text after a failure.
std::string PrintOnce(PrinterApp &app, const std::string &driver, const std::string &document,
                      const std::string &format, const std::vector<JobAttribute> &job = {},
                      std::string *impressions = nullptr) {
  static int serial = 0;
  SocketPrinter printer;
  const std::string name = "once" + std::to_string(++serial);
  EXPECT_EQ(app.AddPrinter(name, driver, printer.Uri()), "");
  const int id = app.Print(name, document, format, job);
  EXPECT_GT(id, 0) << cupsLastErrorString();
  if (id <= 0)
    return "";
  EXPECT_EQ(app.AwaitJob(name, id, 60), IPP_JSTATE_COMPLETED);
  if (impressions != nullptr)
    *impressions = app.JobText(name, id, "job-impressions-completed");
  EXPECT_TRUE(printer.AwaitCaptures(1, 30));
  const std::vector<std::string> captures = printer.Captures();
  return captures.empty() ? "" : captures[0];
}

// The page as an 8-bit grey PGM file, for ImageMagick to convert.
std::string PgmFile(const RasterPage &page) {
  std::string pgm = "P5\n" + std::to_string(page.header.cupsWidth) + " " +
                    std::to_string(page.header.cupsHeight) + "\n255\n";
  pgm.append(page.pixels.begin(), page.pixels.end());
  return WriteScratchFile("page.pgm", pgm);
}

// Converts a file with ImageMagick; returns the new file's path.
std::string Convert(const std::string &from, const std::string &to,
                    const std::vector<std::string> &options = {}) {
  std::vector<std::string> argv = {"/usr/bin/convert", from};
  argv.insert(argv.end(), options.begin(), options.end());
  const std::string path = ScratchDir() + "/" + to;
  argv.push_back(path);
  EXPECT_EQ(RunProgram(argv, {}).exit_status, 0) << "convert " << to;
  return path;
}

TEST_F(AppPrint, PwgRasterPrintsTheFiltersBytesForEverySetting) {
  const Case cases[] = {
      {"defaults", "vellum-zpl-203", {}, ""},
      {"darkness", "vellum-zpl-203", {{"print-darkness", "40"}}, "Darkness=14", 14},
      {"speed", "vellum-zpl-203", {{"print-speed", "10160"}}, "zePrintRate=4"},
      {"shifts",
       "vellum-zpl-203",
       {{"media-col.media-size-name", "oe_4x6-label_4x6in"},
        {"media-col.media-top-offset", "300"},
        {"media-col.media-left-offset", "-200"}},
       "yReference=3 zeReference=2"},
      {"tracking",
       "vellum-zpl-203",
       {{"media-col.media-size-name", "oe_4x6-label_4x6in"}, {"media-col.media-tracking", "mark"}},
       "zeMediaTracking=Mark"},
      {"copies", "vellum-zpl-203", {{"copies", "3"}}, "", 0, 3},
      {"ordered screen",
       "vellum-zpl-203",
       {{"print-color-mode", "monochrome"}, {"print-content-optimize", "graphic"}},
       "Halftone=Ordered"},
      {"diffusion",
       "vellum-zpl-203",
       {{"print-color-mode", "monochrome"}, {"print-content-optimize", "photo"}},
       "Halftone=Diffusion"},
      {"printer settings",
       "vellum-zpl-203",
       {{"label-density", "thicker"},
        {"label-print-mode", "thermal-transfer"},
        {"label-feed-offset", "minus-5"},
        {"label-negative", "on"}},
       "Gamma=thicker Print_Mode=Thermal_Transfer Offset=-5 Negative=on"},
      {"ZPL 300 dpi",
       "vellum-zpl-300",
       {{"print-darkness", "-30"}, {"print-speed", "5080"}},
       "Darkness=3 zePrintRate=2",
       3},
      {"TSPL 203 dpi",
       "vellum-tspl-203",
       {{"media-col.media-size-name", "oe_4x6-label_4x6in"},
        {"media-col.media-tracking", "continuous"},
        {"print-speed", "7620"}},
       "zeMediaTracking=Continuous zePrintRate=3"},
      {"TSPL 300 dpi",
       "vellum-tspl-300",
       {{"print-color-mode", "monochrome"},
        {"print-content-optimize", "photo"},
        {"print-darkness", "100"},
        {"copies", "2"}},
       "Halftone=Diffusion Darkness=15",
       15,
       2},
      {"03 printer",
       "vellum-zpl-203-03",
       {{"label-perforated-media", "on"},
        {"label-print-mode", "automatic"},
        {"label-feed-offset", "10"}},
       "zeMediaTracking=Perforated Print_Mode=Auto Offset=10"},
  };
  int serial = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    SocketPrinter printer;
    const std::string name = "p" + std::to_string(++serial);
    ASSERT_EQ(app_->AddPrinter(name, c.driver, printer.Uri()), "");
    const uint32_t dpi = std::string(c.driver).find("300") != std::string::npos ? 300 : 203;
    const RasterPage page = LabelPage(4 * dpi, 6 * dpi, dpi);
    const std::string document = WriteScratchFile("page.pwg", PwgRaster({page}));
    const int job = app_->Print(name, document, "image/pwg-raster", c.job);
    ASSERT_GT(job, 0) << cupsLastErrorString();
    EXPECT_EQ(app_->AwaitJob(name, job, 60), IPP_JSTATE_COMPLETED);
    ASSERT_TRUE(printer.AwaitCaptures(1, 30));
    const std::string expected = FilterBytes(c, page);
    const std::string got = printer.Captures()[0];
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "the printer bytes differ from the filter's";
  }
}

// PNG, JPEG and Apple raster labels at the printer's resolution print pixel
// for pixel: the same bytes as the filter's for the same grey page. The
// JPEG page is of flat 8 x 8 blocks, which JPEG keeps exactly.
TEST_F(AppPrint, PngJpegAndAppleRasterPrintTheFiltersBytes) {
  const RasterPage label = LabelPage(812, 1218, 203);
  RasterPage blocks = GreyPage(812, 1218, 255);
  for (uint32_t y = 0; y < 1218; ++y)
    for (uint32_t x = 0; x < 812; ++x)
      blocks.pixels[size_t{y} * 812 + x] =
          static_cast<unsigned char>((x / 8 * 37 + y / 8 * 11) % 256);
  struct Document {
    const char *name;
    const RasterPage &page;
    std::string path, format;
  };
  const Document documents[] = {
      {"PNG", label, Convert(PgmFile(label), "label.png"), "image/png"},
      {"JPEG", blocks, Convert(PgmFile(blocks), "blocks.jpg", {"-quality", "100"}), "image/jpeg"},
      {"Apple raster", label,
       WriteScratchFile("label.urf", PwgRaster({label}, CUPS_RASTER_WRITE_APPLE)), "image/urf"},
  };
  for (const Document &d : documents) {
    SCOPED_TRACE(d.name);
    for (const Case &c :
         {Case{"threshold", "vellum-zpl-203", {}, ""},
          Case{"diffusion",
               "vellum-tspl-203",
               {{"print-color-mode", "monochrome"}, {"print-content-optimize", "photo"}},
               "Halftone=Diffusion"},
          Case{"copies", "vellum-zpl-203", {{"copies", "3"}}, "", 0, 3}}) {
      SCOPED_TRACE(c.name);
      const std::string got = PrintOnce(*app_, c.driver, d.path, d.format, c.job);
      EXPECT_TRUE(got == FilterBytes(c, d.page)) << "the printer bytes differ from the filter's";
    }
  }
}

// A program in the printer's own language (ZPL, TSPL) reaches it
// untouched, after the frames the filter sends before a label of its own
// (tracking, feed offset, print mode, the command set) and with the frame
// it sends after one.
TEST_F(AppPrint, PrinterProgramsPassThroughAfterTheJobSetupFrames) {
  const std::string zpl =
      "^XA^FO50,50^A0N,40,40^FDParcel 1^FS^BY3^FO50,120^BCN,100^FD12345678^FS^XZ\r\n"
      "^XA^FO50,50^A0N,40,40^FDParcel 2^FS^XZ\r\n";
  const std::string tspl = "SIZE 50 mm,25 mm\r\nCLS\r\nTEXT 20,20,\"3\",0,1,1,\"Parcel 1\"\r\n"
                           "BARCODE 20,60,\"128\",80,1,0,2,2,\"12345678\"\r\nPRINT 1,1\r\n";
  struct Program {
    Case settings;
    const std::string &text;
    const char *format;
    const char *labels; // job-impressions-completed
  };
  const Program programs[] = {
      {{"ZPL, defaults", "vellum-zpl-203", {}, ""}, zpl, "application/vnd.zebra-zpl", "2"},
      {{"ZPL, tracking, feed offset, print mode",
        "vellum-zpl-203",
        {{"media-col.media-size-name", "oe_4x6-label_4x6in"},
         {"media-col.media-tracking", "gap"},
         {"label-feed-offset", "2"},
         {"label-print-mode", "direct-thermal"}},
        "zeMediaTracking=Web Offset=2 Print_Mode=Thermal"},
       zpl,
       "application/vnd.zebra-zpl",
       "2"},
      {{"ZPL, 03 printer",
        "vellum-zpl-203-03",
        {{"label-perforated-media", "on"}, {"label-print-mode", "automatic"}},
        "zeMediaTracking=Perforated Print_Mode=Auto"},
       zpl,
       "application/vnd.zebra-zpl",
       "2"},
      {{"TSPL, tracking",
        "vellum-tspl-300",
        {{"media-col.media-tracking", "continuous"}},
        "zeMediaTracking=Continuous"},
       tspl,
       "application/x-tspl",
       "1"},
      // Untyped, as `lp -o raw` and many Windows and web clients send them.
      {{"ZPL, untyped", "vellum-zpl-203", {}, ""}, zpl, "application/octet-stream", "2"},
      {{"TSPL, untyped", "vellum-tspl-203", {}, ""}, tspl, "application/octet-stream", "1"},
  };
  for (const Program &p : programs) {
    SCOPED_TRACE(p.settings.name);
    const std::string document = WriteScratchFile("program", p.text);
    std::string labels;
    const std::string got =
        PrintOnce(*app_, p.settings.driver, document, p.format, p.settings.job, &labels);
    EXPECT_EQ(labels, p.labels) << "job-impressions-completed";
    const std::string filter = FilterBytes(p.settings, LabelPage(8, 8, 203));
    const std::string setup = filter.substr(0, filter.find(p.text[0] == '^' ? "^XA" : "SIZE"));
    EXPECT_EQ(got, setup + p.text + EndOfPageFrame());
  }
}

// An untyped document (application/octet-stream) of a format the server
// takes prints as that format; anything else is refused as it is sent,
// with document-format-not-supported and the reason, never taken and then
// dropped; so is a program for the other printer language, typed or not,
// and a format the printers do not take.
TEST_F(AppPrint, UntypedDocumentsPrintAsTheirFormatOrAreRefusedAsTheyAreSent) {
  const RasterPage page = LabelPage(812, 1218, 203);
  const std::string png = Convert(PgmFile(page), "untyped.png");
  struct Document {
    const char *name, *driver;
    std::string path;
    const char *format; // sent untyped, it prints as this; nullptr: refused
    const char *sent = "application/octet-stream";
    const char *why = "";
  };
  std::string noise(3000, '\0');
  for (size_t i = 0; i < noise.size(); ++i)
    noise[i] = static_cast<char>((i * 2654435761u) >> 13);
  const std::string zpl = WriteScratchFile("untyped.zpl", "^XA^FO20,20^GB100,100,4^FS^XZ\r\n");
  const std::string tspl = WriteScratchFile("untyped.tspl", "SIZE 4,6\r\nCLS\r\nPRINT 1\r\n");
  const Document documents[] = {
      {"PDF", "vellum-zpl-203", VELLUM_SOURCE_DIR "/sample/label.pdf", "application/pdf"},
      {"PNG", "vellum-tspl-203", png, "image/png"},
      {"JPEG", "vellum-zpl-203", Convert(png, "untyped.jpg"), "image/jpeg"},
      {"PWG raster", "vellum-zpl-203", WriteScratchFile("untyped.pwg", PwgRaster({page})),
       "image/pwg-raster"},
      {"Apple raster", "vellum-zpl-203",
       WriteScratchFile("untyped.urf", PwgRaster({page}, CUPS_RASTER_WRITE_APPLE)), "image/urf"},
      {"unknown bytes", "vellum-zpl-203", WriteScratchFile("noise.bin", noise), nullptr,
       "application/octet-stream", "The document is in no format this printer knows."},
      {"PostScript", "vellum-zpl-203", VELLUM_SOURCE_DIR "/sample/label.ps", nullptr,
       "application/octet-stream", "does not print application/postscript documents"},
      {"ZPL to a TSPL printer", "vellum-tspl-300", zpl, nullptr, "application/octet-stream",
       "This is a TSPL printer: it does not print ZPL programs."},
      {"TSPL, typed, to a ZPL printer", "vellum-zpl-203", tspl, nullptr, "application/x-tspl",
       "This is a ZPL printer: it does not print TSPL programs."},
      {"text", "vellum-zpl-203", WriteScratchFile("untyped.txt", "Parcel 1\n"), nullptr,
       "text/plain", "does not print text/plain documents"},
  };
  for (const Document &d : documents) {
    SCOPED_TRACE(d.name);
    if (d.format != nullptr) {
      const std::string untyped = PrintOnce(*app_, d.driver, d.path, d.sent);
      EXPECT_FALSE(untyped.empty());
      EXPECT_TRUE(untyped == PrintOnce(*app_, d.driver, d.path, d.format))
          << "not printed as " << d.format;
      continue;
    }
    SocketPrinter printer;
    const std::string name = "refusing" + std::to_string(&d - documents);
    ASSERT_EQ(app_->AddPrinter(name, d.driver, printer.Uri()), "");
    EXPECT_EQ(app_->Print(name, d.path, d.sent), -1);
    EXPECT_EQ(cupsLastError(), IPP_STATUS_ERROR_DOCUMENT_FORMAT_NOT_SUPPORTED);
    EXPECT_TRUE(Contains(cupsLastErrorString(), d.why)) << cupsLastErrorString();
    EXPECT_TRUE(app_->ActiveJobs(name).empty());
  }
}

// Two printers print at the same time, each its own jobs with its own
// settings, from two clients at once: at some moment both are in the
// middle of their labels, and every capture is exactly the filter's bytes
// for that printer. The printers read at a thermal printer's pace, so that
// a server that printed one printer's jobs after the other's would show.
TEST_F(AppPrint, TwoPrintersPrintAtTheSameTimeEachItsOwnBytes) {
  SocketPrinter zpl_printer({400000}), tspl_printer({400000});
  ASSERT_EQ(app_->AddPrinter("both-zpl", "vellum-zpl-203", zpl_printer.Uri()), "");
  ASSERT_EQ(app_->AddPrinter("both-tspl", "vellum-tspl-300", tspl_printer.Uri()), "");
  const Case zpl{
      "ZPL", "vellum-zpl-203", {{"print-darkness", "20"}, {"copies", "2"}}, "Darkness=11", 11, 2};
  const Case tspl{"TSPL",
                  "vellum-tspl-300",
                  {{"print-color-mode", "monochrome"}, {"print-content-optimize", "graphic"}},
                  "Halftone=Ordered"};
  const RasterPage zpl_page = LabelPage(812, 1218, 203), tspl_page = LabelPage(1200, 1800, 300);
  const std::string zpl_doc = WriteScratchFile("both-zpl.pwg", PwgRaster({zpl_page, zpl_page}));
  const std::string tspl_doc = WriteScratchFile("both-tspl.pwg", PwgRaster({tspl_page, tspl_page}));
  const std::string zpl_expected = FilterBytesOfPages(zpl, {zpl_page, zpl_page});
  const std::string tspl_expected = FilterBytesOfPages(tspl, {tspl_page, tspl_page});
  constexpr size_t kJobs = 3;
  const size_t zpl_total = kJobs * zpl_expected.size(), tspl_total = kJobs * tspl_expected.size();
  std::atomic<bool> done{false}, overlapped{false};
  std::thread watcher([&] {
    while (!done && !overlapped) {
      const size_t a = zpl_printer.Bytes(), b = tspl_printer.Bytes();
      overlapped = a > 0 && a < zpl_total && b > 0 && b < tspl_total;
      Sleep(2);
    }
  });
  std::vector<int> zpl_jobs, tspl_jobs;
  const auto submit = [](const char *printer, const std::string &document, const Case &c,
                         std::vector<int> *jobs) {
    for (size_t i = 0; i < kJobs; ++i)
      jobs->push_back(app_->Print(printer, document, "image/pwg-raster", c.job));
  };
  std::thread zpl_client(submit, "both-zpl", zpl_doc, zpl, &zpl_jobs);
  std::thread tspl_client(submit, "both-tspl", tspl_doc, tspl, &tspl_jobs);
  zpl_client.join();
  tspl_client.join();
  for (size_t i = 0; i < kJobs; ++i) {
    EXPECT_EQ(app_->AwaitJob("both-zpl", zpl_jobs[i], 120), IPP_JSTATE_COMPLETED);
    EXPECT_EQ(app_->AwaitJob("both-tspl", tspl_jobs[i], 120), IPP_JSTATE_COMPLETED);
  }
  done = true;
  watcher.join();
  EXPECT_TRUE(overlapped) << "the two printers never printed at the same time";
  ASSERT_TRUE(zpl_printer.AwaitCaptures(kJobs, 30));
  ASSERT_TRUE(tspl_printer.AwaitCaptures(kJobs, 30));
  for (const std::string &capture : zpl_printer.Captures())
    EXPECT_TRUE(capture == zpl_expected) << "a ZPL job's bytes differ";
  for (const std::string &capture : tspl_printer.Captures())
    EXPECT_TRUE(capture == tspl_expected) << "a TSPL job's bytes differ";
}

// A PDF label prints as CUPS prints it with the PPD: Ghostscript as the
// scheduler's gstoraster runs it, then the filter.
TEST_F(AppPrint, PdfPrintsAsThroughCupsWithThePpd) {
  const std::string pdf = VELLUM_SOURCE_DIR "/sample/label.pdf";
  const Case cases[] = {
      {"ZPL 203 dpi", "vellum-zpl-203", {}, ""},
      {"ZPL 300 dpi, darkness", "vellum-zpl-300", {{"print-darkness", "40"}}, "Darkness=14"},
      {"TSPL 203 dpi, diffusion",
       "vellum-tspl-203",
       {{"print-color-mode", "monochrome"}, {"print-content-optimize", "photo"}},
       "Halftone=Diffusion"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<JobAttribute> job = c.job;
    job.push_back({"media-col.media-size-name", "oe_4x2-label_4x2in"});
    const std::string got = PrintOnce(*app_, c.driver, pdf, "application/pdf", job);

    const std::string ppd = VELLUM_PPD_DIR "/" + std::string(c.driver) + ".ppd";
    const std::string options = "PageSize=w288h144 " + c.filter_options;
    std::vector<std::string> env = FilterEnv();
    env.push_back("PPD=" + ppd);
    const Result raster = RunProgram(
        {"/usr/lib/cups/filter/gstoraster", "1", "user", "title", "1", options, pdf}, env);
    ASSERT_EQ(raster.exit_status, 0);
    const std::string raster_path = WriteScratchFile("label.ras", raster.out);
    std::vector<std::string> argv = FilterArgs(Variant::kBase, options);
    argv.push_back(raster_path);
    const Result filtered = RunProgram(argv, env);
    ASSERT_EQ(filtered.exit_status, 0);
    EXPECT_EQ(DecodeJob(got).error, "");
    EXPECT_TRUE(got == filtered.out) << "the printer bytes differ from the CUPS road's";
  }
}

} // namespace
} // namespace vellum_test
