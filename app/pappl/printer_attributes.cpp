// A printer's own attributes, which PAPPL makes as it makes the printer and
// every Get-Printer-Attributes copies while it holds only the printer's read
// lock (clients that ask at once copy them side by side).
//
// printer-strings-languages-supported (PAPPL 1.3.x; fixed in 1.4.6): PAPPL
// answers Get-Printer-Attributes by adding the languages of the strings
// files to the printer's own attributes rather than to the response. Every
// request adds one more copy (each answer holds the attribute once more
// than the last, and memory grows), and a request that adds one changes
// the list that other clients' requests are copying at that moment: with a
// few clients polling at once the server ends in ippCopyAttributes. Here
// the printer gets the attribute once, as PAPPL makes its attributes and
// before any client can see the printer, and PAPPL's later additions leave
// the attribute as it is: no request changes the printer's attributes.
// Which sets hold it is kept here rather than searched for: libcups
// searches a set with a cursor kept in the set itself, so that two
// searches at once (client threads side by side) may miss an attribute
// that is there, and PAPPL's addition would then go through.
//
// printer-id (PAPPL 1.3.x; fixed in 1.4.3): PAPPL records in a new
// printer's attributes the id it was asked for, 0 for "new", rather than
// the one it then assigns. Get-Printer-Attributes and Get-Printers answer 0
// for every printer added since the start (the state file has the right
// id, so after a restart it is right), and the `delete` sub-command and
// Delete-Printer cannot name the printer. The id is set as soon as PAPPL
// has assigned it.
//
// Both hook libcups calls, which PAPPL makes through the dynamic linker
// however libpappl itself is linked: these definitions come before
// libcups's in the symbol search order. A PAPPL that has neither fault
// builds none of this.
//
// At run time: Get-Printer-Attributes lists the languages once, and a new
// printer's printer-id is the one in its job and page URIs.
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include <dlfcn.h>

#include <cups/ipp.h>

#include "../web.h"
#include "patches.h"

#if VELLUM_PAPPL_VERSION < 10406

namespace {

constexpr char kLanguagesName[] = "printer-strings-languages-supported";

// The library's definition of a function defined here too.
template <typename Function> Function Library(const char *name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

using AddStrings = ipp_attribute_t *(*)(ipp_t *, ipp_tag_t, ipp_tag_t, const char *, int,
                                        const char *, const char *const *);
using AddInteger = ipp_attribute_t *(*)(ipp_t *, ipp_tag_t, ipp_tag_t, const char *, int);

// The printer-id of the printer this thread is making, where PAPPL gave it
// 0; its creation callback then runs on the same thread.
struct Unnumbered {
  ipp_t *attrs = nullptr;
  ipp_attribute_t *id = nullptr;
};
thread_local Unnumbered unnumbered;

// The printers' attribute sets that hold the languages, with the
// attribute, and the printers they belong to; left to the process's end.
std::mutex given_mutex;
std::map<const ipp_t *, ipp_attribute_t *> &Given() {
  static auto *given = new std::map<const ipp_t *, ipp_attribute_t *>;
  return *given;
}
std::map<const pappl_printer_t *, const ipp_t *> &Owners() {
  static auto *owners = new std::map<const pappl_printer_t *, const ipp_t *>;
  return *owners;
}
thread_local ipp_t *making = nullptr; // the attributes of the printer this thread makes

// Gives a printer's attributes, while PAPPL makes them (no client sees
// them yet), the languages PAPPL would add on each request: those of the
// application's strings files.
void GiveLanguages(ipp_t *attrs) {
  static const auto library = Library<AddStrings>("ippAddStrings");
  const std::vector<const char *> &languages = vellum_app::PageLanguages();
  ipp_attribute_t *attr = ippFindAttribute(attrs, kLanguagesName, IPP_TAG_ZERO);
  if (attr == nullptr && library != nullptr)
    attr = library(attrs, IPP_TAG_PRINTER, IPP_TAG_LANGUAGE, kLanguagesName,
                   static_cast<int>(languages.size()), nullptr, languages.data());
  if (attr == nullptr)
    return;
  const std::lock_guard<std::mutex> lock(given_mutex);
  Given()[attrs] = attr;
  making = attrs;
}

} // namespace

// A set of attributes that holds the languages already keeps them as they
// are (a printer's, given them as it was made); others get them.
extern "C" ipp_attribute_t *ippAddStrings(ipp_t *ipp, ipp_tag_t group, ipp_tag_t value_tag,
                                          const char *name, int num_values, const char *language,
                                          const char *const *values) {
  static const auto library = Library<AddStrings>("ippAddStrings");
  if (library == nullptr)
    return nullptr;
  if (ipp != nullptr && name != nullptr && std::strcmp(name, kLanguagesName) == 0) {
    const std::lock_guard<std::mutex> lock(given_mutex);
    const auto given = Given().find(ipp);
    if (given != Given().end())
      return given->second;
  }
  return library(ipp, group, value_tag, name, num_values, language, values);
}

// PAPPL adds printer-id to a printer's attributes while it makes them,
// before the printer is in the system's list.
extern "C" ipp_attribute_t *ippAddInteger(ipp_t *ipp, ipp_tag_t group, ipp_tag_t value_tag,
                                          const char *name, int value) {
  static const auto library = Library<AddInteger>("ippAddInteger");
  if (library == nullptr)
    return nullptr;
  ipp_attribute_t *attr = library(ipp, group, value_tag, name, value);
  if (ipp != nullptr && attr != nullptr && group == IPP_TAG_PRINTER && name != nullptr &&
      std::strcmp(name, "printer-id") == 0) {
    unnumbered = value == 0 ? Unnumbered{ipp, attr} : Unnumbered{};
    GiveLanguages(ipp);
  }
  return attr;
}

namespace vellum_app {

void GiveNewPrinterItsId(pappl_printer_t *printer) {
  // The printer is in the system's list by now: a client may read the
  // attribute as it changes, one aligned integer in place.
  if (unnumbered.id != nullptr)
    ippSetInteger(unnumbered.attrs, &unnumbered.id, 0, papplPrinterGetID(printer));
  unnumbered = {};
  if (making != nullptr) {
    const std::lock_guard<std::mutex> lock(given_mutex);
    Owners()[printer] = making;
  }
  making = nullptr;
}

void ForgetPrinterAttributes(pappl_printer_t *printer) {
  const std::lock_guard<std::mutex> lock(given_mutex);
  const auto owner = Owners().find(printer);
  if (owner == Owners().end())
    return;
  Given().erase(owner->second);
  Owners().erase(owner);
}

} // namespace vellum_app

#else

namespace vellum_app {

void GiveNewPrinterItsId(pappl_printer_t * /*printer*/) {}

void ForgetPrinterAttributes(pappl_printer_t * /*printer*/) {}

} // namespace vellum_app

#endif
