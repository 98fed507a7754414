// Times the filter's job-state check against a scheduler: runs it
// REPETITIONS times for JOB, as the filter does before each page, on one
// connection, as user lp when started as root (the scheduler runs filters as
// lp). Prints the check's first report and the mean milliseconds per check.
//
//   bench_job_check JOB REPETITIONS
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include "vellumfilter.h"

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s JOB REPETITIONS\n", argv[0]);
    return 2;
  }
  const int job = std::atoi(argv[1]);
  const int repetitions = std::max(1, std::atoi(argv[2]));
  if (geteuid() == 0) {
    const passwd *lp = getpwnam("lp");
    if (lp == nullptr || setgroups(0, nullptr) != 0 || setgid(lp->pw_gid) != 0 ||
        setuid(lp->pw_uid) != 0) {
      std::perror("cannot become lp");
      return 1;
    }
  }
  // The first check's report shows what the check saw; the rest go nowhere.
  char first[256] = "";
  std::FILE *report = std::tmpfile();
  const int saved = dup(2);
  dup2(fileno(report), 2);
  check_job_status_and_wait(job);
  const int null_fd = open("/dev/null", O_WRONLY);
  dup2(null_fd, 2);
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < repetitions; ++i)
    check_job_status_and_wait(job);
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  dup2(saved, 2);
  std::rewind(report);
  if (std::fgets(first, sizeof first, report) == nullptr)
    first[0] = '\0';
  std::printf("%s%.3f\n", first[0] != '\0' ? first : "(nothing)\n", ms / repetitions);
  return 0;
}
