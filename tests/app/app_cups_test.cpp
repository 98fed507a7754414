// CUPS prints to the printer application with no PPD of ours: a private
// scheduler's queue made by `lpadmin -m everywhere` for the application's
// printer prints the sample PostScript label and a PDF shipping label with
// barcodes; what reaches the AppSocket printer decodes with the job
// decoder, and the barcodes, drawn by vellumpreview, read back with their
// payloads.
#include <filesystem>
#include <fstream>

#include <unistd.h>

#include <gtest/gtest.h>

#include "barcodes.h"
#include "harness.h"
#include "load.h"
#include "printer_app.h"
#include "private_scheduler.h"

namespace vellum_test {
namespace {

TEST(AppCups, CupsPrintsThroughTheApplicationAsADriverlessPrinter) {
  if (geteuid() != 0 || access("/usr/sbin/cupsd", X_OK) != 0)
    GTEST_SKIP() << "needs root and the scheduler (cups-daemon)";
  if (!HaveTools())
    GTEST_SKIP() << "needs zint, zbar-tools, python3-zxing-cpp and python3-pil";
  PrinterApp app;
  ASSERT_EQ(app.Start(), "");
  SocketPrinter printer;
  ASSERT_EQ(app.AddPrinter("labels", "vellum-zpl-203", printer.Uri()), "");

  PrivateScheduler cupsd;
  SchedulerSetup setup;
  setup.log_level = "info";
  setup.capture_backend = CAPTURE_BACKEND_PATH;
  setup.stock_backends = {"ipp"};
  ASSERT_EQ(cupsd.Start(setup), "");
  const Result added = cupsd.Client({"/usr/sbin/lpadmin", "-p", "labels", "-E", "-v",
                                     app.PrinterUri("labels"), "-m", "everywhere"});
  ASSERT_EQ(added.exit_status, 0) << testing::PrintToString(added.err);

  // The PDF shipping label: every symbol of the 4 x 6 in print-quality label.
  const std::vector<Placed> symbols = FourBySix();
  std::string page;
  for (const Placed &p : symbols)
    page += Drawing(p, Draw(p.symbol), 432, false);
  const std::string ps = WriteScratchFile("shipping.ps", Document(288, 432, {page}));
  const std::string pdf = ScratchDir() + "/shipping.pdf";
  ASSERT_EQ(RunProgram({"/usr/bin/gs", "-q", "-dSAFER", "-sDEVICE=pdfwrite", "-o", pdf, ps}, {})
                .exit_status,
            0);

  struct Document {
    const char *name;
    std::string path, media;
  };
  const Document documents[] = {
      {"PostScript label", VELLUM_SOURCE_DIR "/sample/label.ps", "oe_4x2-label_4x2in"},
      {"PDF shipping label", pdf, "oe_4x6-label_4x6in"},
  };
  size_t captured = 0;
  for (const Document &d : documents) {
    SCOPED_TRACE(d.name);
    std::vector<LoadJob> jobs(1);
    jobs[0].id = cupsd.Submit("labels", d.path, {"media=" + d.media});
    ASSERT_GT(jobs[0].id, 0);
    ASSERT_TRUE(AwaitJobsDone(cupsd, jobs, 120));
    ASSERT_TRUE(printer.AwaitCaptures(++captured, 60));
    const std::string capture = printer.Captures().back();
    bool whole = false;
    EXPECT_EQ(WholeLabels(capture, &whole), 1u);
    EXPECT_TRUE(whole);
    const std::string job = WriteScratchFile(std::string(d.name) + ".zpl", capture);
    const std::string prefix = ScratchDir() + "/drawn-" + std::to_string(captured);
    ASSERT_EQ(RunProgram({VELLUMPREVIEW_PATH, "-o", prefix, job}, {}).exit_status, 0);
    if (d.path == pdf) {
      std::vector<std::string> boxes;
      for (const Placed &p : symbols)
        boxes.push_back(Boxed(prefix + "-1.png", p, 203));
      std::multiset<std::string> found;
      for (const auto &[picture, lines] : Read(boxes))
        found.insert(lines.begin(), lines.end());
      EXPECT_EQ(found, Expected(symbols));
    }
  }
}

} // namespace
} // namespace vellum_test
