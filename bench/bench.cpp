// Measures the filters against the floor of what any label filter must do,
// on the benchmark's jobs, and writes the table to a Markdown file.
//
//   bench FILTER FLOOR JOBDIR RESULTS.md [REPETITIONS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <unistd.h>

#include <cups/cups.h>

#include "jobs.h"
#include "results.h"

using vellum_bench::BenchJob;

namespace {

using vellum_bench::Fixed;

struct Measure {
  double seconds = 0;
  long max_rss_kb = 0;
  uint64_t fingerprint = 0;
  uint64_t out_bytes = 0;
  int status = -1;
};

struct Program {
  std::string name;
  std::vector<std::string> argv_prefix; // before the filter command line
  std::string program;
  std::string ppd; // empty: no PPD
};

// Runs argv with stdout and stderr on pipes drained as a backend and the
// scheduler would; times it and takes its peak resident memory. The peak is
// read from /proc while the program runs: what wait4 reports would include
// this process's own, which the spawned program briefly shares.
Measure Run(const std::vector<std::string> &argv, const std::vector<std::string> &env) {
  int out[2], err[2];
  if (pipe(out) != 0 || pipe(err) != 0)
    throw std::runtime_error("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addclose(&actions, err[0]);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", 0, 0);
  std::vector<char *> args, envp;
  for (const std::string &a : argv)
    args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  for (const std::string &e : env)
    envp.push_back(const_cast<char *>(e.c_str()));
  envp.push_back(nullptr);

  Measure m;
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0)
    throw std::runtime_error("cannot start " + argv[0]);
  // The program gets a core of its own, the consumer (this process) the other.
  if (sysconf(_SC_NPROCESSORS_ONLN) > 1) {
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    CPU_SET(1, &cpus);
    sched_setaffinity(pid, sizeof cpus, &cpus);
  }
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::vector<char> chunk(1 << 16);
  uint64_t hash = 14695981039346656037ull;
  int open_fds = 2;
  const std::string status_path = "/proc/" + std::to_string(pid) + "/status";
  auto last_look = start;
  const auto look_at_memory = [&] {
    std::ifstream status(status_path);
    std::string line;
    while (std::getline(status, line))
      if (line.rfind("VmHWM:", 0) == 0)
        m.max_rss_kb = std::max(m.max_rss_kb, std::stol(line.substr(6)));
  };
  while (open_fds > 0) {
    poll(fds, 2, -1);
    const auto now = std::chrono::steady_clock::now();
    if (now - last_look > std::chrono::milliseconds(1)) {
      look_at_memory();
      last_look = now;
    }
    for (pollfd &p : fds) {
      if (p.fd < 0 || !(p.revents & (POLLIN | POLLHUP)))
        continue;
      const ssize_t n = read(p.fd, chunk.data(), chunk.size());
      if (n <= 0) {
        close(p.fd);
        p.fd = -1;
        --open_fds;
        continue;
      }
      if (p.fd == out[0]) {
        m.out_bytes += static_cast<uint64_t>(n);
        for (ssize_t i = 0; i < n; ++i) {
          hash ^= static_cast<unsigned char>(chunk[static_cast<size_t>(i)]);
          hash *= 1099511628211ull;
        }
      }
    }
  }
  // The program has closed its output; it is about to exit, still readable.
  look_at_memory();
  int status = 0;
  waitpid(pid, &status, 0);
  m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  m.fingerprint = hash;
  m.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return m;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

std::string Command(const std::string &command) {
  std::string text;
  if (FILE *pipe = popen(command.c_str(), "r")) {
    char line[512];
    while (std::fgets(line, sizeof line, pipe))
      text += line;
    pclose(pipe);
  }
  while (!text.empty() && text.back() == '\n')
    text.pop_back();
  return text;
}

// Total instructions of one run under callgrind, and its costliest functions.
uint64_t Instructions(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                      const std::string &out_file, std::string *top) {
  std::vector<std::string> command = {"/usr/bin/valgrind", "--tool=callgrind",
                                      "--callgrind-out-file=" + out_file};
  command.insert(command.end(), argv.begin(), argv.end());
  Run(command, env);
  std::ifstream in(out_file);
  std::string line;
  uint64_t total = 0;
  while (std::getline(in, line))
    if (line.rfind("summary: ", 0) == 0 || line.rfind("totals: ", 0) == 0)
      total = std::stoull(line.substr(line.find(' ') + 1));
  if (top != nullptr)
    *top = Command("callgrind_annotate --threshold=95 " + out_file +
                   " 2>/dev/null | grep -E '^ *[0-9,]+ \\(' | head -n 12");
  return total;
}

} // namespace

