#include "queue_file.h"

#include <cstdio>
#include <fstream>
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

QueueFile ParseQueueFile(const std::string &text) {
  QueueFile queue;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    int printer_id = 0, job_id = 0;
    if (std::sscanf(line.c_str(), "held-for-order %d %d", &printer_id, &job_id) == 2)
      queue.held_for_order.insert({printer_id, job_id});
    else if (std::sscanf(line.c_str(), "paused %d", &printer_id) == 1)
      queue.paused.insert(printer_id);
  }
  return queue;
}

QueueFile ReadQueueFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return ParseQueueFile(text.str());
}

} // namespace vellum_app
