#include "results.h"

#include <cstdio>
#include <fstream>
#include <iomanip>
#include <sstream>

#include <sys/utsname.h>
#include <unistd.h>

#include <cups/cups.h>

namespace vellum_bench {

void WriteResultsSection(const std::string &path, const std::string &name,
                         const std::string &text) {
  std::ostringstream old;
  old << std::ifstream(path).rdbuf();
  std::string file = old.str();
  const std::string title = "# Benchmark results\n\n";
  if (file.rfind(title, 0) != 0)
    file = title;
  const std::string begin = "<!-- begin " + name + " -->\n", end = "<!-- end " + name + " -->\n";
  const std::string section = begin + text + end;
  const size_t from = file.find(begin), to = file.find(end);
  if (from != std::string::npos && to != std::string::npos && to > from)
    file.replace(from, to + end.size() - from, section);
  else
    file += (file.size() > title.size() ? "\n" : "") + section;
  std::ofstream(path) << file;
}

std::string Machine() {
  std::string cpu = "unknown CPU";
  std::ifstream info("/proc/cpuinfo");
  for (std::string line; std::getline(info, line);)
    if (line.rfind("model name", 0) == 0 && line.find(": ") != std::string::npos) {
      cpu = line.substr(line.find(": ") + 2);
      break;
    }
  utsname u{};
  uname(&u);
  const double gib =
      static_cast<double>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGE_SIZE) / (1 << 30);
  char text[512];
  std::snprintf(text, sizeof text, "%s, %ld cores, %.0f GiB; %s %s; g++ %s; libcups %d.%d",
                cpu.c_str(), sysconf(_SC_NPROCESSORS_ONLN), gib, u.sysname, u.release, __VERSION__,
                CUPS_VERSION_MAJOR, CUPS_VERSION_MINOR);
  return text;
}

std::string Fixed(double value, int digits) {
  std::ostringstream text;
  text << std::fixed << std::setprecision(digits) << value;
  return text.str();
}

} // namespace vellum_bench
