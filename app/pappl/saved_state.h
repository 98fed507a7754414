// PAPPL's saved state as the server mends it before PAPPL loads it (the
// jobs a server stopped or killed left behind): read without a server.
#ifndef VELLUM_APP_PAPPL_SAVED_STATE_H
#define VELLUM_APP_PAPPL_SAVED_STATE_H

#include <set>
#include <string>
#include <vector>

namespace vellum_app {

// What mending the saved queue did, for the log once PAPPL has the jobs.
struct QueueRepairs {
  struct Job {
    int printer_id, job_id;
    std::string why; // "" for a job that prints again
  };
  std::vector<Job> jobs;
};

// Mends the text of a state file: a job that was being printed is queued
// again; a job whose document or settings file in `spool` is gone or
// unreadable ends aborted; the attributes PAPPL gives a reloaded job
// itself leave its settings file; a printer keeps a saved stopped state
// only where its owner paused it (`owner_paused`). `*changed` says whether
// the text was.
QueueRepairs MendSavedState(std::string &state, const std::string &spool,
                            const std::set<int> &owner_paused, bool *changed);

// Mends the state file `state_path` before PAPPL loads it, as
// MendSavedState mends its text (the file is replaced only where it
// changed, by another that then takes its place).
QueueRepairs MendStateBeforeLoading(const std::string &state_path, const std::string &spool,
                                    const std::set<int> &owner_paused);

} // namespace vellum_app

#endif
