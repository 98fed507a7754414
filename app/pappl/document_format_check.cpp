// PAPPL's check of a document's format at submission (PAPPL 1.3.x and
// 1.4.x, 1.4.9 included; no release fixes it yet).
//
// PAPPL checks a document's format against document-format-supported among
// the printer's own attributes, where that attribute never is (it is among
// the driver's). So every format is accepted, an untyped document that
// nothing recognises too, and a job whose format nothing prints is aborted
// as it starts: its client was told it was taken, and CUPS shows such a job
// completed. libcups's ippFindAttribute, asked by PAPPL for
// document-format-supported in a printer's own attributes, answers here
// with the printer's formats (kept as PAPPL creates the printer), so that
// PAPPL's check refuses at once what the printer does not print. A PAPPL
// that finds the attribute itself never reaches this answer. PAPPL calls
// libcups through the dynamic linker, always.
//
// PAPPL refuses with client-error-attributes-or-values-not-supported and
// words that name no reason; papplClientRespondIPPUnsupported, defined here
// too, answers a refused document-format with
// client-error-document-format-not-supported and says what the document is
// and what the printer prints. That holds where PAPPL calls its own function
// through the dynamic linker, as Debian's does; elsewhere PAPPL's own answer
// still refuses the document. A job whose only document was refused
// (Create-Job, then Send-Document) PAPPL keeps held for good: it is ended,
// canceled, after the multiple-operation-time-out.
//
// At run time: a document the printer does not print is refused with
// client-error-document-format-not-supported and the reason, where PAPPL
// alone takes it and aborts its job.
//
// The printers' formats and the refused jobs are the process's: libcups's
// ippFindAttribute, called from PAPPL's client threads, reaches nothing
// else (one server a process).
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "../models.h"
#include "../print.h"
#include "../program_type.h"
#include "patches.h"

