// The job hold wait against a scripted scheduler: a small IPP responder on a
// socket of the test's own answers every request of the filter from a job
// list the test gives, and logs what it was asked.
#include <atomic>
#include <mutex>
#include <sstream>
#include <thread>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cups/cups.h>
#include <gtest/gtest.h>

#include "harness.h"

namespace vellum_test {
namespace {

struct Job {
  int id;
  ipp_jstate_t state;
};
using JobList = std::vector<Job>;

// How the responder treats the filter's narrow requests.
enum class Server {
  kHonours, // as CUPS does: job-ids (not found when none of them exists), limit,
            // requested-attributes; which-jobs is not applied to the list
  kIgnores, // answers every request with every job and all its attributes
  kRefuses, // refuses any request that names job-ids; others as kHonours
};

const char *ServerName(Server server) {
  switch (server) {
  case Server::kHonours:
    return "honours";
  case Server::kIgnores:
    return "ignores";
  default:
    return "refuses";
  }
}

class Responder {
public:
  // Check k (the k-th request naming job-ids starts it) is answered from
  // script[k], the last list once the script runs out.
  Responder(Server server, std::vector<JobList> script)
      : server_(server), script_(std::move(script)) {
    static int serial = 0;
    path_ = ScratchDir() + "/responder-" + std::to_string(++serial) + ".sock";
    listen_fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path_.copy(address.sun_path, sizeof address.sun_path - 1);
    if (bind(listen_fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(listen_fd_, 8) != 0)
      throw std::runtime_error("cannot listen on " + path_);
    thread_ = std::thread([this] { Serve(); });
  }
  ~Responder() {
    stop_ = true;
    thread_.join();
    close(listen_fd_);
  }
  const std::string &Path() const { return path_; }
  // One line per request: its operation attributes that choose the jobs.
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

private:
  void Serve() {
    while (!stop_) {
      pollfd listening{listen_fd_, POLLIN, 0};
      if (poll(&listening, 1, 50) != 1)
        continue;
      http_t *http = httpAcceptConnection(listen_fd_, 1);
      while (http != nullptr && !stop_ && Answer(http)) {
      }
      httpClose(http);
    }
  }

  // Answers one request; false when the client has gone.
  bool Answer(http_t *http) {
    char resource[256];
    if (!httpWait(http, 100))
      return !stop_;
    if (httpReadRequest(http, resource, sizeof resource) != HTTP_STATE_POST)
      return false;
    http_status_t status;
    while ((status = httpUpdate(http)) == HTTP_STATUS_CONTINUE) {
    }
    if (status != HTTP_STATUS_OK)
      return false;
    if (httpGetExpect(http) == HTTP_STATUS_CONTINUE &&
        httpWriteResponse(http, HTTP_STATUS_CONTINUE) != 0)
      return false;
    ipp_t *request = ippNew();
    ipp_state_t state;
    while ((state = ippRead(http, request)) != IPP_STATE_DATA)
      if (state == IPP_STATE_ERROR) {
        ippDelete(request);
        return false;
      }
    ipp_t *response = Respond(request);
    ippDelete(request);
    httpClearFields(http);
    httpSetField(http, HTTP_FIELD_CONTENT_TYPE, "application/ipp");
    httpSetLength(http, ippLength(response));
    const bool sent = httpWriteResponse(http, HTTP_STATUS_OK) == 0 &&
                      ippWrite(http, response) == IPP_STATE_DATA && httpFlushWrite(http) >= 0;
    ippDelete(response);
    return sent;
  }

  ipp_t *Respond(ipp_t *request) {
    ipp_attribute_t *ids = ippFindAttribute(request, "job-ids", IPP_TAG_INTEGER);
    ipp_attribute_t *limit = ippFindAttribute(request, "limit", IPP_TAG_INTEGER);
    ipp_attribute_t *which = ippFindAttribute(request, "which-jobs", IPP_TAG_KEYWORD);
    ipp_attribute_t *wanted = ippFindAttribute(request, "requested-attributes", IPP_TAG_KEYWORD);
    std::ostringstream line;
    line << ippOpString(ippGetOperation(request));
    if (ids != nullptr)
      line << " job-ids=" << ippGetInteger(ids, 0);
    if (which != nullptr)
      line << " which-jobs=" << ippGetString(which, 0, nullptr);
    if (limit != nullptr)
      line << " limit=" << ippGetInteger(limit, 0);
    JobList jobs;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(line.str());
      if (ids != nullptr)
        ++checks_;
      jobs = script_[std::min(checks_ == 0 ? 0 : checks_ - 1, script_.size() - 1)];
    }
    ipp_t *response = ippNewResponse(request);
    if (ippGetOperation(request) != IPP_OP_GET_JOBS || (ids != nullptr && which != nullptr) ||
        (ids != nullptr && server_ == Server::kRefuses)) {
      ippSetStatusCode(response, IPP_STATUS_ERROR_BAD_REQUEST);
      return response;
    }
    if (server_ != Server::kIgnores) {
      if (ids != nullptr) {
        JobList asked;
        for (const Job &job : jobs)
          for (int i = 0; i < ippGetCount(ids); ++i)
            if (job.id == ippGetInteger(ids, i))
              asked.push_back(job);
        if (asked.empty())
          ippSetStatusCode(response, IPP_STATUS_ERROR_NOT_FOUND);
        jobs = asked;
      }
      if (limit != nullptr && jobs.size() > static_cast<size_t>(ippGetInteger(limit, 0)))
        jobs.resize(static_cast<size_t>(ippGetInteger(limit, 0)));
    }
    const auto asked_for = [&](const char *name) {
      if (server_ == Server::kIgnores || wanted == nullptr)
        return true;
      for (int i = 0; i < ippGetCount(wanted); ++i)
        if (std::string(ippGetString(wanted, i, nullptr)) == name)
          return true;
      return false;
    };
    for (size_t i = 0; i < jobs.size(); ++i) {
      if (i > 0)
        ippAddSeparator(response);
      if (asked_for("job-id"))
        ippAddInteger(response, IPP_TAG_JOB, IPP_TAG_INTEGER, "job-id", jobs[i].id);
      if (asked_for("job-state"))
        ippAddInteger(response, IPP_TAG_JOB, IPP_TAG_ENUM, "job-state", jobs[i].state);
      if (asked_for("job-printer-uri"))
        ippAddString(response, IPP_TAG_JOB, IPP_TAG_URI, "job-printer-uri", nullptr,
                     "ipp://localhost/printers/labels");
    }
    return response;
  }

