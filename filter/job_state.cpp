// The job hold wait: before each page the filter asks the scheduler about its
// own job, reports what it learns and waits while the job is held.
//
// It asks about its own job only, so that a page costs the scheduler the same
// whatever the length of its queue: a list of every active job makes the
// scheduler look at (and, for a client that is not root, run its privacy
// check on) every job it lists, for every page of every job.
#include <cerrno>
#include <ctime>
#include <string_view>
#include <vector>

#include "vellumfilter.h"

namespace {

// The benchmark builds the check as it was, listing every active job, for
// comparison; that is what a scheduler that refuses the narrow requests gets.
#ifdef VELLUM_LIST_ALL_JOBS
constexpr bool kListAllJobs = true;
#else
constexpr bool kListAllJobs = false;
#endif

// A job as the scheduler lists it: its id and its state.
struct JobEntry {
  int id;
  ipp_jstate_t state;
};

// How the scheduler answered a request.
enum class Answer {
  kListed,   // a list of jobs, possibly empty
  kRefused,  // an error status: the request is not understood or not allowed
  kNoAnswer, // no connection, or nothing the client could read
};

// Sleeps a full second even when a signal interrupts the sleep.
void SleepOneSecond() {
  timespec left{1, 0};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// A Get-Jobs request for every printer, asking only for the attributes named.
ipp_t *GetJobsRequest(int count, const char *const *attributes) {
  ipp_t *request = ippNewRequest(IPP_OP_GET_JOBS);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, "ipp://localhost/");
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
               cupsUser());
  ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", count, nullptr,
                attributes);
  return request;
}

// Get-Jobs for the own job alone, in whatever state it is.
ipp_t *OwnJobRequest(int job_id) {
  static const char *const kAttributes[] = {"job-id", "job-state"};
  ipp_t *request = GetJobsRequest(2, kAttributes);
  ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-ids", job_id);
  return request;
}

// Get-Jobs for at most one active job of anyone.
ipp_t *AnyActiveJobRequest() {
  static const char *const kAttributes[] = {"job-id"};
  ipp_t *request = GetJobsRequest(1, kAttributes);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, "not-completed");
  ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "limit", 1);
  return request;
}

// The jobs of a response in the order listed. A job without a state counts
// as pending, one without an id is not a job.
std::vector<JobEntry> ListedJobs(ipp_t *response) {
  std::vector<JobEntry> jobs;
  ipp_attribute_t *attr = ippFirstAttribute(response);
  while (attr != nullptr) {
    if (ippGetGroupTag(attr) != IPP_TAG_JOB) {
      attr = ippNextAttribute(response);
      continue;
    }
    JobEntry job{0, IPP_JSTATE_PENDING};
    for (; attr != nullptr && ippGetGroupTag(attr) == IPP_TAG_JOB;
         attr = ippNextAttribute(response)) {
      const char *name = ippGetName(attr);
      if (name == nullptr)
        continue;
      const std::string_view key = name;
      if (key == "job-id" && ippGetValueTag(attr) == IPP_TAG_INTEGER)
        job.id = ippGetInteger(attr, 0);
      else if (key == "job-state" && ippGetValueTag(attr) == IPP_TAG_ENUM)
        job.state = static_cast<ipp_jstate_t>(ippGetInteger(attr, 0));
    }
    if (job.id != 0)
      jobs.push_back(job);
  }
  return jobs;
}

// Sends the request (and releases it); fills jobs when the scheduler lists
// them. "Not found" is a list without the job asked for.
Answer AskScheduler(ipp_t *request, std::vector<JobEntry> *jobs) {
  ipp_t *response = cupsDoRequest(CUPS_HTTP_DEFAULT, request, "/");
  const ipp_status_t status = response != nullptr ? ippGetStatusCode(response) : cupsLastError();
  Answer answer = Answer::kListed;
  if (response == nullptr && status == IPP_STATUS_ERROR_SERVICE_UNAVAILABLE)
    answer = Answer::kNoAnswer;
  else if (status > IPP_STATUS_OK_EVENTS_COMPLETE && status != IPP_STATUS_ERROR_NOT_FOUND)
    answer = Answer::kRefused;
  else if (response != nullptr)
    *jobs = ListedJobs(response);
  ippDelete(response);
  return answer;
}

