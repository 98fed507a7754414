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
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "ghostscript.h"
#include "layout.h"
#include "print.h"

namespace vellum_app {

namespace {

// How Ghostscript renders the PDF: every page fitted on the label, or
// each page at its own size at `scale` times the printer's resolution.
enum class Render { kFitted, kOwnSize };

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
  args.insert(args.end(), {"-dcupsBitsPerColor=8", "-dcupsColorOrder=0", "-dcupsColorSpace=3", "-c",
                           "<</.HWMargins[0 0 0 0] /Margins[0 0]>>setpagedevice",
                           "0 0 .setfilladjust2", "-f", "-"});
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

// Whether every page box written plainly in the file fits the label: true
// only when the file has one at least and keeps no objects in compressed
// streams, where a page's box could hide. It spares most labels asking
// Ghostscript.
bool PlainBoxesFit(const std::string &pdf, Extent label) {
  if (pdf.find("/ObjStm") != std::string::npos)
    return false;
  bool any = false;
  for (size_t at = pdf.find("/MediaBox"); at != std::string::npos;
       at = pdf.find("/MediaBox", at + 1)) {
    const char *p = pdf.c_str() + at + 9;
    while (*p == ' ' || *p == '\r' || *p == '\n')
      ++p;
    if (*p++ != '[')
      return false;
    double box[4];
    for (double &value : box) {
      char *end = nullptr;
      value = std::strtod(p, &end);
      if (end == p)
        return false;
      p = end;
    }
    const Extent size{static_cast<uint32_t>(std::fabs(box[2] - box[0])),
                      static_cast<uint32_t>(std::fabs(box[3] - box[1]))};
    if (!FitsLabel(size, label))
      return false;
    any = true;
  }
  return any;
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

// The pages' sizes in points, as they print (turned by their /Rotate), as
// Ghostscript reads them; nothing when it cannot.
std::optional<std::vector<Extent>> PageSizes(const std::string &path) {
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
  SendText(program, gs.in);
  const std::string sizes = ReadAll(gs.out);
  if (!EndedWell(gs.pid))
    return std::nullopt;
  std::vector<Extent> pages;
  const char *p = sizes.c_str();
  for (;;) {
    char *end = nullptr;
    const double width = std::strtod(p, &end);
    if (end == p)
      break;
    p = end;
    const double height = std::strtod(p, &end);
    if (end == p)
      return std::nullopt;
    p = end;
    pages.push_back({static_cast<uint32_t>(width), static_cast<uint32_t>(height)});
  }
  if (pages.empty())
    return std::nullopt;
  return pages;
}

// The largest page laid out at its own size (17 x 22 in, either way
// round); a document with a larger one is fitted, as a poster is no
// carrier's page and its rendering would take a lot of memory.
constexpr Extent kLargestLaidOut{1224, 1584};

// The first page larger than the label (in points), so that print-scaling
// lays the document out; nothing when every page fits the label, when the
// sizes cannot be read, or when a page is larger than any carrier's.
std::optional<Extent> FirstLargerPage(const char *path, Extent label) {
  std::string pdf;
  if (ReadDocument(path, &pdf) && PlainBoxesFit(pdf, label))
    return std::nullopt;
  const auto sizes = PageSizes(path);
  if (!sizes)
    return std::nullopt;
  std::optional<Extent> larger;
  for (const Extent &size : *sizes) {
    if (!FitsLabel(size, kLargestLaidOut))
      return std::nullopt;
    if (!larger && !FitsLabel(size, label))
      larger = size;
  }
  return larger;
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

// Renders the job's PDF with Ghostscript (one started ahead when `ahead`)
// and hands it each page until the handler stops or the job is cancelled.
Rendering RenderPdf(pappl_job_t *job, const std::vector<std::string> &args, bool ahead,
                    const PageHandler &handle) {
  Rendering rendering;
  Ghostscript gs;
  rendering.started = ahead ? TakeGhostscript(args, &gs) : StartGhostscript(args, &gs);
  if (!rendering.started) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to start Ghostscript: %s", std::strerror(errno));
    return rendering;
  }
  const bool sent = SendFile(papplJobGetFilename(job), gs.in);
  cups_raster_t *ras = cupsRasterOpen(gs.out, CUPS_RASTER_READ);
  const RowReader read_row = [ras](unsigned char *row, uint32_t bytes) {
    return cupsRasterReadPixels(ras, row, bytes) != 0;
  };
  cups_page_header2_t header;
  bool going = true;
  while (going && !papplJobIsCanceled(job) && cupsRasterReadHeader2(ras, &header)) {
    ++rendering.pages;
    going = handle(header, read_row);
  }
  cupsRasterClose(ras);
  close(gs.out);
  rendering.converted = EndedWell(gs.pid) && sent;
  return rendering;
}

// A PDF job on its way: the engine's job and the job's settings.
struct PdfJob {
  pappl_job_t *job;
  const pappl_pr_options_t &options;
  LabelJob &label;
  bool printed = true;
};

// Prints a page through the engine with the job's darkness and copies.
bool PrintPdfPage(PdfJob &pdf, cups_page_header2_t &header, const RowReader &read_row) {
  header.cupsCompression = DarknessLevel(pdf.options);
  header.NumCopies = JobCopies(pdf.job);
  pdf.printed = PrintPage(pdf.label, &header, read_row) == PageOutcome::kPrinted;
  if (pdf.printed)
    papplJobSetImpressionsCompleted(pdf.job, 1);
  return pdf.printed;
}

// Prints page `page` (from 1) fitted on the label, as a page that fits it
// prints. False when it could not be rendered or printed.
bool PrintFittedPage(PdfJob &pdf, int page) {
  const Rendering rendering =
      RenderPdf(pdf.job, GhostscriptArgs(pdf.options, Render::kFitted, 1, page), false,
                [&pdf](cups_page_header2_t &header, const RowReader &read_row) {
                  return PrintPdfPage(pdf, header, read_row);
                });
  return rendering.converted && rendering.pages == 1 && pdf.printed;
}

// The scale of the printer's resolution at which a page of `points` just
// covers the label, turned to it as Ghostscript turns a page to fit.
double FillScale(Extent points, Extent label) {
  if (TurnedOnLabel(points, label))
    std::swap(points.width, points.height);
  return std::max(static_cast<double>(label.width) / points.width,
                  static_cast<double>(label.height) / points.height);
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
  *rendering = RenderPdf(pdf.job, GhostscriptArgs(pdf.options, Render::kOwnSize, scale), scale == 1,
                         lay_out);
  return pdf.printed;
}

} // namespace

bool PrintPdf(pappl_job_t *job, pappl_device_t *device, void * /*data*/) {
  if (!HasDocument(job))
    return false;
  const char *path = papplJobGetFilename(job);
  if (!EndsWhole(path)) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The PDF document is cut short (it has no %%%%EOF).");
    papplJobSetMessage(job, "The PDF document is cut short.");
    return false;
  }
  pappl_pr_options_t *options = papplJobCreatePrintOptions(job, 1, false);
  LabelJob label;
  PdfJob pdf{job, *options, label};
  pdf.printed = OpenLabelJob(label, job, *options, device);
  if (pdf.printed)
    Setup(label);

