// The print queue across restarts, clean or not (a shutdown, SIGTERM,
// SIGKILL, a power cut): every job that was pending, held or being printed
// prints once the printer answers, in the order submitted; a job whose bytes
// were being sent when the server was killed prints again, whole; a job
// that cannot be restored ends aborted, saying why; the spool keeps no file
// of a job that is gone; a printer its owner paused stays paused; waiting
// jobs print in the order submitted; and a
// shutdown takes a second or two, also while jobs wait for a printer that
// does not answer (they stay queued for the next start).
//
// PAPPL 1.3.1 keeps jobs in its state file, but reloads a job that was
// being printed as "processing" with nothing printing it (the queue stays
// blocked), loses a job whose settings file is gone without a word, keeps
// no paused state, gives a job it reloads its job-id, job-uri and the like
// twice, and waits up to a minute at shutdown for jobs it cannot print.
// The state file and the jobs' settings are mended before PAPPL reads
// them, and the server saves its state and ends itself once nothing is
// being sent.
#ifndef VELLUM_APP_QUEUE_H
#define VELLUM_APP_QUEUE_H

#include <functional>
#include <string>
#include <vector>

#include <pappl/pappl.h>

#include "pappl/saved_state.h"
#include "queue_file.h"

namespace vellum_app {

// Mends the state file before PAPPL loads it: a job that was being
// printed is queued again; a job whose document or settings file in
// `spool` is gone or unreadable ends aborted; the attributes PAPPL gives a
// reloaded job itself leave its settings file; a printer keeps a saved
// stopped state only where the queue file has it paused by its owner.
QueueRepairs RepairSavedQueue(const std::string &state_path, const std::string &spool,
                              const QueueFile &queue);

// Once PAPPL has loaded the state: logs what was mended (and gives the
// aborted jobs their message), removes spool files of jobs that are gone,
// pauses the printers that were paused, and takes up the queue's order
// (from the file SaveQueue writes).
void RestoreQueue(pappl_system_t *system, const QueueRepairs &repairs, const std::string &spool,
                  const QueueFile &queue);

// Writes what PAPPL's state leaves out: the printers their owner paused,
// and the jobs held only to keep their order.
bool SaveQueue(const std::string &queue_path);

// Keeps the printer's waiting jobs in the order submitted: all but the
// oldest held. Called as a job starts and as it ends (just before PAPPL
// starts the next), and every second.
void KeepJobOrder(pappl_printer_t *printer);

// Once the server runs, in a thread of its own, every second: keeps each
// printer's waiting jobs in the order submitted (PAPPL 1.3.1 starts the
// newest first), starts the jobs loaded at start, and saves the state (with
// `save`) when a printer was paused or resumed or the order changed; in a
// thread of its own it runs `check` every five seconds; at a shutdown
// (SIGTERM, SIGINT or PAPPL's own) a third saves the state and ends the
// server once no label is being sent, within a few seconds whatever PAPPL
// waits for. `queue_path` is where SaveQueue writes.
void KeepQueue(pappl_system_t *system, const std::string &spool, const std::string &queue_path,
               std::function<void()> save, std::function<void()> check);

// Whether PAPPL's main thread, calling this, is taking the server down:
// its loop has run and ended.
bool ServerIsEnding(pappl_system_t *system);

// Called from PAPPL's main thread as it takes the server down (its last
// save, or deleting the printers), where the keeper may be at work on the
// same printers: waits for the keeper, saves the state when `save` is set
// (else what PAPPL's state leaves out: a pause just before the end), and
// ends the process (unless a stop ended it first).
[[noreturn]] void EndServer(pappl_system_t *system, bool save);

// Called as PAPPL's main loop has returned: PAPPL 1.4 returns from it
// without deleting its printers (where EndServer runs on 1.3) and with its
// system deleted. A server that ran saves its queue file, with no call to
// PAPPL, and ends the process before the keeper's threads meet the
// program's end; anything else returns.
void EndAfterMainloop(int status);

// The drivers' delete callback: where PAPPL deletes the printers as it
// takes the server down, it ends the server first (PAPPL saved the state
// already where it had changed); a printer deleted while the server runs
// leaves nothing behind (its pause, status, holds and spool files).
void PrinterDeleted(pappl_printer_t *printer, pappl_pr_driver_data_t *data);

} // namespace vellum_app

#endif