// Every active job of every user, as libcups lists them: what a scheduler
// that does not take the narrower requests still answers.
std::vector<JobEntry> AllActiveJobs() {
  cups_job_t *list = nullptr;
  const int count = cupsGetJobs(&list, nullptr, 0, 0);
  std::vector<JobEntry> jobs;
  for (int i = 0; i < count && list != nullptr; ++i)
    jobs.push_back({list[i].id, list[i].state});
  cupsFreeJobs(count, list);
  return jobs;
}

bool IsActive(ipp_jstate_t state) {
  return state >= IPP_JSTATE_PENDING && state <= IPP_JSTATE_STOPPED;
}

// Whether the list holds the own job in an active state.
bool ListsActiveJob(const std::vector<JobEntry> &jobs, int job_id) {
  for (const JobEntry &job : jobs)
    if (job.id == job_id && IsActive(job.state))
      return true;
  return false;
}

// Fills jobs with what is to be walked for the own job; false when the
// scheduler has no active job at all, or cannot be asked.
bool FetchJobs(int job_id, std::vector<JobEntry> *jobs) {
  Answer answer = Answer::kRefused;
  bool any_active = false;
  if (!kListAllJobs) {
    answer = AskScheduler(OwnJobRequest(job_id), jobs);
    any_active = answer == Answer::kListed && ListsActiveJob(*jobs, job_id);
    if (answer == Answer::kListed && !any_active) {
      // The own job is not active: whether anything is decides the report.
      std::vector<JobEntry> any;
      answer = AskScheduler(AnyActiveJobRequest(), &any);
      any_active = !any.empty();
    }
  }
  switch (answer) {
  case Answer::kListed:
    return any_active;
  case Answer::kRefused:
    *jobs = AllActiveJobs();
    return !jobs->empty();
  case Answer::kNoAnswer:
    break;
  }
  return false;
}

// Reports one listed state of the own job; returns true when the job is held
// or stopped.
bool ReportJobState(int job_id, ipp_jstate_t state, bool *stop_walking) {
  switch (state) {
  case IPP_JSTATE_HELD:
  case IPP_JSTATE_STOPPED:
    std::fprintf(stderr, "Job %d is paused. Sleeping for 1 second...\n", job_id);
    std::fflush(stderr);
    return true;
  case IPP_JSTATE_PROCESSING:
    std::fprintf(stderr, "Job %d is now processing...\n", job_id);
    std::fflush(stderr);
    break;
  case IPP_JSTATE_COMPLETED:
    std::fprintf(stderr, "Job %d has completed.\n", job_id);
    std::fflush(stderr);
    break;
  case IPP_JSTATE_CANCELED:
    std::fprintf(stderr, "Job %d has been canceled.\n", job_id);
    std::fflush(stderr);
    *stop_walking = true;
    break;
  default:
    break;
  }
  return false;
}

} // namespace

void check_job_status_and_wait(int job_id) {
  for (;;) {
    std::vector<JobEntry> jobs;
    if (!FetchJobs(job_id, &jobs)) {
      std::fputs("No jobs found or an error occurred.\n", stderr);
      std::fflush(stderr);
      return;
    }
    bool paused = false;
    bool stop_walking = false;
    for (size_t i = 0; i < jobs.size() && !paused && !stop_walking; ++i) {
      if (jobs[i].id == job_id)
        paused = ReportJobState(job_id, jobs[i].state, &stop_walking);
    }
    if (!paused)
      return;
    SleepOneSecond();
  }
}