  // Pages larger than the label are laid out by print-scaling; "fit" and
  // "auto-fit" fit them as every other page.
  const pappl_scaling_t scaling = options->print_scaling;
  const Extent label_points = LabelPoints(*options);
  const std::optional<Extent> larger =
      pdf.printed && (scaling == PAPPL_SCALING_AUTO || scaling == PAPPL_SCALING_NONE ||
                      scaling == PAPPL_SCALING_FILL)
          ? FirstLargerPage(path, label_points)
          : std::nullopt;
  Rendering rendering;
  if (larger) {
    PrintLaidOut(pdf, scaling == PAPPL_SCALING_FILL ? FillScale(*larger, label_points) : 1,
                 &rendering);
  } else if (pdf.printed) {
    rendering = RenderPdf(job, GhostscriptArgs(*options, Render::kFitted), true,
                          [&pdf](cups_page_header2_t &header, const RowReader &read_row) {
                            return PrintPdfPage(pdf, header, read_row);
                          });
  }
  if (label.out != nullptr)
    pdf.printed = CloseLabelJob(label, job, device) && pdf.printed;
  papplJobDeletePrintOptions(options);

  if (!rendering.started)
    return false;
  if (!rendering.converted && !papplJobIsCanceled(job)) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The PDF document could not be read.");
    papplJobSetMessage(job, "The PDF document could not be read.");
    return false;
  }
  if (rendering.pages == 0 && !papplJobIsCanceled(job)) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The PDF document has no pages.");
    return false;
  }
  if (!pdf.printed)
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Unable to send the labels to the printer.");
  return pdf.printed;
}

} // namespace vellum_app
