// Documents as they are submitted: a refusal, as it is sent, of a document
// the printer does not print.
#ifndef VELLUM_APP_DOCUMENT_FORMATS_H
#define VELLUM_APP_DOCUMENT_FORMATS_H

#include <pappl/pappl.h>

namespace vellum_app {

// Keeps the formats the printer takes for the check at submission; called
// as PAPPL creates a printer, also one loaded from the saved state.
void RememberDocumentFormats(pappl_printer_t *printer);

// Ends, as canceled with the reason, the printer's jobs whose only document
// was refused (Create-Job, then Send-Document) and that got no other within
// the multiple-operation-time-out (60 s): PAPPL keeps them held for good.
void EndRefusedJobs(pappl_printer_t *printer);

} // namespace vellum_app

#endif