int main(int argc, char **argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s FILTER FLOOR JOBDIR RESULTS.md [REPETITIONS]\n", argv[0]);
    return 2;
  }
  const std::string filter = argv[1], floor = argv[2], dir = argv[3], results = argv[4];
  const int repetitions = argc > 5 ? std::max(1, std::atoi(argv[5])) : 11;
  if (sysconf(_SC_NPROCESSORS_ONLN) > 1) {
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    CPU_SET(0, &cpus);
    sched_setaffinity(0, sizeof cpus, &cpus);
  }

  const std::string zpl_ppd = dir + "/zpl.ppd", tspl_ppd = dir + "/tspl.ppd";
  std::ofstream(zpl_ppd) << vellum_bench::BenchPpd(false);
  std::ofstream(tspl_ppd) << vellum_bench::BenchPpd(true);
  const std::vector<Program> programs = {
      {"floor", {}, floor, ""}, {"ZPL", {}, filter, zpl_ppd}, {"TSPL", {}, filter, tspl_ppd}};
  const auto environment = [&dir](const Program &p) {
    std::vector<std::string> env = {"LC_ALL=C", "HOME=" + dir,
                                    "CUPS_SERVER=" + dir + "/no-scheduler.sock"};
    if (!p.ppd.empty())
      env.push_back("PPD=" + p.ppd);
    return env;
  };
  const auto command = [](const Program &p, const std::string &raster) {
    return std::vector<std::string>{p.program, "1", "bench", "bench", "1", "", raster};
  };

  std::ostringstream table;
  table << "| job | Mpixels | floor ms | ZPL ms | ZPL / floor | TSPL ms | TSPL / floor | ZPL Mpx/s "
           "| TSPL Mpx/s | peak RSS floor / ZPL / TSPL MiB | page buffer MiB |\n"
        << "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
  std::ostringstream fingerprints;
  std::string missed; // the jobs over their target
  for (const BenchJob &job : vellum_bench::BenchJobs()) {
    const std::string raster = dir + "/job.ras";
    vellum_bench::WriteBenchJob(job, raster);
    const double width = job.width_in * job.dpi, height = job.height_in * job.dpi;
    const double pixels = width * height * job.pages;
    std::vector<std::vector<double>> seconds(programs.size());
    std::vector<long> rss(programs.size(), 0);
    std::vector<uint64_t> prints(programs.size(), 0);
    for (int r = 0; r < repetitions; ++r) {
      // Each round starts with another program, so that no program always
      // runs right after the job was written or right after another.
      for (size_t i = 0; i < programs.size(); ++i) {
        const size_t p = (i + static_cast<size_t>(r)) % programs.size();
        const Measure m = Run(command(programs[p], raster), environment(programs[p]));
        if (m.status != 0)
          throw std::runtime_error(programs[p].name + " failed on " + job.name);
        seconds[p].push_back(m.seconds);
        rss[p] = std::max(rss[p], m.max_rss_kb);
        prints[p] = m.fingerprint;
      }
    }
    const double floor_s = Median(seconds[0]), zpl_s = Median(seconds[1]),
                 tspl_s = Median(seconds[2]);
    const double limit = job.name == "4x6 in 600 dpi" ? 1.15 : 1.25;
    if (zpl_s / floor_s > limit || tspl_s / floor_s > limit)
      missed += (missed.empty() ? "" : ", ") + job.name;
    table << "| " << job.name << " | " << Fixed(pixels / 1e6, 1) << " | " << Fixed(floor_s * 1e3, 1)
          << " | " << Fixed(zpl_s * 1e3, 1) << " | " << Fixed(zpl_s / floor_s, 2) << " | "
          << Fixed(tspl_s * 1e3, 1) << " | " << Fixed(tspl_s / floor_s, 2) << " | "
          << Fixed(pixels / zpl_s / 1e6, 0) << " | " << Fixed(pixels / tspl_s / 1e6, 0) << " | "
          << Fixed(rss[0] / 1024.0, 1) << " / " << Fixed(rss[1] / 1024.0, 1) << " / "
          << Fixed(rss[2] / 1024.0, 1) << " | " << Fixed(width * height / (1 << 20), 1) << " |\n";
    fingerprints << "| " << job.name << " | " << std::hex << prints[1] << " | " << prints[2]
                 << std::dec << " |\n";
    std::cout << job.name << ": floor " << Fixed(floor_s * 1e3, 1) << " ms, ZPL "
              << Fixed(zpl_s / floor_s, 2) << "x, TSPL " << Fixed(tspl_s / floor_s, 2) << "x"
              << std::endl;
  }

  // The halftones against the threshold on labels and pictures.
  const char *const kHalftones[] = {"Threshold", "Ordered", "Diffusion"};
  std::vector<Program> halftone_programs;
  for (const bool tspl : {false, true})
    for (const char *halftone : kHalftones) {
      const std::string ppd = dir + "/" + (tspl ? "tspl-" : "zpl-") + halftone + ".ppd";
      std::ofstream(ppd) << vellum_bench::BenchPpd(tspl, halftone);
      halftone_programs.push_back(
          {std::string(tspl ? "TSPL " : "ZPL ") + halftone, {}, filter, ppd});
    }
  std::ostringstream halftones;
  halftones << "| job | ZPL Threshold ms | Ordered | Diffusion | TSPL Threshold ms | Ordered | "
               "Diffusion |\n|---|---:|---:|---:|---:|---:|---:|\n";
  double worst_halftone = 0;
  for (const BenchJob &job : vellum_bench::HalftoneJobs()) {
    const std::string raster = dir + "/halftone-job.ras";
    vellum_bench::WriteBenchJob(job, raster);
    std::vector<std::vector<double>> seconds(halftone_programs.size());
    for (int r = 0; r < repetitions; ++r)
      for (size_t i = 0; i < halftone_programs.size(); ++i) {
        const size_t p = (i + static_cast<size_t>(r)) % halftone_programs.size();
        const Measure m =
            Run(command(halftone_programs[p], raster), environment(halftone_programs[p]));
        if (m.status != 0)
          throw std::runtime_error(halftone_programs[p].name + " failed on " + job.name);
        seconds[p].push_back(m.seconds);
      }
    halftones << "| " << job.name;
    for (size_t family = 0; family < 2; ++family) {
      const double threshold = Median(seconds[family * 3]);
      halftones << " | " << Fixed(threshold * 1e3, 1);
      for (size_t h = 1; h < 3; ++h) {
        const double ratio = Median(seconds[family * 3 + h]) / threshold;
        worst_halftone = std::max(worst_halftone, ratio);
        halftones << " | " << Fixed(ratio, 2) << "x";
      }
    }
    halftones << " |\n";
    std::cout << job.name << ": halftones measured" << std::endl;
  }

  // Instruction counts of the mid-size job: stable on a busy machine.
  const BenchJob mid = vellum_bench::BenchJobs()[1];
  const std::string raster = dir + "/job.ras";
  vellum_bench::WriteBenchJob(mid, raster);
  std::vector<uint64_t> instructions;
  std::string top;
  for (size_t p = 0; p < programs.size(); ++p)
    instructions.push_back(Instructions(command(programs[p], raster), environment(programs[p]),
                                        dir + "/callgrind." + programs[p].name,
                                        p == 1 ? &top : nullptr));

  std::ostringstream md;
  md << "## Filter speed\n\n"
     << "Made by `./scripts/bench` (" << repetitions << " interleaved repetitions, medians). "
     << "Machine: " << vellum_bench::Machine() << ".\n\n"
     << "The floor reads the raster with libcups and writes only what a filter cannot avoid: "
     << "one byte per 8 pixels of each row with one flush per row, and one debug line per row "
     << "on unbuffered standard error. ZPL runs with both shifts (1 mm) and gamma `normal`, "
     << "TSPL with gamma `normal`. Standard output and standard error go to pipes drained by "
     << "the benchmark.\n\n"
     << table.str() << "\n"
     << "Wall-time targets (filter / floor at most 1.15 for 4x6 in at 600 dpi, 1.25 for the "
     << "others): " << (missed.empty() ? "met by every job" : "missed by " + missed) << ".\n\n"
     << "### Instructions (callgrind), " << mid.name << "\n\n"
     << "| program | instructions | / floor |\n|---|---:|---:|\n";
  for (size_t p = 0; p < programs.size(); ++p)
    md << "| " << programs[p].name << " | " << instructions[p] << " | "
       << Fixed(static_cast<double>(instructions[p]) / instructions[0], 3) << " |\n";
  const double worst =
      static_cast<double>(std::max(instructions[1], instructions[2])) / instructions[0];
  md << "\nInstruction target (at most 1.25): " << (worst <= 1.25 ? "met" : "missed") << ".\n"
     << "\nCostliest functions of the ZPL run:\n\n```\n"
     << top << "\n```\n\n"
     << "### Halftones\n\n"
     << "The same filters with `Halftone` `Threshold` (the default, milliseconds), `Ordered` "
     << "and `Diffusion` (times the threshold's), on labels and on pictures in continuous grey "
     << "(where every pixel is dithered).\n\n"
     << halftones.str() << "\nTarget (a dithered page at most 1.5 times the threshold's): "
     << (worst_halftone <= 1.5 ? "met" : "missed") << ", at worst " << Fixed(worst_halftone, 2)
     << "x.\n\n"
     << "### Printer bytes (FNV-1a 64 of standard output)\n\n| job | ZPL | TSPL |\n|---|---|---|\n"
     << fingerprints.str();
  vellum_bench::WriteResultsSection(results, "filter", md.str());
  std::cout << "wrote " << results << std::endl;
  return 0;
}
