// Labels that scan: documents with barcodes made by the test itself (with
// Debian's zint), printed through a private scheduler with the shipped PPDs
// and their default options (PostScript -> Ghostscript -> the filter),
// drawn with vellumpreview and read back with zxing-cpp and zbar.
#include <cmath>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include <unistd.h>

#include <gtest/gtest.h>

#include "barcodes.h"
#include "harness.h"
#include "load.h"
#include "private_scheduler.h"
#include "scheduler_suite.h"

namespace vellum_test {
namespace {

class PrintQuality : public SchedulerSuite {
protected:
  static void SetUpTestSuite() {
    if (!HaveTools()) {
      why_not_ = "needs zint, zbar-tools, python3-zxing-cpp and python3-pil";
      return;
    }
    if (!StartScheduler("info"))
      return;
    for (const char *ppd : {"vellum-zpl-203", "vellum-tspl-203", "vellum-zpl-300"})
      if (why_not_.empty()) {
        std::filesystem::create_directories(Captures(ppd));
        why_not_ =
            cupsd_->AddQueue(ppd, std::string(VELLUM_PPD_DIR) + "/" + ppd + ".ppd", Captures(ppd));
      }
  }

  static std::string Captures(const std::string &queue) {
    return cupsd_->Dir() + "/out/" + queue + "/";
  }

  struct Job {
    std::string queue;
    int id;
  };

  static Job Submit(const std::string &queue, const std::string &document,
                    const std::vector<std::string> &options) {
    return {queue, cupsd_->Submit(queue, document, options)};
  }

  // Waits for the jobs; returns each one's labels drawn by vellumpreview.
  static std::vector<std::vector<std::string>> Pictures(const std::vector<Job> &jobs) {
    std::vector<LoadJob> waiting;
    for (const Job &job : jobs) {
      waiting.emplace_back();
      waiting.back().id = job.id;
    }
    EXPECT_TRUE(AwaitJobsDone(*cupsd_, waiting, 300));
    std::vector<std::vector<std::string>> pictures;
    for (const Job &job : jobs) {
      const std::string capture = Captures(job.queue) + std::to_string(job.id);
      const Result drawn =
          RunProgram({VELLUMPREVIEW_PATH, "-o", capture, capture + ".prn"}, {"LC_ALL=C"});
      EXPECT_EQ(drawn.exit_status, 0) << job.queue << " job " << job.id;
      std::vector<std::string> labels;
      for (int i = 1; std::filesystem::exists(capture + "-" + std::to_string(i) + ".png"); ++i)
        labels.push_back(capture + "-" + std::to_string(i) + ".png");
      pictures.push_back(labels);
    }
    return pictures;
  }

