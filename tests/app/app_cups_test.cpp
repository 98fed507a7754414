// A shipping label at its true size, whatever road it takes and whatever
// page it comes on. CUPS prints to the printer application with no PPD of
// ours: a private scheduler's queue made by `lpadmin -m everywhere` for the
// application's printer prints the sample PostScript label, and a PDF
// shipping label and the same label on a letter page with exactly the
// bytes the application prints for them sent straight. Sent straight, the
// label on a letter or A4 page, at the top left or turned beside a
// receipt, prints as the label alone; a page without a label is fitted.
// The barcodes, drawn by vellumpreview, read back with their payloads.
#include <array>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <unistd.h>

#include <gtest/gtest.h>

#include "barcodes.h"
#include "harness.h"
#include "load.h"
#include "printer_app.h"
#include "private_scheduler.h"

namespace vellum_test {
namespace {

// A 4 x 3 in label: the two 1D symbols of the 4 x 6 in one.
std::vector<Placed> FourByThree() { return {FourBySix()[0], FourBySix()[1]}; }

// A shipping label as a PostScript procedure /Label: a frame and its
// symbols; by default the 4 x 6 in label with the five symbols carriers
// print.
std::string LabelProcedure(const std::vector<Placed> &symbols = FourBySix(), double width = 288,
                           double height = 432) {
  std::ostringstream label;
  label << "/Label {\n2 setlinewidth 6 6 " << width - 12 << " " << height - 12 << " rectstroke\n";
  for (const Placed &p : symbols)
    label << Drawing(p, Draw(p.symbol), height, false);
  label << "} def\n";
  return label.str();
}

// Lines of text at `x`, from `top` down, `width` points wide, as the
// instructions and receipts around a label have them.
std::string TextLines(double x, double top, double width, int lines, double page_height) {
  std::ostringstream ps;
  ps << "/Helvetica findfont 10 scalefont setfont\n";
  for (int i = 0; i < lines; ++i) {
    ps << x << " " << page_height - top - 12 * i << " moveto (";
    for (double used = 60; used < width; used += 50)
      ps << "Lorem ipsum ";
    ps << ") show\n";
  }
  return ps.str();
}

// A PDF of one page made by Ghostscript from PostScript; its path.
std::string MakePdf(const std::string &name, double width, double height, const std::string &body) {
  const std::string ps = WriteScratchFile(name + ".ps", Document(width, height, {body}));
  const std::string pdf = ScratchDir() + "/" + name + ".pdf";
  EXPECT_EQ(RunProgram({"/usr/bin/gs", "-q", "-dSAFER", "-sDEVICE=pdfwrite", "-o", pdf, ps}, {})
                .exit_status,
            0);
  return pdf;
}

// The label alone, and on a carrier's letter page at the top left with
// instructions below.
std::string LabelPdf() { return MakePdf("label", 288, 432, LabelProcedure() + "Label\n"); }
std::string LetterPdf() {
  return MakePdf("letter", 612, 792,
                 LabelProcedure() + "gsave 0 360 translate Label grestore\n" +
                     TextLines(18, 460, 570, 20, 792));
}

// PostScript that gives the page being written the box from 10 20 to its
// top right corner.
std::string MovedBox(int width, int height) {
  return "[{ThisPage} <</MediaBox [10 20 " + std::to_string(width) + " " + std::to_string(height) +
         "]>> /PUT pdfmark\n";
}

// The labels of a capture, decoded, which must be `count`.
std::vector<Label> CapturedLabels(const std::string &capture, size_t count) {
  std::string error;
  std::vector<Label> labels = Labels(DecodeJob(capture), &error);
  EXPECT_EQ(error, "");
  EXPECT_EQ(labels.size(), count);
  labels.resize(count);
  return labels;
}

// The only label of a capture, decoded; an empty one after a fault.
Label OnlyLabel(const std::string &capture) { return CapturedLabels(capture, 1)[0]; }

// The bounds of the ink within [x0, x1) x [y0, y1): left, top, width, height.
std::array<int64_t, 4> InkBounds(const Label &label, int64_t x0, int64_t y0, int64_t x1,
                                 int64_t y1) {
  int64_t left = x1, top = y1, right = x0 - 1, bottom = y0 - 1;
  for (int64_t y = std::max<int64_t>(y0, 0); y < std::min<int64_t>(y1, label.height); ++y)
    for (int64_t x = std::max<int64_t>(x0, 0); x < std::min<int64_t>(x1, label.width); ++x)
      if (IsDot(label, label.rows[static_cast<size_t>(y)], static_cast<uint64_t>(x))) {
        left = std::min(left, x);
        right = std::max(right, x);
        top = std::min(top, y);
        bottom = std::max(bottom, y);
      }
  return {left, top, right - left + 1, bottom - top + 1};
}

// Each symbol's size in dots on a label printed at 203 dpi.
std::vector<std::pair<int64_t, int64_t>> SymbolSizes(const Label &label,
                                                     const std::vector<Placed> &symbols) {
  std::vector<std::pair<int64_t, int64_t>> sizes;
  for (const Placed &p : symbols) {
    int64_t box[4];
    std::istringstream in(Boxed("", p, 203).substr(1));
    char comma;
    in >> box[0] >> comma >> box[1] >> comma >> box[2] >> comma >> box[3];
    const auto bounds = InkBounds(label, box[0], box[1], box[2], box[3]);
    sizes.emplace_back(bounds[2], bounds[3]);
  }
  return sizes;
}

// Whether every symbol on each of the capture's `labels` labels reads back
// with its payload.
void ExpectSymbolsRead(const std::string &capture, const std::string &name, size_t labels = 1,
                       const std::vector<Placed> &symbols = FourBySix()) {
  const std::string job = WriteScratchFile(name + ".zpl", capture);
  const std::string prefix = ScratchDir() + "/drawn-" + name;
  ASSERT_EQ(RunProgram({VELLUMPREVIEW_PATH, "-o", prefix, job}, {}).exit_status, 0);
  for (size_t i = 1; i <= labels; ++i) {
    SCOPED_TRACE("label " + std::to_string(i));
    std::vector<std::string> boxes;
    for (const Placed &p : symbols)
      boxes.push_back(Boxed(prefix + "-" + std::to_string(i) + ".png", p, 203));
    std::multiset<std::string> found;
    for (const auto &[picture, lines] : Read(boxes))
      found.insert(lines.begin(), lines.end());
    EXPECT_EQ(found, Expected(symbols));
  }
}

// Pages larger than the label, sent straight to the application: where one
// part of the page is the label, it prints at full size as the label
// alone prints (the same bytes where the page puts it on the same dots,
// else every symbol the same size within a dot); where several are labels,
// each prints so on a label of its own, in reading order, and the job
// counts them; a page without a label, one whose labels cannot be told
// apart (saying so) and any page with print-scaling=fit are fitted on the
// label.
TEST(AppCups, ALabelOnALargerPagePrintsAtItsTrueSize) {
  if (!HaveTools())
    GTEST_SKIP() << "needs zint, zbar-tools, python3-zxing-cpp and python3-pil";
  PrinterApp app;
  ASSERT_EQ(app.Start(), "");
  SocketPrinter printer;
  ASSERT_EQ(app.AddPrinter("labels", "vellum-zpl-203", printer.Uri()), "");
  size_t captured = 0;
  int job = 0;
  const auto print = [&](const std::string &path, const char *format,
                         const std::vector<JobAttribute> &attributes) {
    job = app.Print("labels", path, format, attributes);
    EXPECT_EQ(app.AwaitJob("labels", job, 60), IPP_JSTATE_COMPLETED);
    EXPECT_TRUE(printer.AwaitCaptures(++captured, 60));
    return printer.Captures().size() == captured ? printer.Captures().back() : std::string();
  };
  const std::string label_pdf = LabelPdf();
  const std::string alone = print(label_pdf, "application/pdf", {});
  const Label reference = OnlyLabel(alone);
  ExpectSymbolsRead(alone, "alone");
  // The 4 x 3 in label alone, on its own label size.
  const JobAttribute four_by_three{"media-col.media-size-name", "oe_4x3-label_4x3in"};
  const std::string small = LabelProcedure(FourByThree(), 288, 216);
  const Label small_reference = OnlyLabel(
      print(MakePdf("small", 288, 216, small + "Label\n"), "application/pdf", {four_by_three}));

  const std::string label = LabelProcedure(), letter = LetterPdf();
  const std::string receipt = "[6 4] 0 setdash 0 396 moveto 612 396 lineto stroke [] 0 setdash\n" +
                              TextLines(470, 30, 130, 20, 792) + TextLines(18, 420, 570, 20, 792);
  // Two labels turned, one above the other, a cut line between them, as
  // marketplaces offer "two labels per page".
  const std::string two_turned =
      MakePdf("two-turned", 612, 792,
              label + "gsave 90 774 translate -90 rotate Label grestore\n" +
                  "gsave 90 378 translate -90 rotate Label grestore\n" +
                  "[6 4] 0 setdash 0 396 moveto 612 396 lineto stroke [] 0 setdash\n");
  const auto raster = [](const char *device, const std::string &pdf, const std::string &name) {
    const std::string path = ScratchDir() + "/" + name;
    EXPECT_EQ(RunProgram({"/usr/bin/gs", "-q", "-dSAFER", "-sDEVICE=" + std::string(device),
                          "-r203", "-dcupsColorSpace=18", "-dcupsBitsPerColor=8", "-o", path, pdf},
                         {})
                  .exit_status,
              0);
    return path;
  };
  // What a page prints as: the label alone's bytes (in the same format),
  // its labels' symbols at their sizes, the page fitted as a page without a
  // label, the whole page shrunk onto the label, or a part of it.
  enum Expect { kAsAlone, kSymbolsAsAlone, kFitted, kShrunk, kPart };
  struct Page {
    const char *name;
    std::string path;
    const char *format, *scaling;
    Expect expect;
    std::string alone = "";   // the label alone in that format, where not the PDF
    size_t labels = 1;        // the labels it prints, each a 4 x 6 in one ...
    bool small = false;       // ... or a 4 x 3 in one on 4 x 3 in labels
    const char *message = ""; // in the job's message
  };
  const Page pages[] = {
      {"6 x 4 in landscape page",
       MakePdf("landscape", 432, 288, label + "0 288 translate -90 rotate Label\n"),
       "application/pdf", "auto", kAsAlone},
      // Pages whose box does not start at 0 0, as cropping tools leave them.
      {"4 x 6 in page, its box at 10 20",
       MakePdf("moved", 298, 452, label + MovedBox(298, 452) + "10 20 translate Label\n"),
       "application/pdf", "auto", kAsAlone},
      {"6 x 4 in landscape page, its box at 10 20",
       MakePdf("moved-landscape", 442, 308,
               label + MovedBox(442, 308) + "10 308 translate -90 rotate Label\n"),
       "application/pdf", "auto", kAsAlone},
      {"letter, at the top left", letter, "application/pdf", "auto", kAsAlone},
      {"A4, at the top left",
       MakePdf("a4", 595, 842,
               label + "gsave 0 410 translate Label grestore\n" + TextLines(18, 470, 550, 20, 842)),
       "application/pdf", "auto", kAsAlone},
      {"letter, turned beside a receipt",
       MakePdf("turned", 612, 792,
               label + "gsave 18 774 translate -90 rotate Label grestore\n" + receipt),
       "application/pdf", "auto", kSymbolsAsAlone},
      {"letter page of text", MakePdf("text", 612, 792, TextLines(36, 36, 540, 60, 792)),
       "application/pdf", "auto", kFitted},
      {"letter, print-scaling=fit", letter, "application/pdf", "fit", kShrunk},
      {"letter, print-scaling=none", letter, "application/pdf", "none", kAsAlone},
      {"letter as PWG raster", raster("pwgraster", letter, "letter.pwg"), "image/pwg-raster",
       "auto", kAsAlone, raster("pwgraster", label_pdf, "label.pwg")},
      {"letter as PNG", raster("pnggray", letter, "letter.png"), "image/png", "auto", kAsAlone,
       raster("pnggray", label_pdf, "label.png")},
      {"two labels turned, one above the other", two_turned, "application/pdf", "auto",
       kSymbolsAsAlone, "", 2, false, "held 2 labels"},
      {"two labels turned, as PWG raster", raster("pwgraster", two_turned, "two.pwg"),
       "image/pwg-raster", "auto", kSymbolsAsAlone, raster("pwgraster", label_pdf, "label.pwg"), 2},
      {"two labels turned, as PNG", raster("pnggray", two_turned, "two.png"), "image/png", "auto",
       kSymbolsAsAlone, raster("pnggray", label_pdf, "label.png"), 2},
      {"two labels side by side",
       MakePdf("two-upright", 612, 792,
               label + "gsave 12 342 translate Label grestore\n" +
                   "gsave 312 342 translate Label grestore\n" + TextLines(18, 480, 570, 10, 792)),
       "application/pdf", "auto", kSymbolsAsAlone, "", 2},
      {"three 4 x 3 in labels, one above the other",
       MakePdf("three", 612, 792,
               small + "gsave 18 558 translate Label grestore\n" +
                   "gsave 18 324 translate Label grestore\n" +
                   "gsave 18 90 translate Label grestore\n"),
       "application/pdf", "auto", kSymbolsAsAlone, "", 3, true},
      {"two labels that overlap",
       MakePdf("overlap", 612, 792,
               label + "gsave 18 342 translate Label grestore\n" +
                   "gsave 250 300 translate Label grestore\n"),
       "application/pdf", "auto", kFitted, "", 1, false, "printed whole on one label"},
      {"two labels, print-scaling=none", two_turned, "application/pdf", "none", kPart, "", 1, false,
       "holds 2 labels; print-scaling=none printed one part"},
  };
  // The extent of the first row of ink: the label's top frame line.
  const auto top_line = [](const Label &l) {
    const int64_t top = InkBounds(l, 0, 0, l.width, l.height)[1];
    return InkBounds(l, 0, top, l.width, top + 1)[2];
  };
  for (const Page &page : pages) {
    SCOPED_TRACE(page.name);
    std::vector<JobAttribute> attributes = {{"print-scaling", page.scaling}};
    if (page.small)
      attributes.push_back(four_by_three);
    const std::string capture = print(page.path, page.format, attributes);
    const int printed = job;
    const std::vector<Label> got = CapturedLabels(capture, page.labels);
    EXPECT_EQ(app.JobText("labels", printed, "job-impressions-completed"),
              std::to_string(page.labels));
    EXPECT_TRUE(Contains(app.JobText("labels", printed, "job-state-message"), page.message))
        << app.JobText("labels", printed, "job-state-message");
    switch (page.expect) {
    case kAsAlone:
      EXPECT_TRUE(capture == (page.alone.empty() ? alone : print(page.alone, page.format, {})))
          << "not the label's bytes";
      break;
    case kSymbolsAsAlone: {
      // Sizes as the label alone prints them, rasterised as the page was.
      const std::vector<Placed> symbols = page.small ? FourByThree() : FourBySix();
      const Label own = page.alone.empty() ? (page.small ? small_reference : reference)
                                           : OnlyLabel(print(page.alone, page.format, {}));
      const auto want = SymbolSizes(own, symbols);
      for (const Label &each : got) {
        const auto have = SymbolSizes(each, symbols);
        for (size_t i = 0; i < want.size(); ++i) {
          EXPECT_LE(std::abs(want[i].first - have[i].first), 1) << symbols[i].symbol.name;
          EXPECT_LE(std::abs(want[i].second - have[i].second), 1) << symbols[i].symbol.name;
        }
      }
      ExpectSymbolsRead(capture, "page", page.labels, symbols);
      break;
    }
    case kFitted:
      EXPECT_TRUE(capture == print(page.path, page.format, {{"print-scaling", "fit"}}))
          << "not the page fitted";
      break;
    case kShrunk:
      // The whole letter page on the label: the label at 47 %.
      EXPECT_LT(top_line(got[0]), top_line(reference) * 6 / 10);
      break;
    case kPart:
      break;
    }
  }
}

// Printer programs of carriers and shipping software, as ZPL and TSPL files.
const char kZplProgram[] =
    "^XA^FO50,50^A0N,40,40^FDParcel 1^FS^BY3^FO50,120^BCN,100^FD12345678^FS^XZ\r\n";
const char kTsplProgram[] = "SIZE 50 mm,25 mm\r\nGAP 3 mm,0\r\nCLS\r\n"
                            "TEXT 20,20,\"3\",0,1,1,\"Parcel 1\"\r\nPRINT 1,1\r\n";

TEST(AppCups, CupsPrintsThroughTheApplicationAsADriverlessPrinter) {
  if (geteuid() != 0 || access("/usr/sbin/cupsd", X_OK) != 0)
    GTEST_SKIP() << "needs root and the scheduler (cups-daemon)";
  if (!HaveTools())
    GTEST_SKIP() << "needs zint, zbar-tools, python3-zxing-cpp and python3-pil";
  PrinterApp app;
  ASSERT_EQ(app.Start(), "");
  SocketPrinter zpl_printer, tspl_printer;
  ASSERT_EQ(app.AddPrinter("labels", "vellum-zpl-203", zpl_printer.Uri()), "");
  ASSERT_EQ(app.AddPrinter("tspl", "vellum-tspl-203", tspl_printer.Uri()), "");

  PrivateScheduler cupsd;
  SchedulerSetup setup;
  setup.log_level = "info";
  setup.capture_backend = CAPTURE_BACKEND_PATH;
  setup.stock_backends = {"ipp"};
  ASSERT_EQ(cupsd.Start(setup), "");
  for (const char *queue : {"labels", "tspl"}) {
    const Result added = cupsd.Client(
        {"/usr/sbin/lpadmin", "-p", queue, "-E", "-v", app.PrinterUri(queue), "-m", "everywhere"});
    ASSERT_EQ(added.exit_status, 0) << testing::PrintToString(added.err);
  }

  // A label-size PDF and a carrier's letter page reach the application as
  // they were sent (the queue names no paper size, as a desktop's queue
  // made this way does not), and print as they print sent straight; so do
  // ZPL and TSPL programs, typed by the driver's CUPS types or sent raw,
  // and raw documents of every format the application takes, which it
  // types by their content. Text prints as text. Bytes that are nothing
  // CUPS refuses; sent raw, the application refuses them, and a program
  // for the other printer language.
  const std::string label = LabelPdf(), letter = LetterPdf();
  const auto gs = [](const char *device, const std::string &pdf, const std::string &name) {
    const std::string path = ScratchDir() + "/" + name;
    EXPECT_EQ(RunProgram({"/usr/bin/gs", "-q", "-dSAFER", "-sDEVICE=" + std::string(device),
                          "-r203", "-o", path, pdf},
                         {})
                  .exit_status,
              0);
    return path;
  };
  const std::vector<RasterPage> page = {LabelPage(812, 1218, 203)};
  std::string noise(3000, '\0');
  for (size_t i = 0; i < noise.size(); ++i)
    noise[i] = static_cast<char>((i * 2654435761u) >> 13);
  // What becomes of a document: printed (as many whole labels, as sent
  // straight in that format where one is named), or refused by the
  // scheduler, or by the application (saying why in its log).
  enum Expect { kPrinted, kRefusedByCups, kRefusedByApp };
  struct Document {
    const char *name;
    std::string path;
    std::vector<std::string> options;
    const char *format;
    const char *queue = "labels";
    Expect expect = kPrinted;
    size_t labels = 1;    // whole labels; 0: a program, not read back
    const char *why = ""; // the application's refusal
  };
  const std::string zpl = WriteScratchFile("label.zpl", kZplProgram);
  const std::string tspl = WriteScratchFile("label.tspl", kTsplProgram);
  const Document documents[] = {
      {"PostScript label",
       VELLUM_SOURCE_DIR "/sample/label.ps",
       {"media=oe_4x2-label_4x2in"},
       nullptr},
      {"PDF shipping label", label, {}, "application/pdf"},
      {"letter page with the label", letter, {}, "application/pdf"},
      {"ZPL program", zpl, {}, "application/vnd.zebra-zpl", "labels", kPrinted, 0},
      {"ZPL program, raw", zpl, {"raw"}, "application/vnd.zebra-zpl", "labels", kPrinted, 0},
      {"TSPL program", tspl, {}, "application/x-tspl", "tspl", kPrinted, 0},
      {"TSPL program, raw", tspl, {"raw"}, "application/x-tspl", "tspl", kPrinted, 0},
      {"text file",
       WriteScratchFile("notes.txt", "SIZE of the box: 4 x 6 in\nParcel 1: handle with care.\n"),
       {},
       nullptr},
      {"PDF, raw", label, {"raw"}, "application/pdf"},
      {"PNG, raw", gs("pnggray", label, "label.png"), {"raw"}, "image/png"},
      {"JPEG, raw", gs("jpeggray", label, "label.jpg"), {"raw"}, "image/jpeg"},
      {"PWG raster, raw",
       WriteScratchFile("label.pwg", PwgRaster(page)),
       {"raw"},
       "image/pwg-raster"},
      {"Apple raster, raw",
       WriteScratchFile("label.urf", PwgRaster(page, CUPS_RASTER_WRITE_APPLE)),
       {"raw"},
       "image/urf"},
      {"unknown bytes",
       WriteScratchFile("noise.bin", noise),
       {},
       nullptr,
       "labels",
       kRefusedByCups},
      {"unknown bytes, raw",
       WriteScratchFile("noise.bin", noise),
       {"raw"},
       nullptr,
       "labels",
       kRefusedByApp,
       0,
       "The document is in no format this printer knows."},
      {"ZPL program to the TSPL printer, raw",
       zpl,
       {"raw"},
       nullptr,
       "tspl",
       kRefusedByApp,
       0,
       "This is a TSPL printer: it does not print ZPL programs."},
  };
  std::map<std::string, size_t> captured;
  for (const Document &d : documents) {
    SCOPED_TRACE(d.name);
    SocketPrinter &printer = std::string(d.queue) == "tspl" ? tspl_printer : zpl_printer;
    std::vector<LoadJob> jobs(1);
    jobs[0].id = cupsd.Submit(d.queue, d.path, d.options);
    if (d.expect == kRefusedByCups) {
      EXPECT_EQ(jobs[0].id, -1);
      continue;
    }
    ASSERT_GT(jobs[0].id, 0);
    ASSERT_TRUE(AwaitJobsDone(cupsd, jobs, 120));
    if (d.expect == kRefusedByApp) {
      EXPECT_EQ(printer.Captures().size(), captured[d.queue]) << "the printer got bytes";
      EXPECT_TRUE(Contains(app.Log(), d.why));
      continue;
    }
    ASSERT_TRUE(printer.AwaitCaptures(++captured[d.queue], 60));
    const std::string capture = printer.Captures().back();
    if (d.labels > 0) {
      bool whole = false;
      EXPECT_EQ(WholeLabels(capture, &whole), d.labels);
      EXPECT_TRUE(whole);
    } else {
      EXPECT_TRUE(Contains(capture, ReadFile(d.path))) << "the program changed on its way";
    }
    if (d.format == nullptr)
      continue;
    if (std::string(d.format) == "application/pdf")
      ExpectSymbolsRead(capture, "cups-" + std::to_string(captured[d.queue]));
    // The queue sends its default colour mode, monochrome, with every job.
    const int straight = app.Print(d.queue, d.path, d.format, {{"print-color-mode", "monochrome"}});
    EXPECT_EQ(app.AwaitJob(d.queue, straight, 60), IPP_JSTATE_COMPLETED);
    ASSERT_TRUE(printer.AwaitCaptures(++captured[d.queue], 60));
    EXPECT_TRUE(printer.Captures().back() == capture) << "CUPS's road prints other bytes";
  }
}

} // namespace
} // namespace vellum_test
