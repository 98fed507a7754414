// The CUPS filter front end of the label engine (filter/: vellumfilter and
// vellumfilter_03): the PPD, the command line, SIGTERM and the job-state
// check. The engine itself is engine/; the printer application (app/) is
// its other front end and shares nothing of this folder.
#ifndef VELLUMFILTER_H
#define VELLUMFILTER_H

#include <csignal>

#include <cups/cups.h>

#include "engine.h"

// The PPD API is marked deprecated in libcups 2.x, yet it is still how a CUPS
// filter reads its printer's options. Drop only its deprecation marks (the
// HTTP header, which shares the macro, is already included above).
#undef _CUPS_DEPRECATED_1_6_MSG
#define _CUPS_DEPRECATED_1_6_MSG(m) _CUPS_PUBLIC
#include <cups/ppd.h>

// Set by the SIGTERM handler.
extern volatile std::sig_atomic_t Canceled;

void CancelJob(int sig);
void check_job_status_and_wait(int job_id);

#endif
