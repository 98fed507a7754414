#include "queue_file.h"

#include <cstdio>
#include <sstream>

namespace vellum_app {

std::string QueueFileText(const std::set<int> &paused,
                          const std::set<std::pair<int, int>> &held_for_order) {
  std::string text;
  for (const int id : paused)
    text += "paused " + std::to_string(id) + "\n";
  for (const auto &[printer_id, job_id] : held_for_order)
    text += "held-for-order " + std::to_string(printer_id) + " " + std::to_string(job_id) + "\n";
  return text;
}

std::set<int> PausedInQueueFile(const std::string &text) {
  std::set<int> paused;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    int printer_id = 0;
    if (std::sscanf(line.c_str(), "paused %d", &printer_id) == 1)
      paused.insert(printer_id);
  }
  return paused;
}

} // namespace vellum_app