namespace vellum_app {

namespace {

// What a printer takes, as PAPPL lists it, and its language.
struct PrinterFormats {
  ipp_t *holder = nullptr;              // never changed once kept
  ipp_attribute_t *supported = nullptr; // its document-format-supported
  bool zpl = true;
};

// The printers' formats by printer name (PAPPL's own attributes of a new
// printer hold printer-id 0; names are unique and never change). Never
// freed: PAPPL's client threads may look them up until the process ends.
std::mutex &FormatsMutex() {
  static auto *mutex = new std::mutex;
  return *mutex;
}
std::map<std::string, PrinterFormats> &Formats() {
  static auto *formats = new std::map<std::string, PrinterFormats>;
  return *formats;
}
// The formats of printers deleted and made again under their name, which a
// client thread may still be reading.
std::vector<ipp_t *> &Replaced() {
  static auto *replaced = new std::vector<ipp_t *>;
  return *replaced;
}

// The kept formats of a printer, or nothing when it is not known.
bool FindFormats(const char *printer, PrinterFormats *found) {
  if (printer == nullptr)
    return false;
  const std::lock_guard<std::mutex> lock(FormatsMutex());
  const auto it = Formats().find(printer);
  if (it == Formats().end())
    return false;
  *found = it->second;
  return true;
}

// Jobs whose document was refused by Send-Document: printer and job id,
// why, and when.
struct RefusedJob {
  int printer_id, job_id;
  std::string why;
  std::chrono::steady_clock::time_point when;
};
std::vector<RefusedJob> &RefusedJobs() {
  static auto *jobs = new std::vector<RefusedJob>;
  return *jobs;
}

// What PAPPL's printers advertise as multiple-operation-time-out.
constexpr std::chrono::seconds kDocumentTimeOut{60};

// The language a document format is a program in, if it is one.
ProgramLanguage FormatLanguage(const char *format) {
  if (format != nullptr && std::strcmp(format, kZplFormat) == 0)
    return ProgramLanguage::kZpl;
  if (format != nullptr && std::strcmp(format, kTsplFormat) == 0)
    return ProgramLanguage::kTspl;
  return ProgramLanguage::kNone;
}

// Why a printer refuses a document of `format` (`detected` in an untyped
// one, nullptr where nothing was recognised).
std::string Refusal(bool printer_zpl, const char *format, const char *detected) {
  const char *language = printer_zpl ? "ZPL" : "TSPL";
  const std::string prints =
      std::string("It prints PDF, PNG, JPEG, PWG and Apple raster and ") + language + " programs.";
  const char *what = detected != nullptr ? detected : format;
  const ProgramLanguage program = FormatLanguage(what);
  if (program != ProgramLanguage::kNone)
    return std::string("This is a ") + language + " printer: it does not print " +
           (program == ProgramLanguage::kZpl ? "ZPL" : "TSPL") + " programs.";
  if (format != nullptr && std::strcmp(format, "application/octet-stream") == 0 &&
      detected == nullptr)
    return "The document is in no format this printer knows. " + prints;
  return std::string("This printer does not print ") + (what != nullptr ? what : "these") +
         " documents. " + prints;
}

} // namespace

void RememberDocumentFormats(pappl_printer_t *printer) {
  PrinterFormats kept;
  ipp_t *driver_attrs = papplPrinterGetDriverAttributes(printer);
  if (ipp_attribute_t *supported =
          ippFindAttribute(driver_attrs, "document-format-supported", IPP_TAG_MIMETYPE)) {
    kept.holder = ippNew();
    kept.supported = ippCopyAttribute(kept.holder, supported, 0);
  }
  ippDelete(driver_attrs);
  if (kept.supported == nullptr)
    return;
  pappl_pr_driver_data_t driver;
  papplPrinterGetDriverData(printer, &driver);
  const auto *model = static_cast<const PrinterModel *>(driver.extension);
  kept.zpl = model == nullptr || IsZpl(*model);
  const std::lock_guard<std::mutex> lock(FormatsMutex());
  PrinterFormats &entry = Formats()[papplPrinterGetName(printer)];
  if (entry.holder != nullptr)
    Replaced().push_back(entry.holder);
  entry = kept;
}

void EndRefusedJobs(pappl_printer_t *printer) {
  const int id = papplPrinterGetID(printer);
  const auto now = std::chrono::steady_clock::now();
  std::vector<RefusedJob> due;
  {
    const std::lock_guard<std::mutex> lock(FormatsMutex());
    std::vector<RefusedJob> &jobs = RefusedJobs();
    for (auto it = jobs.begin(); it != jobs.end();) {
      if (it->printer_id == id && now - it->when >= kDocumentTimeOut) {
        due.push_back(*it);
        it = jobs.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const RefusedJob &refused : due) {
    pappl_job_t *job = papplPrinterFindJob(printer, refused.job_id);
    // A job that got a document since prints as any other.
    if (job == nullptr || papplJobGetFilename(job) != nullptr ||
        papplJobGetState(job) != IPP_JSTATE_HELD)
      continue;
    papplJobSetMessage(job, "Its document was refused: %s", refused.why.c_str());
    papplJobCancel(job);
  }
}

// Keeps a job whose document Send-Document refused, to end it.
void NoteRefusedJob(pappl_client_t *client, const std::string &why) {
  if (papplClientGetOperation(client) != IPP_OP_SEND_DOCUMENT ||
      papplClientGetJob(client) == nullptr)
    return;
  const int printer_id = papplPrinterGetID(papplClientGetPrinter(client));
  const int job_id = papplJobGetID(papplClientGetJob(client));
  const std::lock_guard<std::mutex> lock(FormatsMutex());
  std::vector<RefusedJob> &jobs = RefusedJobs();
  // A job refused again is kept once, from its first refusal.
  if (std::none_of(jobs.begin(), jobs.end(), [&](const RefusedJob &refused) {
        return refused.printer_id == printer_id && refused.job_id == job_id;
      }))
    jobs.push_back({printer_id, job_id, why, std::chrono::steady_clock::now()});
}

void ForgetRefusedJobs(int printer_id) {
  const std::lock_guard<std::mutex> lock(FormatsMutex());
  std::vector<RefusedJob> &jobs = RefusedJobs();
  jobs.erase(std::remove_if(jobs.begin(), jobs.end(),
                            [printer_id](const RefusedJob &refused) {
                              return refused.printer_id == printer_id;
                            }),
             jobs.end());
}

} // namespace vellum_app

namespace {

template <typename Function> Function Library(const char *name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

} // namespace

// PAPPL's lookup of the formats a printer takes, answered where it finds
// none (see above); every other lookup is libcups's own.
extern "C" ipp_attribute_t *ippFindAttribute(ipp_t *ipp, const char *name, ipp_tag_t type) {
  using Find = ipp_attribute_t *(*)(ipp_t *, const char *, ipp_tag_t);
  static const auto library = Library<Find>("ippFindAttribute");
  if (library == nullptr)
    return nullptr;
  ipp_attribute_t *found = library(ipp, name, type);
  if (found != nullptr || ipp == nullptr || name == nullptr || type != IPP_TAG_MIMETYPE ||
      std::strcmp(name, "document-format-supported") != 0)
    return found;
  // A printer's own attributes hold its name.
  ipp_attribute_t *printer = library(ipp, "printer-name", IPP_TAG_NAME);
  vellum_app::PrinterFormats formats;
  if (printer == nullptr || !vellum_app::FindFormats(ippGetString(printer, 0, nullptr), &formats))
    return nullptr;
  return formats.supported;
}

// PAPPL's answer to an attribute it refuses: for a document-format that is
// well-formed but not printed here, document-format-not-supported with the
// reason; everything else as PAPPL answers it.
extern "C" void papplClientRespondIPPUnsupported(pappl_client_t *client, ipp_attribute_t *attr) {
  using Respond = void (*)(pappl_client_t *, ipp_attribute_t *);
  static const auto library = Library<Respond>("papplClientRespondIPPUnsupported");
  vellum_app::PrinterFormats formats;
  const char *name = ippGetName(attr);
  if (name == nullptr || std::strcmp(name, "document-format") != 0 || ippGetCount(attr) != 1 ||
      ippGetValueTag(attr) != IPP_TAG_MIMETYPE || ippGetGroupTag(attr) != IPP_TAG_OPERATION ||
      !vellum_app::FindFormats(papplPrinterGetName(papplClientGetPrinter(client)), &formats)) {
    if (library != nullptr)
      library(client, attr);
    return;
  }
  const char *format = ippGetString(attr, 0, nullptr);
  const char *detected = ippGetString(
      ippFindAttribute(papplClientGetRequest(client), "document-format-detected", IPP_TAG_MIMETYPE),
      0, nullptr);
  const std::string why = vellum_app::Refusal(formats.zpl, format, detected);
  papplClientRespondIPP(client, IPP_STATUS_ERROR_DOCUMENT_FORMAT_NOT_SUPPORTED, "%s", why.c_str());
  vellum_app::NoteRefusedJob(client, why);
  ipp_attribute_t *copy = ippCopyAttribute(papplClientGetResponse(client), attr, 0);
  ippSetGroupTag(papplClientGetResponse(client), &copy, IPP_TAG_UNSUPPORTED_GROUP);
}