  const Server server_;
  const std::vector<JobList> script_;
  std::string path_;
  int listen_fd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> requests_;
  size_t checks_ = 0;
};

// What the hold wait wrote: its lines, in order, from the filter's stderr.
std::vector<std::string> CheckLines(const std::vector<std::string> &err) {
  std::vector<std::string> lines;
  for (const std::string &line : err)
    if (line.rfind("Job ", 0) == 0 || line.rfind("No jobs found", 0) == 0)
      lines.push_back(line);
  return lines;
}

// Runs the filter (job id 1) on a job of `pages` pages with the responder
// as its scheduler.
Result RunAgainst(const Responder &responder, int pages) {
  const std::string ppd = PpdText(18, {});
  const std::string raster =
      WriteScratchFile("check.ras", RasterStream(std::vector<RasterPage>(pages, GreyPage(8, 2))));
  std::vector<std::string> env = {"LC_ALL=C", "HOME=" + ScratchDir(),
                                  "CUPS_SERVER=" + responder.Path()};
  env.push_back(FilterEnv(ppd).back()); // PPD=...
  std::vector<std::string> argv = FilterArgs(Variant::kBase);
  argv.push_back(raster);
  return RunProgram(argv, env);
}

const std::string kProcessing = "Job 1 is now processing...";
const std::string kPaused = "Job 1 is paused. Sleeping for 1 second...";
const std::string kNoJobs = "No jobs found or an error occurred.";

TEST(JobState, EveryStateGivesTheSameLinesWhateverTheServerMakesOfTheRequest) {
  struct Case {
    const char *name;
    std::vector<JobList> script; // one job list per check
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"processing",
       {{{2, IPP_JSTATE_HELD}, {1, IPP_JSTATE_PROCESSING}}},
       {kProcessing, kProcessing}},
      {"pending", {{{1, IPP_JSTATE_PENDING}}}, {}},
      {"aborted while others are held", {{{1, IPP_JSTATE_ABORTED}, {2, IPP_JSTATE_HELD}}}, {}},
      {"completed",
       {{{1, IPP_JSTATE_COMPLETED}}},
       {"Job 1 has completed.", "Job 1 has completed."}},
      {"canceled",
       {{{3, IPP_JSTATE_PENDING}, {1, IPP_JSTATE_CANCELED}}},
       {"Job 1 has been canceled.", "Job 1 has been canceled."}},
      {"not listed while others are active",
       {{{2, IPP_JSTATE_PROCESSING}, {3, IPP_JSTATE_HELD}}},
       {}},
      {"not listed, only finished jobs", {{{2, IPP_JSTATE_COMPLETED}}}, {}},
      {"no jobs at all", {{}}, {kNoJobs, kNoJobs}},
      {"listed twice: the walk stops at canceled",
       {{{1, IPP_JSTATE_PROCESSING}, {1, IPP_JSTATE_CANCELED}, {1, IPP_JSTATE_COMPLETED}}},
       {kProcessing, "Job 1 has been canceled.", kProcessing, "Job 1 has been canceled."}},
      {"held, then processing",
       {{{1, IPP_JSTATE_HELD}}, {{1, IPP_JSTATE_PROCESSING}}},
       {kPaused, kProcessing, kProcessing}},
      {"stopped, then gone while another prints",
       {{{1, IPP_JSTATE_STOPPED}}, {{2, IPP_JSTATE_PROCESSING}}},
       {kPaused}},
  };
  for (const Server server : {Server::kHonours, Server::kIgnores, Server::kRefuses}) {
    for (const Case &c : cases) {
      SCOPED_TRACE(std::string(c.name) + ", a server that " + ServerName(server));
      Responder responder(server, c.script);
      const Result run = RunAgainst(responder, 2);
      EXPECT_EQ(run.exit_status, 0);
      EXPECT_EQ(CheckLines(run.err), c.lines);
    }
  }
}

TEST(JobState, APageCostsOneRequestForTheOwnJobWhateverTheQueue) {
  JobList queue;
  for (int id = 2; id < 500; ++id)
    queue.push_back({id, IPP_JSTATE_HELD});
  struct Case {
    const char *name;
    JobList jobs;
    std::vector<std::string> requests; // per page
  };
  const std::string own = "Get-Jobs job-ids=1";
  const std::string any = "Get-Jobs which-jobs=not-completed limit=1";
  JobList with_own = queue;
  with_own.push_back({1, IPP_JSTATE_PROCESSING});
  const Case cases[] = {
      {"own job processing behind 498 held jobs", with_own, {own}},
      {"own job not listed", queue, {own, any}},
      {"nothing queued", {}, {own, any}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Responder responder(Server::kHonours, {c.jobs});
    const Result run = RunAgainst(responder, 3);
    EXPECT_EQ(run.exit_status, 0);
    std::vector<std::string> expected;
    for (int page = 0; page < 3; ++page)
      expected.insert(expected.end(), c.requests.begin(), c.requests.end());
    EXPECT_EQ(responder.Requests(), expected);
  }
}

TEST(JobState, AServerThatRefusesTheNarrowRequestIsAskedForEveryActiveJob) {
  Responder responder(Server::kRefuses, {{{1, IPP_JSTATE_PROCESSING}}});
  const Result run = RunAgainst(responder, 1);
  EXPECT_EQ(CheckLines(run.err), std::vector<std::string>{kProcessing});
  EXPECT_EQ(responder.Requests(), (std::vector<std::string>{"Get-Jobs job-ids=1", "Get-Jobs"}));
}

} // namespace
} // namespace vellum_test
