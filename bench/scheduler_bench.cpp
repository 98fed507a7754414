// Measures the filter on a print server: what its job-state check costs per
// page as the scheduler's queue grows, and how fast a burst of label jobs
// from concurrent clients drains, each with the check as it was (every
// active job listed) and as it is (the own job only). Writes its section of
// the results file. Needs root (the scheduler runs the filters as lp).
//
//   bench_scheduler RESULTS.md [LOAD_JOBS]
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <set>
#include <sstream>
#include <thread>

#include "load.h"
#include "private_scheduler.h"
#include "results.h"

using namespace vellum_test;

namespace {

using vellum_bench::Fixed;

struct Build {
  const char *name;
  const char *filter, *filter_03, *job_check;
};

const Build kBuilds[] = {
    {"before (every active job listed)", VELLUMFILTER_LIST_ALL_PATH, VELLUMFILTER_03_LIST_ALL_PATH,
     JOB_CHECK_LIST_ALL_PATH},
    {"after (own job only)", VELLUMFILTER_PATH, VELLUMFILTER_03_PATH, JOB_CHECK_PATH},
};

void Fail(const std::string &why) {
  std::cerr << "bench_scheduler: " << why << std::endl;
  std::exit(1);
}

std::string SmallRaster() {
  return WriteScratchFile("small.ras", RasterStream({GreyPage(406, 203, 255)}));
}

// Adds held jobs to the queue until it holds `count`.
void QueueHeldJobs(const PrivateScheduler &cupsd, int *held, int count) {
  http_t *http = cupsd.Connect();
  cups_option_t *hold = nullptr;
  const int n = cupsAddOption("job-hold-until", "indefinite", 0, &hold);
  const std::string raster = SmallRaster();
  for (; *held < count; ++*held)
    if (cupsPrintFile2(http, "others", raster.c_str(), "held", n, hold) <= 0)
      Fail("cannot queue a held job: " + std::string(cupsLastErrorString()));
  cupsFreeOptions(n, hold);
  httpClose(http);
}

struct CheckCost {
  std::string report; // what the check said about the own job
  double ms = 0;      // wall time per check
  double cpu_ms = 0;  // the scheduler's CPU time per check
};

// Runs `checks` job-state checks for the job as lp in one process.
CheckCost TimeChecks(const PrivateScheduler &cupsd, const char *job_check, int job, int checks) {
  const double cpu_before = cupsd.CpuSeconds();
  const Result run =
      RunProgram({job_check, std::to_string(job), std::to_string(checks)}, cupsd.Env());
  const double cpu = cupsd.CpuSeconds() - cpu_before;
  const std::vector<std::string> lines = SplitLines(run.out);
  if (run.exit_status != 0 || lines.size() != 2)
    Fail(std::string(job_check) + " failed");
  return {lines[0], std::stod(lines[1]), cpu * 1000 / checks};
}

std::string CheckCostSection(const std::string &backend) {
  PrivateScheduler cupsd;
  const std::string why = cupsd.Start({"warn", "", "", backend, false, {}});
  if (!why.empty())
    Fail(why);
  std::filesystem::create_directories(cupsd.Dir() + "/out/others");
  // The own job stays processing: its printer takes the data and waits.
  if (!cupsd
           .AddQueue("own", std::string(VELLUM_PPD_DIR) + "/vellum-zpl-203.ppd",
                     cupsd.Dir() + "/out/own.prn", "hold")
           .empty() ||
      !cupsd
           .AddQueue("others", std::string(VELLUM_PPD_DIR) + "/vellum-zpl-203.ppd",
                     cupsd.Dir() + "/out/others/")
           .empty())
    Fail("cannot add the queues");
  const int own = cupsd.Submit("own", SmallRaster());
  http_t *http = cupsd.Connect();
  while (JobState(http, own) != IPP_JSTATE_PROCESSING)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  httpClose(http);

  std::ostringstream table;
  table << "| jobs queued | before: ms per check | before: scheduler CPU ms | after: ms per check "
           "| after: scheduler CPU ms | after / before |\n|---:|---:|---:|---:|---:|---:|\n";
  int held = 0;
  std::set<std::string> reports;
  for (const int queued : {0, 100, 1000, 3000}) {
    QueueHeldJobs(cupsd, &held, queued);
    CheckCost cost[2];
    for (int b = 0; b < 2; ++b) {
      // About two seconds of checks, at least five.
      const double first = TimeChecks(cupsd, kBuilds[b].job_check, own, 3).ms;
      const int checks = std::max(5, std::min(500, static_cast<int>(2000 / std::max(first, 0.01))));
      cost[b] = TimeChecks(cupsd, kBuilds[b].job_check, own, checks);
      reports.insert(cost[b].report);
    }
    table << "| " << queued << " | " << Fixed(cost[0].ms, 2) << " | " << Fixed(cost[0].cpu_ms, 2)
          << " | " << Fixed(cost[1].ms, 2) << " | " << Fixed(cost[1].cpu_ms, 2) << " | "
          << Fixed(cost[1].ms / cost[0].ms, 3) << " |\n";
    std::cout << queued << " queued: before " << Fixed(cost[0].ms, 2) << " ms, after "
              << Fixed(cost[1].ms, 2) << " ms per check" << std::endl;
  }
  std::string said;
  for (const std::string &report : reports)
    said += (said.empty() ? "\"" : ", \"") + report + "\"";
  return table.str() + "\nEvery check, before and after, reported " + said + ".\n";
}

struct LoadRun {
  size_t jobs = 0, labels = 0, failed = 0;
  double seconds = 0, cpu = 0;
};

LoadRun RunLoad(const Build &build, const std::string &backend, size_t count) {
  PrivateScheduler cupsd;
  const std::string why = cupsd.Start({"warn", build.filter, build.filter_03, backend, false, {}});
  if (!why.empty())
    Fail(why);
  const std::vector<LoadQueue> queues = {
      {"zpl", std::string(VELLUM_PPD_DIR) + "/vellum-zpl-203.ppd", Variant::kBase},
      {"tspl", std::string(VELLUM_PPD_DIR) + "/vellum-tspl-203.ppd", Variant::kBase},
      {"zpl03", std::string(VELLUM_PPD_DIR) + "/vellum-zpl-203-03.ppd", Variant::k03},
  };
  for (const LoadQueue &queue : queues) {
    const std::string out = cupsd.Dir() + "/out/" + queue.name + "/";
    std::filesystem::create_directories(out);
    if (!cupsd.AddQueue(queue.name, queue.ppd, out).empty())
      Fail("cannot add queue " + queue.name);
  }
  std::vector<LoadJob> jobs = MakeLoadJobs(queues, count, 7, ScratchDir());
  const double cpu_before = cupsd.CpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  SubmitConcurrently(cupsd, queues, jobs, 4);
  if (!AwaitJobsDone(cupsd, jobs, 3600))
    Fail("the load did not drain");
  LoadRun run;
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.cpu = cupsd.CpuSeconds() - cpu_before;
  http_t *http = cupsd.Connect();
  for (const LoadJob &job : jobs) {
    const bool completed = job.id > 0 && JobState(http, job.id) == IPP_JSTATE_COMPLETED;
    run.failed += completed ? 0 : 1;
    run.jobs += completed ? 1 : 0;
    run.labels += completed ? job.pages : 0;
  }
  httpClose(http);
  return run;
}

std::string LoadSection(const std::string &backend, size_t count) {
  std::ostringstream table;
  table << "| check | jobs | labels | seconds | jobs/s | labels/s | scheduler CPU s | not "
           "completed |\n|---|---:|---:|---:|---:|---:|---:|---:|\n";
  for (const Build &build : kBuilds) {
    const LoadRun run = RunLoad(build, backend, count);
    table << "| " << build.name << " | " << run.jobs << " | " << run.labels << " | "
          << Fixed(run.seconds, 1) << " | " << Fixed(run.jobs / run.seconds, 1) << " | "
          << Fixed(run.labels / run.seconds, 1) << " | " << Fixed(run.cpu, 1) << " | " << run.failed
          << " |\n";
    std::cout << build.name << ": " << Fixed(run.jobs / run.seconds, 1) << " jobs/s, scheduler "
              << Fixed(run.cpu, 1) << " s CPU" << std::endl;
  }
  return table.str();
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s RESULTS.md [LOAD_JOBS]\n", argv[0]);
    return 2;
  }
  const std::string results = argv[1];
  const size_t load_jobs = argc > 2 ? static_cast<size_t>(std::max(3, std::atoi(argv[2]))) : 300;
  const std::string backend = CAPTURE_BACKEND_PATH;

