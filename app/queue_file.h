// The queue file beside the state (STATE.queue): what PAPPL's state leaves
// out of the queue, a line each: "paused PRINTER-ID" for a printer its
// owner paused, "held-for-order PRINTER-ID JOB-ID" for a job held only to
// keep the order in which the jobs were submitted. Read without a server.
#ifndef VELLUM_APP_QUEUE_FILE_H
#define VELLUM_APP_QUEUE_FILE_H

#include <set>
#include <string>
#include <utility>

namespace vellum_app {

struct QueueFile {
  std::set<int> paused;                         // printer IDs
  std::set<std::pair<int, int>> held_for_order; // printer and job IDs
};

// The queue file's text for these paused printers and held jobs.
std::string QueueFileText(const std::set<int> &paused,
                          const std::set<std::pair<int, int>> &held_for_order);

// What the queue file's text holds; lines of neither kind are passed over.
QueueFile ParseQueueFile(const std::string &text);

// The queue file at `path`, read; empty where there is none.
QueueFile ReadQueueFile(const std::string &path);

} // namespace vellum_app

#endif
