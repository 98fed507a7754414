// One printer-strings-languages-supported per printer: PAPPL before 1.4.6
// (Debian's 1.3.1) only; 1.4.6 adds the attribute to the response.
//
// PAPPL 1.3.1 answers Get-Printer-Attributes by adding the languages of the
// strings files to the printer's own attributes rather than to the
// response, so every request adds one more copy: each answer holds the
// attribute once more than the last (which strict clients and ipptool
// reject as a duplicate), and the printer's memory grows with every
// request. This definition comes before libcups's in the symbol search
// order, so PAPPL's call lands here: a set of attributes that holds the
// attribute already gets it in place of the old copy.
#include <cstring>

#include <dlfcn.h>

#include <cups/ipp.h>

#if VELLUM_PAPPL_VERSION < 10406
extern "C" ipp_attribute_t *ippAddStrings(ipp_t *ipp, ipp_tag_t group, ipp_tag_t value_tag,
                                          const char *name, int num_values, const char *language,
                                          const char *const *values) {
  using Add = ipp_attribute_t *(*)(ipp_t *, ipp_tag_t, ipp_tag_t, const char *, int, const char *,
                                   const char *const *);
  static const auto library = reinterpret_cast<Add>(dlsym(RTLD_NEXT, "ippAddStrings"));
  if (library == nullptr)
    return nullptr;
  if (ipp != nullptr && name != nullptr &&
      std::strcmp(name, "printer-strings-languages-supported") == 0) {
    while (ipp_attribute_t *old = ippFindAttribute(ipp, name, IPP_TAG_ZERO))
      ippDeleteAttribute(ipp, old);
  }
  return library(ipp, group, value_tag, name, num_values, language, values);
}
#endif
