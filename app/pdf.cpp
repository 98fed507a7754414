// PDF documents (most carriers' shipping labels) through Ghostscript, run as
// CUPS runs it for the PPDs: the cups device at the printer's resolution,
// 8-bit black ink, no margins and centre-of-pixel filling, so that a bar of
// n dots prints n dots wide. Its raster pages go to the label engine as the
// filter's do.
//
// A page that fits the label is fitted on it by Ghostscript. A larger page
// (a carrier's letter or A4 page with the label on it) is laid out by
// print-scaling: "auto" prints every label found on it at full size, each on
// a label of its own, else fits the page as before; "fit" and "auto-fit" fit
// it; "none" prints it at full size from its top left; "fill" fills the
// label with it.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "budget.h"
#include "ghostscript.h"
#include "layout.h"
#include "pdf_pages.h"
#include "print.h"

namespace vellum_app {

namespace {

// How Ghostscript renders the PDF: every page fitted on the label, or
// each page at its own size at `scale` times the printer's resolution.
enum class Render { kFitted, kOwnSize };

// PostScript run before a fitted PDF. It wraps Ghostscript's page fitting,
// the procedure NewPDF_FitPage, which Ghostscript looks up by name on the
// dictionary stack, so that a definition in userdict comes first; every
// Ghostscript then fits a page as 10.0 does where 10.0 is right:
// - a page that asks for no turn of its own (no /Rotate, or a multiple of
//   360) and lies the other way round than the label is turned onto it
//   anticlockwise. From 10.05 Ghostscript turns it clockwise unless the
//   page's /Rotate is 270 (10.0 does not read /Rotate there), so the
//   procedure is handed a copy of the page's dictionary with /Rotate 270;
// - a page whose box does not start at 0 0 is fitted as the same box at
//   0 0, then moved by the box's offset. Ghostscript 10.0 moves it by the
//   offset with x and y swapped and unscaled, which printed the label
//   shifted and cut.
// The page's own dictionary and box are put back for what follows (the
// clip to the box). The procedure is called as it is where what it is
// handed is not the page's dictionary and a box, and a Ghostscript without
// it fits pages its own way.
constexpr const char *kPageFitting =
    "systemdict /NewPDF_FitPage known {"
    "/VellumFitPage systemdict /NewPDF_FitPage get def "
    // <page dict> -> whether the page asks for no turn
    "/VellumNoTurn {dup /Rotate known {/Rotate get dup type /integertype eq {360 mod 0 eq} "
    "{dup type /realtype eq {360 div dup floor eq} {pop false} ifelse} ifelse} {pop true} ifelse} "
    "def "
    // <box> -> whether it starts elsewhere than at 0 0
    "/VellumOffset {dup 0 get 0 ne exch 1 get 0 ne or} def "
    // <page dict> <page dict> /BoxName <box>, as Ghostscript calls it
    "/NewPDF_FitPage {count 4 ge {3 index type /dicttype eq 1 index type /arraytype eq and "
    "{dup length 4 eq} {false} ifelse} {false} ifelse {"
    // the dictionary and the box kept below, for afterwards
    "3 index 1 index 6 2 roll "
    "3 index VellumNoTurn {3 index dup length 1 add dict copy dup /Rotate 270 put 5 -1 roll pop "
    "4 1 roll} if "
    "dup VellumOffset {aload pop 2 index sub exch 3 index sub exch 0 0 4 2 roll 4 array astore "
    "3 1 roll pop pop} if "
    "VellumFitPage "
    "pop 3 -1 roll pop 4 -2 roll "
    "dup VellumOffset {dup 0 get neg 1 index 1 get neg translate} if "
    "exch 4 1 roll} {VellumFitPage} ifelse} def} if";

// Ghostscript's command line for a PDF on its standard input; `page`
// limits it to one page (from 1), 0 renders them all.
std::vector<std::string> GhostscriptArgs(const pappl_pr_options_t &options, Render render,
                                         double scale = 1, int page = 0) {
  const auto dpi = [scale](int value) { return std::to_string(std::lround(value * scale)); };
  std::vector<std::string> args = {"gs",
                                   "-dQUIET",
                                   "-dSAFER",
                                   "-dNOPAUSE",
                                   "-dBATCH",
                                   "-dNOINTERPOLATE",
                                   "-dNOMEDIAATTRS",
                                   "-dShowAcroForm",
                                   "-sstdout=%stderr",
                                   "-sOutputFile=%stdout",
                                   "-sDEVICE=cups",
                                   "-r" + dpi(options.printer_resolution[0]) + "x" +
                                       dpi(options.printer_resolution[1])};
  if (render == Render::kFitted) {
    const Extent points = LabelPoints(options);
    args.insert(args.end(), {"-dDEVICEWIDTHPOINTS=" + std::to_string(points.width),
                             "-dDEVICEHEIGHTPOINTS=" + std::to_string(points.height),
                             "-dFIXEDMEDIA", "-dPDFFitPage"});
  }
  if (page > 0)
    args.insert(args.end(),
                {"-dFirstPage=" + std::to_string(page), "-dLastPage=" + std::to_string(page)});
  args.insert(args.end(),
              {"-dcupsBitsPerColor=8", "-dcupsColorOrder=0", "-dcupsColorSpace=3", "-c",
               "<</.HWMargins[0 0 0 0] /Margins[0 0]>>setpagedevice", "0 0 .setfilladjust2"});
  if (render == Render::kFitted)
    args.push_back(kPageFitting);
  args.insert(args.end(), {"-f", "-"});
  return args;
}

// Whether the PDF file ends as a whole one does, with %%EOF in its last
// kilobyte. Ghostscript repairs a cut file and prints what it finds, which
// for a label cut short may be a label without its barcode.
bool EndsWhole(const char *path) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return false;
  char tail[1024];
  const off_t size = lseek(fd, 0, SEEK_END);
  const off_t from =
      size > static_cast<off_t>(sizeof tail) ? size - static_cast<off_t>(sizeof tail) : 0;
  const ssize_t got = pread(fd, tail, sizeof tail, from);
  close(fd);
  return got > 0 && std::string(tail, static_cast<size_t>(got)).find("%%EOF") != std::string::npos;
}

// A PostScript string of the text.
std::string PsString(const std::string &text) {
  std::string quoted = "(";
  for (const char c : text) {
    if (c == '(' || c == ')' || c == '\\')
      quoted += '\\';
    quoted += c;
  }
  return quoted + ")";
}

// A PDF job on its way: the engine's job, the job's settings and limits,
// and why its document stopped early, if it did.
struct PdfJob {
  pappl_job_t *job;
  const char *path; // the document's, for the whole job
  const pappl_pr_options_t &options;
  LabelJob &label;
  JobLimits limits;
  TimeAllowance time;
  bool printed = true;
  bool printer_failed = false; // the printer did not take a label
  std::string refused;
};

// The pages' sizes in points, as they print (turned by their /Rotate), as
// Ghostscript reads them; nothing when it cannot.
std::optional<std::vector<Extent>> PageSizes(const std::string &path, TimeAllowance &time) {
  const std::string folder = path.substr(0, path.rfind('/') + 1);
  Ghostscript gs;
  if (folder.empty() ||
      !TakeGhostscript({"gs", "-q", "-dNODISPLAY", "-dSAFER", "--permit-file-read=" + folder, "-"},
                       &gs))
    return std::nullopt;
  const std::string program =
      PsString(path) +
      " (r) file runpdfbegin 1 1 pdfpagecount {pdfgetpage dup /MediaBox pget not {[0 0 612 792]} "
      "if aload pop 3 -1 roll sub abs 3 1 roll exch sub abs exch 3 -1 roll /Rotate pget {90 idiv "
      "2 mod 0 ne {exch} if} if exch =only ( ) print =only (\\n) print} for quit\n";
  SendText(program, gs, time);
  // A line a page: far more than the pages a job prints is not read.
  const std::optional<std::string> sizes = ReadAll(gs, time, size_t{1} << 20);
  if (!EndGhostscript(gs, sizes.has_value()))
    return std::nullopt;
  return ParsePageSizes(*sizes);
}

// How the document's pages go on the label: fitted by Ghostscript, or
// rendered at `scale` times the printer's resolution and laid out by
// print-scaling.
struct Plan {
  bool laid_out = false;
  double scale = 1;
};

// The plan for a document with a page larger than the label (in points),
// so that print-scaling lays it out: at the printer's resolution, or for
// "fill" at the scale at which that page just covers the label. It is
// fitted when every page fits the label, when the sizes cannot be read,
// or when a page is larger than any carrier's (17 x 22 in: a poster is no
// carrier's page, and its rendering would take a lot of memory). A page
// that at the scale "fill" asks for would pass the budget is refused.
Plan PlanPages(PdfJob &pdf, const char *path) {
  const Extent label = LabelPoints(pdf.options);
  const pappl_scaling_t scaling = pdf.options.print_scaling;
  if (scaling != PAPPL_SCALING_AUTO && scaling != PAPPL_SCALING_NONE &&
      scaling != PAPPL_SCALING_FILL)
    return {};
  std::string text;
  if (ReadDocument(path, &text) && PlainBoxesFit(text, label))
    return {};
  text = std::string();
  const auto sizes = PageSizes(path, pdf.time);
  if (!sizes)
    return {};
  const auto larger = std::find_if(sizes->begin(), sizes->end(),
                                   [label](Extent size) { return !FitsLabel(size, label); });
  if (larger == sizes->end() || std::any_of(sizes->begin(), sizes->end(), [](Extent size) {
        return !FitsLabel(size, kLargestPagePoints);
      }))
    return {};
  const std::optional<double> scale =
      scaling == PAPPL_SCALING_FILL ? FillScale(*larger, label) : 1.0;
  if (!scale)
    return {};
  const auto dpi = static_cast<unsigned>(pdf.options.printer_resolution[0]);
  for (const Extent &size : *sizes) {
    const Extent dots = RenderedDots(size, *scale, dpi);
    if (!WithinBudget(dots, dpi)) {
      if (*scale == 1)
        return {};
      pdf.refused = OverBudget("page filled onto the label", "dots", dots, dpi);
      return {};
    }
  }
  return {true, *scale};
}

// What a rendering gave: whether Ghostscript started and ended well, and
// the pages it rendered.
struct Rendering {
  bool started = false, converted = false;
  int pages = 0;
};

// One rendered page: its header and a reader of its rows. The handler
// returns false to stop.
using PageHandler = std::function<bool(cups_page_header2_t &, const RowReader &)>;

// Ghostscript's raster, read within the document's allowance.
struct RasterSource {
  Ghostscript &gs;
  TimeAllowance &time;
};

ssize_t ReadRaster(void *source, unsigned char *data, size_t size) {
  auto *from = static_cast<RasterSource *>(source);
  return ReadOutput(from->gs, from->time, data, size);
}

// Renders the job's PDF with Ghostscript (one started ahead when `ahead`)
// and hands it each page until the handler stops, the job is cancelled or
// the document meets a limit: a page beyond the budget or the job's
// pages, or the time it may take.
Rendering RenderPdf(PdfJob &pdf, const std::vector<std::string> &args, bool ahead,
                    const PageHandler &handle) {
  Rendering rendering;
  Ghostscript gs;
  rendering.started = ahead ? TakeGhostscript(args, &gs) : StartGhostscript(args, &gs);
  if (!rendering.started) {
    papplLogJob(pdf.job, PAPPL_LOGLEVEL_ERROR, "Unable to start Ghostscript: %s",
                std::strerror(errno));
    return rendering;
  }
  const bool sent = SendFile(pdf.path, gs, pdf.time);
  RasterSource source{gs, pdf.time};
  cups_raster_t *ras = cupsRasterOpenIO(ReadRaster, &source, CUPS_RASTER_READ);
  const RowReader read_row = [ras](unsigned char *row, uint32_t bytes) {
    return cupsRasterReadPixels(ras, row, bytes) != 0;
  };
  const auto dpi = static_cast<unsigned>(pdf.options.printer_resolution[0]);
  cups_page_header2_t header;
  bool whole = false; // read to its end
  while (!papplJobIsCanceled(pdf.job)) {
    if (!cupsRasterReadHeader2(ras, &header)) {
      whole = !pdf.time.used_up;
      break;
    }
    if (static_cast<uint32_t>(rendering.pages) >= pdf.limits.pages) {
      pdf.refused = TooManyPages(pdf.limits.pages);
      break;
    }
    const uint32_t width = std::max(header.cupsWidth, header.cupsBytesPerLine);
    if (!WithinBudget({width, header.cupsHeight}, dpi)) {
      pdf.refused = OverBudget("page", "dots", {header.cupsWidth, header.cupsHeight}, dpi);
      break;
    }
    ++rendering.pages;
    if (!handle(header, read_row))
      break;
  }
  cupsRasterClose(ras);
  rendering.converted = EndGhostscript(gs, whole) && sent;
  return rendering;
}

// Prints a page through the engine with the job's darkness and copies.
bool PrintPdfPage(PdfJob &pdf, cups_page_header2_t &header, const RowReader &read_row) {
  header.cupsCompression = DarknessLevel(pdf.options);
  header.NumCopies = JobCopies(pdf.job);
  const PageOutcome outcome = PrintPage(pdf.label, &header, read_row);
  pdf.printed = outcome == PageOutcome::kPrinted;
  pdf.printer_failed = pdf.printer_failed || outcome == PageOutcome::kOutputFailed;
  if (pdf.printed)
    papplJobSetImpressionsCompleted(pdf.job, 1);
  return pdf.printed;
}

// Prints page `page` (from 1) fitted on the label, as a page that fits it
// prints. False when it could not be rendered or printed.
bool PrintFittedPage(PdfJob &pdf, int page) {
  const Rendering rendering =
      RenderPdf(pdf, GhostscriptArgs(pdf.options, Render::kFitted, 1, page), false,
                [&pdf](cups_page_header2_t &header, const RowReader &read_row) {
                  return PrintPdfPage(pdf, header, read_row);
                });
  return rendering.converted && rendering.pages == 1 && pdf.printed;
}

// Prints the PDF's pages laid out by print-scaling: each page rendered at
// its own size; the parts that go on labels printed each at full size on a
// label of its own, or the page fitted on the label as a page that fits it
// prints.
bool PrintLaidOut(PdfJob &pdf, double scale, Rendering *rendering) {
  const Extent label = LabelDots(pdf.options);
  int number = 0; // the page's, from 1
  const PageHandler lay_out = [&](cups_page_header2_t &header, const RowReader &read_row) {
    ++number;
    const Extent size{header.cupsBytesPerLine, header.cupsHeight};
    std::vector<uint8_t> page(size_t{size.width} * size.height);
    for (uint32_t y = 0; y < size.height; ++y)
      if (!read_row(page.data() + size_t{y} * size.width, size.width))
        return pdf.printed = false;
    if (FitsLabel(size, label))
      return PrintFittedPage(pdf, number);
    const PageLayout layout =
        LayOutPage(pdf.options.print_scaling, page, size, label,
                   static_cast<unsigned>(pdf.options.printer_resolution[0] * scale));
    ReportLayout(pdf.job, static_cast<unsigned>(number), pdf.options.print_scaling, layout);
    if (layout.parts.empty())
      return PrintFittedPage(pdf, number);
    header.cupsWidth = header.cupsBytesPerLine = label.width;
    header.cupsHeight = label.height;
    const Extent points = LabelPoints(pdf.options);
    header.PageSize[0] = points.width;
    header.PageSize[1] = points.height;
    // Each label on a label of its own, in reading order.
    for (const Region &region : layout.parts) {
      const std::vector<uint8_t> placed = PlaceRegion(page, size, region, label);
      size_t next = 0;
      const RowReader placed_row = [&placed, &next](unsigned char *row, uint32_t bytes) {
        if ((next + 1) * bytes > placed.size())
          return false;
        std::memcpy(row, placed.data() + next++ * bytes, bytes);
        return true;
      };
      cups_page_header2_t label_header = header;
      if (papplJobIsCanceled(pdf.job) || !PrintPdfPage(pdf, label_header, placed_row))
        return false;
    }
    return true;
  };
  // Ghostscript at the printer's own resolution is started ahead for the
  // next carrier's page; one for a scaled page, only for this one.
  *rendering =
      RenderPdf(pdf, GhostscriptArgs(pdf.options, Render::kOwnSize, scale), scale == 1, lay_out);
  return pdf.printed;
}

// Prints the job's PDF document; false, with the job's message, where it
// cannot.
bool PrintPdfDocument(pappl_job_t *job, pappl_device_t *device) {
  const std::string document = DocumentPath(job);
  if (document.empty())
    return false;
  const char *path = document.c_str();
  if (!EndsWhole(path)) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The PDF document is cut short (it has no %%%%EOF).");
    papplJobSetMessage(job, "The PDF document is cut short.");
    return false;
  }
  pappl_pr_options_t *options = papplJobCreatePrintOptions(job, 1, false);
  LabelJob label;
  const JobLimits limits = JobLimitsNow();
  PdfJob pdf{job,  path,  *options, label, limits, {std::chrono::seconds(limits.pdf_seconds)},
             true, false, {}};
  pdf.printed = OpenLabelJob(label, job, *options, device);
  if (pdf.printed)
    Setup(label);

