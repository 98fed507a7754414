// The values the media and printing defaults forms offer, checked before
// PAPPL takes a form (the settings guards ask, settings_guards.cpp).
#ifndef VELLUM_APP_PAPPL_FORM_VALUES_H
#define VELLUM_APP_PAPPL_FORM_VALUES_H

#include <string>

#include <pappl/pappl.h>

namespace vellum_app {

// The name of the first field of a form posted to `uri` whose value the
// page does not offer, or an empty text (also for the other pages).
std::string RefusedFormField(pappl_system_t *system, const char *uri, int num_form,
                             cups_option_t *form);

} // namespace vellum_app

#endif
