// The printer application against the CUPS road with the PPD, side by side
// in one run: the time from submitting a one-label PDF (a 4 x 6 in
// shipping label at 203 dpi) until its last byte reaches the printer, and
// labels a second for a burst of such jobs from 4 clients. Both print to
// AppSocket printers on the loopback interface; the CUPS queue is a
// private scheduler's, made from the shipped ZPL 203 dpi PPD, with the
// tests' capture backend sending to the printer (Debian's cups-daemon has
// no socket backend). Writes its section of the results file.
// Needs root (the scheduler runs the filters as lp).
//
// Then the server's memory under the tests' storm of hostile clients.
//
//   bench_app RESULTS.md [BURST_JOBS | storm]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <sstream>
#include <thread>

#include "printer_app.h"
#include "private_scheduler.h"
#include "results.h"
#include "storm.h"

using namespace vellum_test;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSingles = 15;
constexpr int kClients = 4;

void Fail(const std::string &why) {
  std::cerr << "bench_app: " << why << std::endl;
  std::exit(1);
}

// A 4 x 6 in shipping label as PDF: text, boxes and bars; on its own page,
// or at the top left of a carrier's US letter page, framed, with
// instructions below.
std::string ShippingLabel(bool on_letter) {
  std::ostringstream ps;
  ps << "%!PS-Adobe-3.0\n<< /PageSize [" << (on_letter ? "612 792" : "288 432")
     << "] >> setpagedevice\n";
  if (on_letter)
    ps << "0 360 translate 2 setlinewidth 4 4 280 424 rectstroke\n";
  ps << "/Helvetica-Bold findfont 20 scalefont setfont 18 396 moveto (PRIORITY PARCEL) show\n"
     << "/Helvetica findfont 11 scalefont setfont\n"
     << "18 370 moveto (SHIP TO: VELLUM WAREHOUSE, DOCK 7) show\n"
     << "18 356 moveto (12 LABEL STREET, 12345 PRINTTOWN) show\n"
     << "2 setlinewidth 12 300 264 120 rectstroke\n";
  for (int i = 0; i < 60; ++i)
    ps << 24 + i * 4 << " 160 " << (i % 3 + 1) << " 120 rectfill\n";
  ps << "190 40 80 80 rectfill\n";
  if (on_letter)
    for (int line = 0; line < 20; ++line)
      ps << "18 " << -40 - 14 * line
         << " moveto (Fold the page, put the label in a pouch and attach it to the parcel.) "
            "show\n";
  ps << "showpage\n";
  const std::string name = on_letter ? "letter" : "shipping";
  const std::string source = WriteScratchFile(name + ".ps", ps.str());
  const std::string pdf = ScratchDir() + "/" + name + ".pdf";
  if (RunProgram({"/usr/bin/gs", "-q", "-dSAFER", "-sDEVICE=pdfwrite", "-o", pdf, source}, {})
          .exit_status != 0)
    Fail("Ghostscript could not make the PDF label");
  return pdf;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A way to print: submits one job of the PDF, returns once it is accepted.
using Submit = std::function<bool()>;

struct Measured {
  double single_ms; // median, submit to the last byte at the printer
  double labels_per_second;
};

Measured Measure(const char *road, const Submit &submit, SocketPrinter &printer, int burst) {
  // One job first, so that nothing is measured cold; its bytes are those
  // of every job.
  size_t seen = printer.Captures().size();
  const size_t before = printer.Bytes();
  if (!submit() || !printer.AwaitCaptures(++seen, 120))
    Fail(std::string(road) + ": the warm-up job did not print");
  const size_t job_bytes = printer.Bytes() - before;
  std::vector<double> singles;
  for (int i = 0; i < kSingles; ++i) {
    const auto start = Clock::now();
    if (!submit() || !printer.AwaitCaptures(++seen, 120))
      Fail(std::string(road) + ": a single label did not print");
    singles.push_back(Since(start) * 1000);
  }
  // A burst may reach the printer over one connection: it has printed
  // once all its bytes are there.
  const size_t expected = printer.Bytes() + job_bytes * static_cast<size_t>(burst);
  const auto start = Clock::now();
  std::atomic<bool> failed{false};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c)
    clients.emplace_back([&, c] {
      for (int j = c; j < burst; j += kClients)
        if (!submit())
          failed = true;
    });
  for (std::thread &client : clients)
    client.join();
  if (failed || !printer.AwaitBytes(expected, 300))
    Fail(std::string(road) + ": the burst did not print");
  return {Median(singles), burst / Since(start)};
}

