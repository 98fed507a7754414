// The printer application against ipptool's own IPP Everywhere, IPP/2.0 and
// IPP/1.1 conformance tests, with every document they name made here (the
// 300 dpi printer also gets the PWG raster samples at 300 dpi): every test
// passes or is skipped for what the printer does not support, but for three
// checks that no honest label printer application on PAPPL 1.3 passes.
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "harness.h"
#include "printer_app.h"

namespace vellum_test {
namespace {

namespace fs = std::filesystem;

// Writes a one-page PWG raster file of the named media in the given type
// (black_1, sgray_8, srgb_8, cmyk_8, srgb_16) and resolution: bars of ink,
// every row alike, which the raster's compression keeps small.
void WritePwgSample(const std::string &path, const char *media, const char *type, int dpi) {
  cups_page_header2_t header;
  cupsRasterInitPWGHeader(&header, pwgMediaForPWG(media), type, dpi, dpi, "one-sided", nullptr);
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  cups_raster_t *ras = cupsRasterOpen(fd, CUPS_RASTER_WRITE_PWG);
  cupsRasterWriteHeader2(ras, &header);
  std::vector<unsigned char> line(header.cupsBytesPerLine);
  for (size_t x = 0; x < line.size(); ++x)
    line[x] = (x / 64) % 2 == 0 ? 0x00 : 0xFF;
  for (unsigned y = 0; y < header.cupsHeight; ++y)
    cupsRasterWritePixels(ras, line.data(), header.cupsBytesPerLine);
  cupsRasterClose(ras);
  close(fd);
}

// The documents the test files name, in `dir`.
void MakeDocuments(const std::string &dir) {
  const auto page = [](int width, int height, const char *text) {
    return "%!PS-Adobe-3.0\n<< /PageSize [" + std::to_string(width) + " " + std::to_string(height) +
           "] >> setpagedevice\n/Helvetica findfont 24 scalefont setfont\n72 700 moveto (" + text +
           ") show\n72 600 moveto 200 0 rlineto 0 -100 rlineto -200 0 rlineto fill\nshowpage\n";
  };
  std::ofstream(dir + "/document-a4.ps") << page(595, 842, "A4 test page");
  std::ofstream(dir + "/document-letter.ps") << page(612, 792, "Letter test page");
  for (const char *name : {"document-a4", "document-letter"})
    ASSERT_EQ(RunProgram({"/usr/bin/gs", "-q", "-dSAFER", "-sDEVICE=pdfwrite", "-o",
                          dir + "/" + name + ".pdf", dir + "/" + name + ".ps"},
                         {})
                  .exit_status,
              0);
  ASSERT_EQ(
      RunProgram({"/usr/bin/convert", "-size", "600x400", "gradient:red-blue", dir + "/color.jpg"},
                 {})
          .exit_status,
      0);
  // Every sample the test files name must exist, also those at resolutions
  // the printers lack (ipptool reads each FILE before it skips a test).
  const std::map<std::string, const char *> documents = {
      {"color.jpg-4x6", "na_index-4x6_4x6in"},   {"gray.jpg-4x6", "na_index-4x6_4x6in"},
      {"document-a4", "iso_a4_210x297mm"},       {"onepage-a4", "iso_a4_210x297mm"},
      {"document-letter", "na_letter_8.5x11in"}, {"onepage-letter", "na_letter_8.5x11in"}};
  for (const int dpi : {150, 180, 300, 360, 600, 720}) {
    const std::string samples = dir + "/pwg-raster-samples-" + std::to_string(dpi) + "dpi/";
    for (const char *type : {"black_1", "sgray_8", "srgb_8", "cmyk_8", "srgb_16"}) {
      std::string folder = type;
      folder[folder.find('_')] = '-';
      fs::create_directories(samples + folder);
      for (const auto &[name, media] : documents) {
        if (folder != "srgb-16" || name == "color.jpg-4x6")
          WritePwgSample(samples + folder + "/" + name + "-" + folder + "-" + std::to_string(dpi) +
                             "dpi.pwg",
                         media, type, dpi);
      }
    }
  }
  // The test files themselves beside them: ipptool looks for a test's
  // documents in its file's folder.
  for (const char *test : {"ipp-everywhere.test", "ipp-2.0.test", "ipp-1.1.test"})
    fs::copy_file(std::string("/usr/share/cups/ipptool/") + test, dir + "/" + test,
                  fs::copy_options::overwrite_existing);
}

struct Outcome {
  std::string status;               // PASS, FAIL or SKIP
  std::vector<std::string> reasons; // why a test failed, one line each
};

// Whether a line under a failed test says why it failed, rather than what
// was received: the response's size and status, what ipptool got for an
// expectation, and the attributes it shows.
bool IsReason(const std::string &line) {
  for (const char *detail : {"RECEIVED: ", "status-code = ", "GOT: "})
    if (line.rfind(detail, 0) == 0)
      return false;
  // An attribute shown: "name (syntax) = value".
  const size_t open = line.find(" (");
  const bool named = open != std::string::npos && open > 0 &&
                     line.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-") == open;
  return !(named && line.find(") = ", open) != std::string::npos);
}

// The tests of an ipptool report by name, with their outcome.
std::map<std::string, Outcome> Report(const std::string &text) {
  std::map<std::string, Outcome> tests;
  Outcome *last = nullptr;
  for (const std::string &line : SplitLines(text)) {
    const size_t open = line.rfind(" [");
    const std::string status = open != std::string::npos && line.back() == ']'
                                   ? line.substr(open + 2, line.size() - open - 3)
                                   : "";
    // A test's line ends with its outcome; a test repeated while the
    // printer was busy also shows its number of tries ([0001]).
    if ((status == "PASS" || status == "FAIL" || status == "SKIP") &&
        line.compare(0, 4, "    ") == 0 && line[4] != ' ') {
      std::string name = line.substr(4, open - 4);
      while (!name.empty() && name.back() == ' ')
        name.pop_back();
      std::string key = name;
      for (int n = 2; tests.count(key) != 0; ++n)
        key = name + " #" + std::to_string(n);
      last = &tests[key];
      last->status = status;
    } else if (last != nullptr && last->status == "FAIL" && line.compare(0, 8, "        ") == 0 &&
               IsReason(line.substr(8))) {
      last->reasons.push_back(line.substr(8));
    }
  }
  return tests;
}

// A failed check that the application cannot pass honestly on PAPPL 1.3:
// page overrides (not implemented by PAPPL), identify actions (the
// printers have no light, sound or display), and PAPPL's two
// uri-security-supported values (TLS and none) for its one
// printer-uri-supported. Any other reason (a duplicate or malformed
// attribute, a wrong status) is a fault.
bool NamedException(const std::string &reason) {
  for (const char *attribute :
       {"overrides-supported", "identify-actions-default", "identify-actions-supported",
        "uri-security-supported", "printer-uri-supported"})
    if (reason.rfind(std::string("EXPECTED: ") + attribute, 0) == 0)
      return true;
  return false;
}

TEST(AppIpptool, IppEverywhereIpp20AndIpp11TestsPassButForTheNamedExceptions) {
  if (access("/usr/bin/ipptool", X_OK) != 0 || access("/usr/bin/gs", X_OK) != 0)
    GTEST_SKIP() << "needs ipptool (cups-ipp-utils) and Ghostscript";
  const std::string docs = ScratchDir() + "/ipptool";
  fs::create_directories(docs);
  MakeDocuments(docs);
  PrinterApp app;
  ASSERT_EQ(app.Start(), "");
  SocketPrinter zpl_printer, tspl_printer;
  ASSERT_EQ(app.AddPrinter("zpl203", "vellum-zpl-203", zpl_printer.Uri()), "");
  ASSERT_EQ(app.AddPrinter("tspl300", "vellum-tspl-300", tspl_printer.Uri()), "");
  Sleep(1200); // printer-up-time counts whole seconds and must be above 0

  for (const char *printer : {"zpl203", "tspl300"}) {
    SCOPED_TRACE(printer);
    // The test files name their documents relative to the working folder.
    const Result run =
        RunProgram({"/bin/sh", "-c",
                    "cd \"$0\" && exec /usr/bin/ipptool -I -R -T 60 -t -f document-a4.pdf \"$1\" "
                    "ipp-everywhere.test",
                    docs, app.PrinterUri(printer)},
                   {"HOME=" + docs, "LC_ALL=C"});
    WriteScratchFile(std::string("ipptool-") + printer + ".txt", run.out);
    // ipp-everywhere.test includes ipp-2.0.test, which includes ipp-1.1.test.
    for (const char *file : {"\"ipp-1.1.test\":", "\"ipp-2.0.test\":", "\"ipp-everywhere.test\":"})
      EXPECT_NE(run.out.find(file), std::string::npos) << file << " did not run";
    const std::map<std::string, Outcome> tests = Report(run.out);
    size_t passed = 0;
    for (const auto &[name, outcome] : tests) {
      if (outcome.status == "PASS")
        ++passed;
      if (outcome.status != "FAIL")
        continue;
      EXPECT_FALSE(outcome.reasons.empty()) << name << " failed without a reason";
      for (const std::string &reason : outcome.reasons)
        EXPECT_TRUE(NamedException(reason)) << name << ": " << reason;
    }
    EXPECT_GT(passed, 25u) << run.out;
    // The PWG raster samples at the printer's resolution are printed, not
    // skipped.
    const auto raster = tests.find("Print color.jpg-4x6 @ 300dpi, sgray-8");
    if (std::string(printer) == "tspl300") {
      ASSERT_NE(raster, tests.end()) << run.out;
      EXPECT_EQ(raster->second.status, "PASS");
    }
  }
}

} // namespace
} // namespace vellum_test
