// PAPPL 1.4.0 and later (1.4.9 included; no release changes it yet) print
// an image's copies themselves: papplJobFilterImage prints the image again,
// a page each time, while the job has fewer copies completed than it asks
// for, and counts a copy a page. This application hands the copy count to
// the printer (a label printer copies a label itself, as the filter has it
// do), so a PNG or JPEG job with copies=3 printed nine labels; and an image
// that holds several labels, printed through one call a label, printed
// only its first (the copies were all counted after it). Before each
// image, the job is given one copy fewer than it asks for as completed:
// PAPPL prints the image once and counts the job's last copy after it.
// PAPPL 1.3 prints as many pages as the options' copies, which the
// application sets to 1, and counts no copies: nothing is needed there.
//
// At run time: a PNG job with copies=3 logs one page, and its label goes to
// the printer with its copy count.
#include "patches.h"

namespace vellum_app {

void PrintNextImageOnce(pappl_job_t *job) {
#if VELLUM_PAPPL_VERSION >= 10400
  const int copies = papplJobGetCopies(job) > 1 ? papplJobGetCopies(job) : 1;
  papplJobSetCopiesCompleted(job, copies - 1 - papplJobGetCopiesCompleted(job));
#else
  (void)job;
#endif
}

} // namespace vellum_app