  // Pages larger than the label are laid out by print-scaling; "fit" and
  // "auto-fit" fit them as every other page.
  const Plan plan = pdf.printed ? PlanPages(pdf, path) : Plan{};
  Rendering rendering;
  const bool stopped = !pdf.refused.empty() || pdf.time.used_up;
  if (plan.laid_out && !stopped) {
    PrintLaidOut(pdf, plan.scale, &rendering);
  } else if (pdf.printed && !stopped) {
    rendering = RenderPdf(pdf, GhostscriptArgs(*options, Render::kFitted), true,
                          [&pdf](cups_page_header2_t &header, const RowReader &read_row) {
                            return PrintPdfPage(pdf, header, read_row);
                          });
  }
  if (label.out != nullptr && !CloseLabelJob(label, job, device)) {
    pdf.printed = false;
    pdf.printer_failed = true;
  }
  papplJobDeletePrintOptions(options);

  if (pdf.time.used_up && pdf.refused.empty())
    pdf.refused = "The PDF document took more than " + std::to_string(limits.pdf_seconds) +
                  " seconds to render; it was stopped.";
  if (!pdf.refused.empty())
    return FailJob(job, pdf.refused);
  if (!rendering.started)
    return false;
  // Ghostscript stops when the labels can no longer go to the printer: the
  // document is not to blame.
  if (pdf.printer_failed)
    return FailJob(job, "Unable to send the labels to the printer.");
  if (!rendering.converted && !papplJobIsCanceled(job))
    return FailJob(job, "The PDF document could not be read.");
  if (rendering.pages == 0 && !papplJobIsCanceled(job)) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The PDF document has no pages.");
    return false;
  }
  if (!pdf.printed)
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to send the labels to the printer.");
  return pdf.printed;
}

} // namespace

bool PrintPdf(pappl_job_t *job, pappl_device_t *device, void * /*data*/) {
  return Contained(job, [&] { return PrintPdfDocument(job, device); });
}

} // namespace vellum_app
