// Patches on faults of the PAPPL framework (the version of libpappl the
// application was built with is VELLUM_PAPPL_VERSION, major * 10000 +
// minor * 100 + patch). Each file of this folder opens with the fault it
// mends, the PAPPL versions that have it and the version that fixed it; the
// rest of the application calls these by what they do and never reaches
// into PAPPL's internals itself.
#ifndef VELLUM_APP_PAPPL_PATCHES_H
#define VELLUM_APP_PAPPL_PATCHES_H

#include <string>
#include <vector>

#include <pappl/pappl.h>

namespace vellum_app {

// Called as a printer has been made (the drivers' creation callback): gives
// it the printer-id PAPPL assigned, where PAPPL recorded 0 in its
// attributes (PAPPL before 1.4.3).
void GiveNewPrinterItsId(pappl_printer_t *printer);

// Called as a printer is deleted: forgets what was kept of its attributes.
void ForgetPrinterAttributes(pappl_printer_t *printer);

// Keeps PAPPL's abort of a job whose document does not come from waiting
// for the system's lock while it holds the printer's (every version so
// far): false where libpappl does not show the function that does it.
bool KeepAbortsFromLockingTheSystem(pappl_system_t *system);

// Keeps PAPPL from starting a job twice, or two jobs of one printer at
// once, when clients submit jobs at the same moment (every version so far):
// false where libpappl starts its jobs without this application's say.
bool StartJobsOnce();

// The connection of an AppSocket (socket://) device PAPPL opened for the
// device URI `uri`, or -1 for another kind of device.
int DeviceConnection(pappl_device_t *device, const char *uri);

// Keeps the formats the printer takes for PAPPL's check at submission;
// called as PAPPL creates a printer, also one loaded from the saved state.
void RememberDocumentFormats(pappl_printer_t *printer);

// Ends, as canceled with the reason, the printer's jobs whose only document
// was refused (Create-Job, then Send-Document) and that got no other within
// the multiple-operation-time-out (60 s): PAPPL keeps them held for good.
void EndRefusedJobs(pappl_printer_t *printer);

// Has PAPPL's image printing print the next image once, its copies left
// to the printer (PAPPL 1.4 and later print them as pages).
void PrintNextImageOnce(pappl_job_t *job);

// Forgets the refused jobs of a printer that is deleted.
void ForgetRefusedJobs(int printer_id);

// Puts each setting of a printer that is out of the range its driver
// supports back to its last valid value, and logs what it refused. Runs
// before every save of the state and after loading it.
void KeepSettingsValid(pappl_system_t *system);

// Writes the printers' print speeds beside the state file `state` (as
// every save of the state); true when they were written whole.
bool SaveSpeeds(pappl_system_t *system, const std::string &state);

// Gives the printers PAPPL loaded from `state` their saved speeds.
void RestoreSpeeds(pappl_system_t *system, const std::string &state);

// settings_guards.cpp: the guards of the settings (this machine, other
// machines with web-remote; only values the pages offer) that PAPPL does
// not call: none where all are in force, else the names of PAPPL's own
// functions it calls instead. The library checked is libpappl, or the one
// VELLUM_GUARDED_LIBRARY names (the tests name another to see the server
// fail closed).
std::vector<std::string> GuardsNotInForce();

// settings_password.cpp, where the guards are not in force: a password no
// one knows (32 random bytes in hexadecimal), or "" where the system has
// no randomness to give.
std::string NewWebPassword();

// Sets the web password once PAPPL has loaded its state: `password`, new
// at every start, unless the owner lets other machines in (web-remote) and
// has set one (on the Security page, web-security); and serves the sign-in
// of this machine's browser (/vellum-sign-in).
void GuardSettingsWithPassword(pappl_system_t *system, bool web_remote,
                               const std::string &password);

} // namespace vellum_app

#endif
