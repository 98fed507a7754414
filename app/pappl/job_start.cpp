// PAPPL starts a job twice, or two jobs of one printer at once, when
// clients submit jobs at the same moment (PAPPL 1.3.x and 1.4.x, 1.4.9
// included; no release fixes it yet).
//
// PAPPL's check for jobs to print starts a thread for a printer's first
// pending job, but the job stays pending, and the printer has no job in
// processing, until that thread has started the job under the printer's
// lock. Every Print-Job and Send-Document runs the same check meanwhile, so
// a second thread starts for the same job, or for another job of the same
// printer. Both print, the labels twice or interleaved on one connection;
// the one that ends first removes the document the other still reads,
// closes the device under it and lists the job as completed twice. Eight
// clients queueing 48 ZPL jobs on one printer printed 71 starts.
//
// A job's thread runs PAPPL's _papplJobProcess, whose address libpappl
// takes through its global offset table, so the definition here comes
// first. It lets a job's thread print only while no other job of the same
// printer prints and the job is still pending with its document; any other
// thread ends at once, as if it had not been started. PAPPL's check runs
// again once a job has printed (the check PAPPL makes at the job's end came
// while this job still held its printer, and its thread ended here), and
// where the job a thread was started for is no longer pending (held or
// cancelled meanwhile: PAPPL looked no further than that job, and another
// may wait). Where libpappl shows neither of its checks, its threads run as
// they are.
//
// At run time: where libpappl does not take that function's address
// through a relocation the dynamic linker binds (a libpappl linked with
// -Bsymbolic-functions), the log warns at the start ("This libpappl starts
// its jobs itself ..."); otherwise nothing is said.
#include <mutex>
#include <set>

#include <dlfcn.h>
#include <pthread.h>

#include "bindings.h"
#include "patches.h"

extern "C" void *_papplJobProcess(pappl_job_t *job);

namespace {

using Process = void *(*)(pappl_job_t *);
using Check = void (*)(pappl_printer_t *);

// PAPPL's own functions: the job's processing, and its check for jobs to
// print (1.3 locks the printer itself; 1.4's takes it locked).
struct Pappl {
  Process process = reinterpret_cast<Process>(dlsym(RTLD_NEXT, "_papplJobProcess"));
  Check check = reinterpret_cast<Check>(dlsym(RTLD_DEFAULT, "_papplPrinterCheckJobs"));
  Check check_locked = reinterpret_cast<Check>(dlsym(RTLD_DEFAULT, "_papplPrinterCheckJobsNoLock"));
};

const Pappl &Real() {
  static const Pappl pappl;
  return pappl;
}

// The ids of the printers with a job printing, behind a lock that nothing
// nests in.
std::mutex printing_mutex;
std::set<int> printing;

// Whether a job's thread took its printer, or why not.
enum class Start { kTaken, kPrinterBusy, kNotPending, kNoDocument };

// Takes the printer for the job, if the job is to print now. A printer
// that is busy checks again as its job ends; a pending job with no
// document yet starts when its document comes.
Start TakePrinter(pappl_job_t *job, int printer_id) {
  const std::lock_guard<std::mutex> lock(printing_mutex);
  if (printing.count(printer_id) != 0)
    return Start::kPrinterBusy;
  if (papplJobGetState(job) != IPP_JSTATE_PENDING)
    return Start::kNotPending;
  if (papplJobGetFilename(job) == nullptr)
    return Start::kNoDocument;
  printing.insert(printer_id);
  return Start::kTaken;
}

void GivePrinterBack(int printer_id) {
  const std::lock_guard<std::mutex> lock(printing_mutex);
  printing.erase(printer_id);
}

// PAPPL's check for the printer's next job, where the printer still exists.
void CheckForJobs(pappl_system_t *system, int printer_id, pappl_printer_t *printer) {
  if (papplSystemFindPrinter(system, nullptr, printer_id, nullptr) != printer)
    return;
  const Pappl &pappl = Real();
  if (pappl.check_locked != nullptr) {
    // The printer's lock is the first member of PAPPL's printer (1.3 and 1.4).
    auto *const printer_lock = reinterpret_cast<pthread_rwlock_t *>(printer);
    pthread_rwlock_wrlock(printer_lock);
    pappl.check_locked(printer);
    pthread_rwlock_unlock(printer_lock);
  } else if (pappl.check != nullptr) {
    pappl.check(printer);
  }
}

} // namespace

extern "C" void *_papplJobProcess(pappl_job_t *job) {
  const Pappl &pappl = Real();
  if (pappl.process == nullptr)
    return nullptr;
  if (pappl.check == nullptr && pappl.check_locked == nullptr)
    return pappl.process(job);
  pappl_printer_t *const printer = papplJobGetPrinter(job);
  pappl_system_t *const system = papplPrinterGetSystem(printer);
  const int printer_id = papplPrinterGetID(printer);
  switch (TakePrinter(job, printer_id)) {
  case Start::kTaken:
    pappl.process(job);
    GivePrinterBack(printer_id);
    CheckForJobs(system, printer_id, printer);
    break;
  case Start::kNotPending:
    CheckForJobs(system, printer_id, printer);
    break;
  case Start::kPrinterBusy:
  case Start::kNoDocument:
    break;
  }
  return nullptr;
}

namespace vellum_app {

bool StartJobsOnce() {
  const Pappl &pappl = Real();
  return pappl.process != nullptr && (pappl.check != nullptr || pappl.check_locked != nullptr) &&
         CallsReach("libpappl", "_papplJobProcess",
                    reinterpret_cast<const void *>(&_papplJobProcess));
}

} // namespace vellum_app