  const std::string checks = CheckCostSection(backend);
  const std::string load = LoadSection(backend, load_jobs);
  std::ostringstream md;
  md << "## The job-state check on a print server\n\n"
     << "Made by `./scripts/bench` with `bench_scheduler`. Machine: " << vellum_bench::Machine()
     << ". A private `cupsd` (LogLevel warn, MaxJobs 0) started for the benchmark.\n\n"
     << "### Cost of one check against the queue\n\n"
     << "The check the filter makes before each page, run as user `lp` (as the scheduler runs "
     << "filters) for a job that is processing, while other jobs wait held on another queue. "
     << "Before: the check listed every active job; after: it asks for its own job only. Wall "
     << "time per check as the filter sees it, and the scheduler's CPU time per check.\n\n"
     << checks << "\n### A burst of label jobs\n\n"
     << load_jobs << " raster jobs (1 to 3 labels of 2x1, 3x2 or 4x2 in each, varied options "
     << "and copies) submitted at once by 4 concurrent clients to a ZPL, a TSPL and a 03 queue "
     << "(203 dpi), timed from the first submission until every job has ended.\n\n"
     << load;
  vellum_bench::WriteResultsSection(results, "scheduler", md.str());
  std::cout << "wrote " << results << std::endl;
  return 0;
}
