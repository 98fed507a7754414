// Print-server load for the scheduler tests and the benchmark: many small
// raster jobs with varied options, submitted by concurrent clients.
#ifndef VELLUM_TESTS_LOAD_H
#define VELLUM_TESTS_LOAD_H

#include <string>
#include <utility>
#include <vector>

#include "harness.h"
#include "private_scheduler.h"

namespace vellum_test {

struct LoadQueue {
  std::string name;
  std::string ppd; // the shipped PPD the queue is made from
  Variant variant; // the filter that PPD names
};

struct LoadJob {
  size_t queue = 0;   // index into the queues
  std::string raster; // the raster file submitted
  unsigned pages = 0;
  std::vector<std::pair<std::string, std::string>> options; // as lp -o, copies included
  int id = -1;                                              // the scheduler's job id once submitted
};

// Label sizes in inches, width and height.
using LabelSizes = std::vector<std::pair<uint32_t, uint32_t>>;

// `count` jobs spread over the queues, drawn from `seed`: one to three pages
// of one of the sizes at the queue's resolution (text-like bars, boxes, grey
// ramps), copies in the page header and as a job option, darkness levels,
// and any mix of the PPDs' options. Rasters are written under dir.
std::vector<LoadJob> MakeLoadJobs(const std::vector<LoadQueue> &queues, size_t count, unsigned seed,
                                  const std::string &dir,
                                  const LabelSizes &sizes = {{2, 1}, {3, 2}, {4, 2}});

// Submits every job from `clients` threads at once, each on its own
// connection; sets each job's id (-1 when it was refused).
void SubmitConcurrently(const PrivateScheduler &cupsd, const std::vector<LoadQueue> &queues,
                        std::vector<LoadJob> &jobs, int clients);

// Waits until none of the jobs is active; false when `seconds` pass first.
bool AwaitJobsDone(const PrivateScheduler &cupsd, const std::vector<LoadJob> &jobs, int seconds);

} // namespace vellum_test

#endif
