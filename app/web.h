// The web pages' texts: readable names for the drivers' sizes and the
// owner's settings, and the footer of every page.
#ifndef VELLUM_APP_WEB_H
#define VELLUM_APP_WEB_H

#include <string>
#include <vector>

#include <pappl/pappl.h>

namespace vellum_app {

// Adds the names in every language of PAPPL's pages, and the footer, with
// the notice (when there is one) on every page.
void SetUpWebPages(pappl_system_t *system, const std::string &notice);

// The languages of those names (printer-strings-languages-supported), in
// the order PAPPL lists its strings files.
const std::vector<const char *> &PageLanguages();

} // namespace vellum_app

#endif
