#include "load.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <random>
#include <set>
#include <thread>

namespace vellum_test {
namespace {

// The options a user of the shipped PPDs may pick, with their choices.
struct Choices {
  const char *keyword;
  std::vector<std::string> names;
};

std::vector<Choices> OptionChoices(Variant variant) {
  std::vector<Choices> all = {
      {"zeMediaTracking", {"PrinterS", "Auto", "Continuous", "Web", "Mark"}},
      {"Offset", {"PrinterS", "-20", "-1", "0", "5", "30"}},
      {"Print_Mode", {"PrinterS", "Thermal", "Thermal_Transfer"}},
      {"zePrintRate", {"PrinterS", "2", "4", "12"}},
      {"zeTearOffPosition", {"-3", "0", "2"}},
      {"yReference", {"PrinterS", "-2", "0", "1", "3"}},
      {"zeReference", {"PrinterS", "-3", "0", "2"}},
      {"Gamma", {"normal", "lighter", "light", "thicken", "thicker"}},
      {"Negative", {"off", "on"}},
      {"Darkness", {"PrinterS", "0", "7", "15"}},
      {"Tag_Commands", {"ZPL", "TSPL"}},
  };
  if (variant == Variant::k03) {
    all[0].names.push_back("Perforated");
    all[2].names.push_back("Auto");
  }
  return all;
}

// A label page: text-like bars, a box, a grey ramp, all placed by the seed.
RasterPage LoadPage(uint32_t width, uint32_t height, uint32_t dpi, std::mt19937 &random) {
  RasterPage page = GreyPage(width, height, 255, dpi, dpi);
  page.header.cupsColorSpace = CUPS_CSPACE_K; // as the shipped PPDs ask: 255 is ink
  std::fill(page.pixels.begin(), page.pixels.end(), 0);
  const auto paint = [&page, width, height](uint32_t x0, uint32_t y0, uint32_t w, uint32_t h,
                                            unsigned char ink) {
    for (uint32_t y = y0; y < std::min(height, y0 + h); ++y)
      for (uint32_t x = x0; x < std::min(width, x0 + w); ++x)
        page.pixels[size_t{y} * width + x] = ink;
  };
  std::uniform_int_distribution<uint32_t> any_x(0, width - 1), any_y(0, height - 1);
  for (int line = 0; line < 4; ++line) { // lines of "text"
    const uint32_t y = any_y(random);
    for (uint32_t x = any_x(random) / 2; x < width; x += 3 + random() % 9)
      paint(x, y, 1 + random() % 4, 8 + random() % 12, 255);
  }
  paint(any_x(random), any_y(random), 20 + random() % 80, 20 + random() % 60, 255); // a box
  const uint32_t ramp_y = any_y(random);
  for (uint32_t x = 0; x < width; ++x)
    paint(x, ramp_y, 1, 16, static_cast<unsigned char>(x * 255 / width));
  return page;
}

} // namespace

std::vector<LoadJob> MakeLoadJobs(const std::vector<LoadQueue> &queues, size_t count, unsigned seed,
                                  const std::string &dir, const LabelSizes &sizes) {
  std::mt19937 random(seed);
  const auto pick = [&random](size_t n) { return static_cast<size_t>(random() % n); };
  std::vector<LoadJob> jobs(count);
  for (size_t i = 0; i < count; ++i) {
    LoadJob &job = jobs[i];
    job.queue = i % queues.size();
    const LoadQueue &queue = queues[job.queue];
    const uint32_t dpi = queue.ppd.find("-300") != std::string::npos ? 300 : 203;
    const auto [width_in, height_in] = sizes[pick(sizes.size())];
    job.pages = 1 + static_cast<unsigned>(pick(3));
    std::vector<RasterPage> pages;
    const unsigned copies = 1 + static_cast<unsigned>(pick(3));
    const unsigned darkness = static_cast<unsigned>(pick(18)); // 16 and 17: none sent
    for (unsigned p = 0; p < job.pages; ++p) {
      pages.push_back(LoadPage(width_in * dpi, height_in * dpi, dpi, random));
      pages.back().header.NumCopies = copies;
      pages.back().header.cupsCompression = darkness;
    }
    job.raster = dir + "/load-" + std::to_string(seed) + "-" + std::to_string(i) + ".ras";
    const std::string stream =
        RasterStream(pages, pick(2) == 0 ? CUPS_RASTER_WRITE : CUPS_RASTER_WRITE_COMPRESSED);
    std::ofstream(job.raster, std::ios::binary) << stream;
    for (const Choices &option : OptionChoices(queue.variant))
      if (pick(2) == 0)
        job.options.emplace_back(option.keyword, option.names[pick(option.names.size())]);
    job.options.emplace_back("copies", std::to_string(1 + pick(3)));
  }
  return jobs;
}

void SubmitConcurrently(const PrivateScheduler &cupsd, const std::vector<LoadQueue> &queues,
                        std::vector<LoadJob> &jobs, int clients) {
  std::vector<std::thread> threads;
  for (int client = 0; client < clients; ++client) {
    threads.emplace_back([&, client] {
      http_t *http = cupsd.Connect();
      for (size_t i = static_cast<size_t>(client); i < jobs.size();
           i += static_cast<size_t>(clients)) {
        LoadJob &job = jobs[i];
        cups_option_t *options = nullptr;
        int count = 0;
        for (const auto &[name, value] : job.options)
          count = cupsAddOption(name.c_str(), value.c_str(), count, &options);
        const std::string title = "load " + std::to_string(i);
        const int id = http == nullptr
                           ? 0
                           : cupsPrintFile2(http, queues[job.queue].name.c_str(),
                                            job.raster.c_str(), title.c_str(), count, options);
        cupsFreeOptions(count, options);
        job.id = id > 0 ? id : -1;
      }
      httpClose(http);
    });
  }
  for (std::thread &thread : threads)
    thread.join();
}

bool AwaitJobsDone(const PrivateScheduler &cupsd, const std::vector<LoadJob> &jobs, int seconds) {
  std::set<int> waiting;
  for (const LoadJob &job : jobs)
    if (job.id > 0)
      waiting.insert(job.id);
  http_t *http = cupsd.Connect();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (http != nullptr && !waiting.empty() && std::chrono::steady_clock::now() < deadline) {
    // Each queue prints in order: look at the oldest job still waiting first,
    // and stop at the first that is not done, so as not to load the scheduler.
    for (auto it = waiting.begin(); it != waiting.end();) {
      if (JobState(http, *it) < IPP_JSTATE_CANCELED)
        break;
      it = waiting.erase(it);
    }
    if (!waiting.empty())
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  httpClose(http);
  return waiting.empty();
}

} // namespace vellum_test
