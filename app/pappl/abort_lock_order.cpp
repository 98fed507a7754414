// The lock order of PAPPL's abort of a job whose document does not come
// (PAPPL 1.3.x and 1.4.x, 1.4.9 included; no release fixes it yet).
//
// Where PAPPL ends a job while its document arrives (a PWG or Apple raster
// document for a printer that is busy with another job or holds new jobs, a
// client that stops sending, a spool file that cannot be written),
// _papplJobCopyDocumentData holds the printer's and the job's write locks
// and then asks for the system's write lock, to set when old jobs are next
// cleaned out. Everywhere else PAPPL locks the system first and then a
// printer: Get-Printer-Attributes, Get-Printers, the web pages, saving the
// state, cleaning jobs. Where one of those holds the system's lock as the
// abort holds the printer's, each waits for the other for ever; every later
// request on that printer, every save and the server's stop wait behind
// them, and the server stops serving. A client retrying raster while the
// printer is busy (as CUPS's backend does), with a save every second and
// clients polling the printer, makes that likely.
//
// The system's lock guards no more there than that one time, which PAPPL
// sets once from zero. Here the abort takes the lock only where it can have
// it within a moment; where it cannot (the lock's holders may be waiting for
// the printer the abort holds), that lock and its unlock are left out and
// the time is set without it: at worst old jobs are cleaned out later.
//
// PAPPL locks with pthread_rwlock_wrlock and pthread_rwlock_unlock, libc
// calls that go through the dynamic linker however libpappl is linked; these
// definitions come first in the symbol search order and pass every other
// call on to libc's. The system's lock is the first member of PAPPL's system
// object (1.3 and 1.4 alike), and _papplJobCopyDocumentData is among
// libpappl's exported symbols; where it is not, nothing is left out.
//
// At run time: where libpappl does not show that function, the log warns
// at the start ("This libpappl does not show _papplJobCopyDocumentData
// ..."); otherwise nothing is said.
#include <cerrno>
#include <cstdint>
#include <ctime>

#include <dlfcn.h>
#include <link.h>
#include <pthread.h>

#include "patches.h"

namespace {

using Lock = int (*)(pthread_rwlock_t *);
using TimedLock = int (*)(pthread_rwlock_t *, const timespec *);

// The moment the abort may wait for the system's lock.
constexpr long kWaitNanoseconds = 100 * 1000 * 1000;

template <typename Function> Function Library(const char *name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// libc's functions, found before any thread runs.
struct Libc {
  Lock wrlock = Library<Lock>("pthread_rwlock_wrlock");
  Lock unlock = Library<Lock>("pthread_rwlock_unlock");
  TimedLock timedwrlock = Library<TimedLock>("pthread_rwlock_timedwrlock");
};

const Libc &Real() {
  static const Libc libc;
  return libc;
}

// Found once the system is made.
pthread_rwlock_t *system_lock = nullptr;
uintptr_t abort_begin = 0, abort_end = 0; // _papplJobCopyDocumentData's code

// The system's lock that this thread left out, whose unlock it skips.
thread_local pthread_rwlock_t *left_out = nullptr;

// Whether the call comes from PAPPL's copy of a job's document.
bool FromAbort(const void *return_address) {
  const auto at = reinterpret_cast<uintptr_t>(return_address);
  return at >= abort_begin && at < abort_end;
}

} // namespace

extern "C" int pthread_rwlock_wrlock(pthread_rwlock_t *lock) {
  const Libc &libc = Real();
  if (lock != system_lock || !FromAbort(__builtin_return_address(0)))
    return libc.wrlock(lock);
  timespec until{};
  clock_gettime(CLOCK_REALTIME, &until);
  until.tv_nsec += kWaitNanoseconds;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_nsec -= 1000000000L;
    ++until.tv_sec;
  }
  if (libc.timedwrlock(lock, &until) == 0)
    return 0;
  left_out = lock;
  return 0;
}

extern "C" int pthread_rwlock_unlock(pthread_rwlock_t *lock) {
  if (lock == left_out) {
    left_out = nullptr;
    return 0;
  }
  return Real().unlock(lock);
}

namespace vellum_app {

bool KeepAbortsFromLockingTheSystem(pappl_system_t *system) {
  void *const copy = dlsym(RTLD_DEFAULT, "_papplJobCopyDocumentData");
  Dl_info info{};
  void *entry = nullptr;
  if (copy == nullptr || dladdr1(copy, &info, &entry, RTLD_DL_SYMENT) == 0 || entry == nullptr)
    return false;
  const auto *symbol = static_cast<const ElfW(Sym) *>(entry);
  if (symbol->st_size == 0)
    return false;
  Real();
  abort_begin = reinterpret_cast<uintptr_t>(copy);
  abort_end = abort_begin + symbol->st_size;
  system_lock = reinterpret_cast<pthread_rwlock_t *>(system);
  return true;
}

} // namespace vellum_app