  static Label OnlyLabel(const Job &job) {
    const DecodedJob decoded =
        DecodeJob(ReadFile(Captures(job.queue) + std::to_string(job.id) + ".prn"));
    std::string error = decoded.error;
    const std::vector<Label> labels = Labels(decoded, &error);
    EXPECT_EQ(error, "");
    EXPECT_EQ(labels.size(), 1u);
    return labels.empty() ? Label{} : labels[0];
  }
};

const char *const kQueues[] = {"vellum-zpl-203", "vellum-tspl-203", "vellum-zpl-300"};

TEST_F(PrintQuality, EverySymbolDecodesToItsPayloadWithTheDefaultOptions) {
  // Four documents: the 4 x 6 in label and the 2 x 1 in labels, each with
  // the symbols as vectors and as images.
  struct Doc {
    std::string name, page_size;
    std::vector<std::vector<Placed>> pages;
    bool image;
  };
  std::vector<Doc> documents;
  for (const bool image : {false, true}) {
    documents.push_back({"4x6", "w288h432", {FourBySix()}, image});
    Doc small{"2x1", "w144h72", {}, image};
    for (const Placed &p : TwoByOne())
      small.pages.push_back({p});
    documents.push_back(small);
  }
  std::vector<Job> jobs;
  std::vector<const Doc *> printed;
  for (const Doc &d : documents) {
    std::vector<std::string> pages;
    for (const std::vector<Placed> &symbols : d.pages) {
      std::string page;
      for (const Placed &p : symbols)
        page += Drawing(p, Draw(p.symbol), d.page_size == "w288h432" ? 432 : 72, d.image);
      pages.push_back(page);
    }
    const std::string file =
        WriteScratchFile("symbols-" + d.name + (d.image ? "-image" : "-vector") + ".ps",
                         Document(d.page_size == "w288h432" ? 288 : 144,
                                  d.page_size == "w288h432" ? 432 : 72, pages));
    for (const char *queue : kQueues) {
      jobs.push_back(Submit(queue, file, {"PageSize=" + d.page_size}));
      printed.push_back(&d);
    }
  }
  const std::vector<std::vector<std::string>> pictures = Pictures(jobs);
  // Each symbol is read from its own box of the label.
  std::vector<std::string> boxes;
  for (size_t j = 0; j < jobs.size(); ++j) {
    ASSERT_EQ(pictures[j].size(), printed[j]->pages.size()) << jobs[j].queue;
    const unsigned dpi = jobs[j].queue.find("300") != std::string::npos ? 300 : 203;
    for (size_t page = 0; page < pictures[j].size(); ++page)
      for (const Placed &p : printed[j]->pages[page])
        boxes.push_back(Boxed(pictures[j][page], p, dpi));
  }
  const auto found = Read(boxes);
  size_t next = 0;
  for (size_t j = 0; j < jobs.size(); ++j) {
    const Doc &d = *printed[j];
    for (size_t page = 0; page < d.pages.size(); ++page)
      for (const Placed &p : d.pages[page]) {
        const std::string &box = boxes[next++];
        SCOPED_TRACE(jobs[j].queue + ", " + d.name + (d.image ? " images" : " vectors") + ", " +
                     p.symbol.name + ": " + box);
        const auto it = found.find(box);
        EXPECT_EQ(it == found.end() ? std::multiset<std::string>{} : it->second, Expected({p}));
      }
  }
}

TEST_F(PrintQuality, ABarcodeBesideAPhotoDecodesUnderEveryHalftone) {
  // ImageMagick's rose, smoothly enlarged, beside a Code 128.
  const Result rose = RunProgram({"/usr/bin/convert", "rose:", "-colorspace", "Gray", "-resize",
                                  "800%", "-depth", "8", "gray:-"},
                                 {"HOME=" + ScratchDir()});
  ASSERT_EQ(rose.out.size(), 560u * 368u);
  std::ostringstream photo;
  photo << "gsave 18 200 translate 252 166 scale /DeviceGray setcolorspace\n"
        << "<< /ImageType 1 /Width 560 /Height 368 /BitsPerComponent 8 /Decode [0 1] "
        << "/ImageMatrix [560 0 0 -368 0 368] /DataSource currentfile /ASCIIHexDecode filter >> "
           "image\n";
  static const char kHex[] = "0123456789ABCDEF";
  for (size_t i = 0; i < rose.out.size(); ++i) {
    const auto v = static_cast<unsigned char>(rose.out[i]);
    photo << kHex[v >> 4] << kHex[v & 15] << (i % 560 == 559 ? "\n" : "");
  }
  photo << ">\ngrestore\n";
  const Placed barcode{kCode128, 3, 18.37, 290, 40};
  const std::string file = WriteScratchFile(
      "photo.ps", Document(288, 432, {photo.str() + Drawing(barcode, Draw(kCode128), 432, false)}));
  std::vector<Job> jobs;
  for (const char *halftone : {"Threshold", "Ordered", "Diffusion"})
    jobs.push_back(
        Submit("vellum-zpl-203", file, {"PageSize=w288h432", std::string("Halftone=") + halftone}));
  const auto pictures = Pictures(jobs);
  std::vector<std::string> boxes;
  for (const auto &labels : pictures) {
    ASSERT_EQ(labels.size(), 1u);
    boxes.push_back(Boxed(labels[0], barcode, 203));
  }
  const auto found = Read(boxes);
  for (const std::string &box : boxes) {
    SCOPED_TRACE(box);
    const auto it = found.find(box);
    EXPECT_EQ(it == found.end() ? std::multiset<std::string>{} : it->second, Expected({barcode}));
  }
}

// The mean growth of the bars of the 4 x 6 in label's Code 128, in dots.
double BarGrowth(const Label &label, unsigned dpi) {
  const Placed code = FourBySix()[0];
  const Shape shape = Draw(code.symbol);
  const double dots_per_point = dpi / 72.0;
  const auto row = static_cast<uint64_t>((code.top + code.bar_height / 2) * dots_per_point);
  const auto from = static_cast<uint64_t>(code.x * dots_per_point) - 4;
  const auto to = static_cast<uint64_t>((code.x + Size(code, shape).first) * dots_per_point) + 4;
  std::vector<uint64_t> runs;
  for (uint64_t x = from; x < to; ++x) {
    if (!IsDot(label, label.rows.at(row), x))
      continue;
    uint64_t width = 0;
    while (x < to && IsDot(label, label.rows[row], x)) {
      ++width;
      ++x;
    }
    runs.push_back(width);
  }
  EXPECT_EQ(runs.size(), shape.bars.size());
  double printed = 0, drawn = 0;
  for (const uint64_t w : runs)
    printed += static_cast<double>(w);
  for (const Shape::Rect &bar : shape.bars)
    drawn += bar.w / 2 * ModulePoints(code) * dots_per_point;
  return (printed - drawn) / static_cast<double>(shape.bars.size());
}

TEST_F(PrintQuality, VectorBarsKeepTheirWidthUnlessCentreOfPixelFillingIsTurnedOff) {
  const std::string file = WriteScratchFile(
      "code128.ps", Document(288, 432, {Drawing(FourBySix()[0], Draw(kCode128), 432, false)}));
  struct Case {
    const char *queue;
    unsigned dpi;
    std::vector<std::string> options;
    double low, high; // the mean growth per bar, in dots
  };
  const Case cases[] = {
      {"vellum-zpl-203", 203, {}, -0.15, 0.15},
      {"vellum-zpl-300", 300, {}, -0.15, 0.15},
      {"vellum-tspl-203", 203, {}, -0.15, 0.15},
      // Every pixel a bar touches: one dot more per bar.
      {"vellum-zpl-203", 203, {"CenterOfPixel=False"}, 0.85, 1.15},
  };
  std::vector<Job> jobs;
  for (const Case &c : cases) {
    std::vector<std::string> options = c.options;
    options.push_back("PageSize=w288h432");
    jobs.push_back(Submit(c.queue, file, options));
  }
  Pictures(jobs);
  for (size_t i = 0; i < jobs.size(); ++i) {
    SCOPED_TRACE(std::string(cases[i].queue) + " " + testing::PrintToString(cases[i].options));
    const double growth = BarGrowth(OnlyLabel(jobs[i]), cases[i].dpi);
    EXPECT_GE(growth, cases[i].low);
    EXPECT_LE(growth, cases[i].high);
  }
}

} // namespace
} // namespace vellum_test
