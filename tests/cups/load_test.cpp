// A print server under load: hundreds of label jobs from concurrent clients
// on queues made from the shipped PPDs, some of them cancelled while they
// print. Whatever the scheduler does with them, every printer gets exactly
// the bytes the filter writes for the job, in whole labels.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "harness.h"
#include "load.h"
#include "private_scheduler.h"
#include "scheduler_suite.h"

namespace vellum_test {
namespace {

class PrintServer : public SchedulerSuite {
protected:
  static void SetUpTestSuite() { StartScheduler("info"); }

  // Queues made from the shipped PPDs, each capturing its jobs one file each.
  static std::vector<LoadQueue> AddQueues(const std::string &prefix, const std::string &mode) {
    const std::vector<LoadQueue> queues = {
        {prefix + "zpl", std::string(VELLUM_PPD_DIR) + "/vellum-zpl-203.ppd", Variant::kBase},
        {prefix + "tspl", std::string(VELLUM_PPD_DIR) + "/vellum-tspl-203.ppd", Variant::kBase},
        {prefix + "zpl03", std::string(VELLUM_PPD_DIR) + "/vellum-zpl-203-03.ppd", Variant::k03},
    };
    for (const LoadQueue &queue : queues) {
      std::filesystem::create_directories(Captures(queue));
      EXPECT_EQ(cupsd_->AddQueue(queue.name, queue.ppd, Captures(queue), mode), "");
    }
    return queues;
  }
  static std::string Captures(const LoadQueue &queue) {
    return cupsd_->Dir() + "/out/" + queue.name + "/";
  }

  // What the printer of the job got, and what the filter itself writes for
  // the same raster, the queue's PPD and the options the scheduler passed.
  static std::pair<std::string, std::string> CapturedAndExpected(const LoadQueue &queue,
                                                                 const LoadJob &job) {
    const std::string captured = Captures(queue) + std::to_string(job.id);
    const std::string options = ReadFile(captured + ".options");
    std::vector<std::string> env = FilterEnv(); // no scheduler to ask
    env.push_back("PPD=" + cupsd_->Dir() + "/conf/ppd/" + queue.name + ".ppd");
    std::vector<std::string> argv = FilterArgs(queue.variant, options);
    argv[1] = std::to_string(job.id);
    argv.push_back(job.raster);
    return {ReadFile(captured + ".prn"), RunProgram(argv, env).out};
  }
};

// The labels of a job, which must decode whole.
std::vector<Label> WholeLabels(const std::string &bytes) {
  const DecodedJob decoded = DecodeJob(bytes);
  std::string error = decoded.error;
  std::vector<Label> labels = Labels(decoded, &error);
  EXPECT_EQ(error, "");
  for (const Label &label : labels)
    EXPECT_TRUE(label.complete);
  return labels;
}

TEST_F(PrintServer, EveryJobFromConcurrentClientsPrintsExactlyWhatTheFilterWrites) {
  const std::vector<LoadQueue> queues = AddQueues("load", "");
  std::vector<LoadJob> jobs = MakeLoadJobs(queues, 210, 10, ScratchDir());
  SubmitConcurrently(*cupsd_, queues, jobs, 4);
  ASSERT_TRUE(AwaitJobsDone(*cupsd_, jobs, 300));
  http_t *http = cupsd_->Connect();
  size_t labels = 0;
  for (const LoadJob &job : jobs) {
    SCOPED_TRACE("job " + std::to_string(job.id) + " on " + queues[job.queue].name);
    ASSERT_GT(job.id, 0);
    EXPECT_EQ(JobState(http, job.id), IPP_JSTATE_COMPLETED);
    const auto [captured, expected] = CapturedAndExpected(queues[job.queue], job);
    EXPECT_EQ(captured.size(), expected.size());
    EXPECT_TRUE(captured == expected);
    const size_t printed = WholeLabels(captured).size();
    EXPECT_EQ(printed, job.pages);
    labels += printed;
  }
  httpClose(http);
  EXPECT_GE(labels, jobs.size());
}

TEST_F(PrintServer, JobsCancelledAtRandomMomentsLeaveWholeLabelsOnly) {
  const std::vector<LoadQueue> queues = AddQueues("slow", "slow");
  // 4 x 6 in labels: each takes the slow printers about 0.6 s to read.
  std::vector<LoadJob> jobs = MakeLoadJobs(queues, 18, 20, ScratchDir(), {{4, 6}});
  SubmitConcurrently(*cupsd_, queues, jobs, 4);
  // Half of the jobs, chosen by the seed, are cancelled each at a random
  // moment of its printing.
  std::mt19937 random(20);
  std::vector<size_t> order(jobs.size());
  for (size_t i = 0; i < order.size(); ++i)
    order[i] = i;
  std::shuffle(order.begin(), order.end(), random);
  order.resize(jobs.size() / 2);
  std::sort(order.begin(), order.end());
  http_t *watch = cupsd_->Connect();
  for (const size_t i : order) {
    while (JobState(watch, jobs[i].id) < IPP_JSTATE_PROCESSING)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % (600 * jobs[i].pages)));
    // A job that has already printed cannot be cancelled; that is no fault.
    cupsd_->Client({"/usr/bin/cancel", std::to_string(jobs[i].id)});
  }
  httpClose(watch);
  ASSERT_TRUE(AwaitJobsDone(*cupsd_, jobs, 300));
  http_t *http = cupsd_->Connect();
  size_t cut_short = 0;
  for (size_t i = 0; i < jobs.size(); ++i) {
    const LoadJob &job = jobs[i];
    SCOPED_TRACE("job " + std::to_string(job.id) + " on " + queues[job.queue].name);
    const bool cancelled = std::find(order.begin(), order.end(), i) != order.end();
    const int state = JobState(http, job.id);
    const auto [captured, expected] = CapturedAndExpected(queues[job.queue], job);
    const size_t printed = WholeLabels(captured).size();
    if (cancelled && state == IPP_JSTATE_CANCELED) {
      // Whole labels, each exactly as the filter writes it.
      EXPECT_LE(printed, job.pages);
      EXPECT_EQ(captured, expected.substr(0, captured.size()));
      cut_short += printed < job.pages ? 1 : 0;
    } else {
      EXPECT_EQ(state, IPP_JSTATE_COMPLETED);
      EXPECT_TRUE(captured == expected);
    }
  }
  httpClose(http);
  // The moments are random, but some of the jobs must have been stopped.
  EXPECT_GT(cut_short, 0u);
}

} // namespace
} // namespace vellum_test
