// The printer application meets bad documents and bad printers: every fault
// ends with a clear state, nothing is lost, and a printer never gets half a
// label.
#include <thread>

#include <gtest/gtest.h>

#include "harness.h"
#include "printer_app.h"

namespace vellum_test {
namespace {

class AppFault : public testing::Test {
protected:
  static void SetUpTestSuite() {
    app_ = new PrinterApp;
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

// A malformed or truncated document aborts its job with a message, sends
// the printer no part of a label, and the next job prints.
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
    const int good_job = app_->Print(name, good, "image/pwg-raster");
    ASSERT_GT(good_job, 0) << cupsLastErrorString();
    if (bad_job > 0) { // refused at once is as good
      EXPECT_EQ(app_->AwaitJob(name, bad_job, 60), IPP_JSTATE_ABORTED);
    }
    EXPECT_EQ(app_->AwaitJob(name, good_job, 60), IPP_JSTATE_COMPLETED);
    Sleep(200);
    const std::vector<std::string> captures = printer.Captures();
    ASSERT_FALSE(captures.empty());
    for (size_t i = 0; i + 1 < captures.size(); ++i) {
      bool whole = false;
      WholeLabels(captures[i], &whole);
      EXPECT_TRUE(whole) << "the bad job sent part of a label";
    }
    bool whole = false;
    EXPECT_EQ(WholeLabels(captures.back(), &whole), 1u);
    EXPECT_TRUE(whole);
  }
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

// A connection that drops during a job never reports the job completed.
TEST_F(AppFault, ADroppedConnectionIsNeverReportedAsCompleted) {
  SocketPrinter printer({0, 20000});
  ASSERT_EQ(app_->AddPrinter("drops", "vellum-zpl-203", printer.Uri()), "");
  const RasterPage page = GreyPage(812, 1218, 0);
  const std::string document = WriteScratchFile("drops.pwg", PwgRaster({page, page, page}));
  const int job = app_->Print("drops", document, "image/pwg-raster");
  ASSERT_GT(job, 0);
  const int state = app_->AwaitJob("drops", job, 60);
  EXPECT_NE(state, IPP_JSTATE_COMPLETED);
  EXPECT_NE(state, 0) << "the job never ended";
}

// A cancel while a slow printer reads leaves whole labels only. The job is
// larger than what the connection's buffers hold, so that the cancel
// comes while labels are still being sent.
TEST_F(AppFault, ACancelDuringALabelLeavesWholeLabelsOnly) {
  SocketPrinter printer({1000000});
  ASSERT_EQ(app_->AddPrinter("slow", "vellum-zpl-203", printer.Uri()), "");
  // Vertical bars: every row alike, so that the document is small while
  // each label is 124 KB of printer data.
  RasterPage page = GreyPage(812, 1218, 255);
  for (size_t i = 0; i < page.pixels.size(); i += 3)
    page.pixels[i] = 0;
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
  Sleep(2000);
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
  ASSERT_EQ(app_->AddPrinter("tsplstatus", "vellum-tspl-203", tspl.Uri()), "");
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
      {"tsplstatus", PrinterFault::kPaperOut, "media-empty", "Out of labels"},
      {"tsplstatus", PrinterFault::kHeadOpen, "cover-open", "Print head open"},
      {"tsplstatus", PrinterFault::kRibbonOut, "marker-supply-empty", "Out of ribbon"},
      {"tsplstatus", PrinterFault::kPaused, "other", "Paused at the printer"},
      {"tsplstatus", PrinterFault::kJam, "media-jam", "Label jam"},
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
    EXPECT_TRUE(
        Contains(app_->Web("/vellum-status").second, std::string(f.printer) + "\t" + f.words));
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

} // namespace
} // namespace vellum_test
