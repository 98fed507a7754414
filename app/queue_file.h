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

// The queue file's text for these paused printers and held jobs (printer
// and job IDs).
std::string QueueFileText(const std::set<int> &paused,
                          const std::set<std::pair<int, int>> &held_for_order);

// The printers the queue file's text has paused by their owner.
std::set<int> PausedInQueueFile(const std::string &text);

} // namespace vellum_app

#endif