// The server's memory under the storm of hostile clients the tests send
// (malformed IPP, hostile documents of every format, broken HTTP; 6 clients
// at once, once through the table each): its peak while the storm runs,
// and what it keeps afterwards. Writes its section of the results file.
void MeasureStorm(const std::string &results) {
  constexpr int kStormClients = 6;
  PrinterApp app;
  if (const std::string why = app.Start(); !why.empty())
    Fail(why);
  SocketPrinter printer;
  if (const std::string why = app.AddPrinter("storm", "vellum-zpl-203", printer.Uri());
      !why.empty())
    Fail(why);
  const size_t before = ProcessKiB(app.Pid(), "VmRSS");
  const std::vector<StormCase> cases = StormCases(app.Port(), "storm");
  // The peak as the storm goes, which a server that ends during it still
  // shows.
  std::atomic<bool> storming{true};
  size_t peak = before;
  std::thread sampler([&] {
    for (; storming; Sleep(20))
      peak = std::max(peak, ProcessKiB(app.Pid(), "VmHWM"));
  });
  const StormReport report = RunStorm(app.Port(), cases, kStormClients, 1, 300);
  storming = false;
  sampler.join();
  const size_t after = ProcessKiB(app.Pid(), "VmRSS");
  using vellum_bench::Fixed;
  std::ostringstream text;
  text << "The tests' storm of hostile clients against `vellum-printer-app server` on the "
          "loopback interface: "
       << cases.size() << " hostile inputs (malformed IPP, hostile documents of every format it "
       << "takes, broken HTTP), " << kStormClients
       << " clients at once, each once through the table. Memory is the server's resident set "
          "(VmRSS, VmHWM for the peak), documents rasterised by Ghostscript not counted. "
       << vellum_bench::Machine() << "\n\n"
       << "| connections | answered | seconds | before MiB | peak MiB | after MiB |\n"
       << "|---:|---:|---:|---:|---:|---:|\n"
       << "| " << report.connections << " | " << report.answered << " | "
       << Fixed(report.seconds, 1) << (report.cut_short ? " (cut short)" : "") << " | "
       << Fixed(before / 1024.0, 1) << " | " << Fixed(peak / 1024.0, 1) << " | "
       << (after > 0 ? Fixed(after / 1024.0, 1) : std::string("the server ended")) << " |\n";
  vellum_bench::WriteResultsSection(results, "Printer application under a storm", text.str());
  std::cout << text.str();
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s RESULTS.md [BURST_JOBS]\n", argv[0]);
    return 2;
  }
  // "storm" in place of the burst measures the storm alone.
  if (argc > 2 && std::string(argv[2]) == "storm") {
    MeasureStorm(argv[1]);
    return 0;
  }
  const int burst = argc > 2 ? std::atoi(argv[2]) : 100;
  const std::string pdf = ShippingLabel(false), letter = ShippingLabel(true);

  PrinterApp app;
  if (const std::string why = app.Start(); !why.empty())
    Fail(why);
  // Each road its own printer of the application, as a burst may reach a
  // printer over one connection.
  const auto measure_app = [&app, burst](const char *road, const char *name,
                                         const std::string &document, PrinterBehaviour behaviour) {
    SocketPrinter printer(behaviour);
    if (const std::string why = app.AddPrinter(name, "vellum-zpl-203", printer.Uri()); !why.empty())
      Fail(why);
    return Measure(
        road,
        [&] {
          return app.Print(name, document, "application/pdf", {{"media", "oe_4x6-label_4x6in"}}) >
                 0;
        },
        printer, burst);
  };
  const Measured through_app = measure_app("printer application", "labels", pdf, {});
  // A printer that answers the status query (~HS) is asked before each job.
  const Measured asked = measure_app("printer application, status asked", "asked", pdf,
                                     {0, 0, PrinterBehaviour::Answers::kZpl});
  // The label found on the letter page and printed at full size.
  const Measured letter_page =
      measure_app("printer application, letter page", "letter", letter, {});
  app.Stop();

  PrivateScheduler cupsd;
  SchedulerSetup setup;
  setup.log_level = "warn";
  setup.capture_backend = CAPTURE_BACKEND_PATH;

  if (const std::string why = cupsd.Start(setup); !why.empty())
    Fail(why);
  SocketPrinter cups_printer;
  const Result added = cupsd.Client({"/usr/sbin/lpadmin", "-p", "labels", "-E", "-v",
                                     "vellumcap:tcp:" + std::to_string(cups_printer.Port()), "-P",
                                     VELLUM_PPD_DIR "/vellum-zpl-203.ppd"});
  if (added.exit_status != 0)
    Fail("lpadmin failed: " + (added.err.empty() ? std::string() : added.err.back()));
  const Measured through_cups = Measure(
      "CUPS", [&] { return cupsd.Submit("labels", pdf, {"PageSize=w288h432"}) > 0; }, cups_printer,
      burst);

  using vellum_bench::Fixed;
  std::ostringstream text;
  text << "A one-label PDF (a 4 x 6 in shipping label, 203 dpi, ZPL) from submission until "
          "its last byte reaches an AppSocket printer on the loopback interface (median of "
       << kSingles << "), and a burst of " << burst << " such jobs from " << kClients
       << " concurrent clients. The printer application (`vellum-printer-app`: Ghostscript "
          "as gstoraster runs it, then the engine in the server) against a private `cupsd` "
          "with a queue from `vellum-zpl-203.ppd` (pdftopdf, gstoraster, `vellumfilter`, a "
          "backend that sends to the printer). The same label at the top left of a US letter "
          "page with instructions below goes to the application only: it finds the label and "
          "prints it at full size. A printer that answers the status query (ZPL's ~HS) is "
          "asked before each job; one that does not answer (the first row's) is asked once. "
       << vellum_bench::Machine() << "\n\n"
       << "| road | one label (ms) | burst (labels/s) |\n|---|---:|---:|\n"
       << "| printer application | " << Fixed(through_app.single_ms, 1) << " | "
       << Fixed(through_app.labels_per_second, 1) << " |\n"
       << "| printer application, printer asked its status before each job | "
       << Fixed(asked.single_ms, 1) << " | " << Fixed(asked.labels_per_second, 1) << " |\n"
       << "| printer application, the label on a letter page | " << Fixed(letter_page.single_ms, 1)
       << " | " << Fixed(letter_page.labels_per_second, 1) << " |\n"
       << "| CUPS with the PPD | " << Fixed(through_cups.single_ms, 1) << " | "
       << Fixed(through_cups.labels_per_second, 1) << " |\n";
  vellum_bench::WriteResultsSection(argv[1], "Printer application and CUPS", text.str());
  std::cout << text.str();
  MeasureStorm(argv[1]);
  return 0;
}
