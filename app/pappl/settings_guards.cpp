// Who may change the server's settings (PAPPL 1.3.x and 1.4.x, 1.4.9
// included; no release fixes it yet).
//
// Without an authentication service or a web password, PAPPL takes every
// client's settings forms and buttons alike, from any machine, and stores
// what they hold: its papplClientHTMLAuthorize lets every client through.
// Here this machine may change settings, and other machines only once the
// owner turns on remote administration (the "web-remote" server option),
// and a form may hold only values its page offers (form_values.cpp).
//
// PAPPL's pages ask papplClientHTMLAuthorize before they show or take a
// form and papplClientIsValidForm before they act on one, its IPP
// operations ask papplClientIsAuthorized; the definitions here come before
// the library's in the symbol search order, so PAPPL asks them first, and
// they ask the library's own for everything they let through. That holds
// only while PAPPL calls them through the dynamic linker, not where its
// build binds the calls inside libpappl. GuardsNotInForce tells at run time
// (bindings.cpp); where they are not in force the server says so in its log
// and on every page, and guards the settings otherwise: with PAPPL's web
// password (settings_password.cpp) or an authentication service, else by
// serving this machine only (system.cpp).
#include <dlfcn.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "bindings.h"
#include "form_values.h"
#include "patches.h"

namespace {

// Whether the client may change settings: it connected over the loopback
// interface, or the owner allows other machines.
bool MayAdminister(pappl_client_t *client) {
  if ((papplSystemGetOptions(papplClientGetSystem(client)) & PAPPL_SOPTIONS_WEB_REMOTE) != 0)
    return true;
  http_t *http = papplClientGetHTTP(client);
  return http != nullptr && httpAddrLocalhost(httpGetAddress(http)) != 0;
}

// The library's definition of a function defined here too.
template <typename Function> Function Library(const char *name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

void Refuse(pappl_client_t *client) {
  if (!papplClientRespond(client, HTTP_STATUS_FORBIDDEN, nullptr, "text/html", 0, 0))
    return;
  papplClientHTMLHeader(client, "Forbidden", 0);
  papplClientHTMLPuts(client,
                      "    <div class=\"content\">\n"
                      "      <h1 class=\"title\">Forbidden</h1>\n"
                      "      <p>The settings of this printer server can be changed from its own "
                      "machine (http://localhost) only. The owner allows other machines with the "
                      "server option <code>web-remote</code>.</p>\n"
                      "    </div>\n");
  papplClientHTMLFooter(client);
}

} // namespace

// Web forms: a page that says why.
extern "C" bool papplClientHTMLAuthorize(pappl_client_t *client) {
  static const auto library = Library<bool (*)(pappl_client_t *)>("papplClientHTMLAuthorize");
  if (!MayAdminister(client)) {
    Refuse(client);
    return false;
  }
  return library != nullptr && library(client);
}

// IPP's administrative operations.
extern "C" http_status_t papplClientIsAuthorized(pappl_client_t *client) {
  static const auto library =
      Library<http_status_t (*)(pappl_client_t *)>("papplClientIsAuthorized");
  if (!MayAdminister(client))
    return HTTP_STATUS_FORBIDDEN;
  return library != nullptr ? library(client) : HTTP_STATUS_FORBIDDEN;
}

// Every web form, also the printer page's buttons (pause, hold new jobs,
// test page), which PAPPL takes with a valid form alone. PAPPL answers
// "Invalid form submission." to another machine's form and to one with a
// value its page does not offer, and changes nothing.
extern "C" bool papplClientIsValidForm(pappl_client_t *client, int num_form, cups_option_t *form) {
  static const auto library =
      Library<bool (*)(pappl_client_t *, int, cups_option_t *)>("papplClientIsValidForm");
  if (!MayAdminister(client) || library == nullptr || !library(client, num_form, form))
    return false;
  pappl_system_t *system = papplClientGetSystem(client);
  const std::string refused =
      vellum_app::RefusedFormField(system, papplClientGetURI(client), num_form, form);
  if (!refused.empty()) {
    papplLog(system, PAPPL_LOGLEVEL_WARN, "Refused the form for %s: %s is none of its choices.",
             papplClientGetURI(client), refused.c_str());
    return false;
  }
  return true;
}

std::vector<std::string> vellum_app::GuardsNotInForce() {
  const char *named = std::getenv("VELLUM_GUARDED_LIBRARY");
  const std::string library = named != nullptr && *named != '\0' ? named : "libpappl.so";
  const struct {
    const char *name;
    const void *ours;
  } guards[] = {
      {"papplClientHTMLAuthorize", reinterpret_cast<const void *>(&papplClientHTMLAuthorize)},
      {"papplClientIsAuthorized", reinterpret_cast<const void *>(&papplClientIsAuthorized)},
      {"papplClientIsValidForm", reinterpret_cast<const void *>(&papplClientIsValidForm)},
  };
  std::vector<std::string> missing;
  for (const auto &guard : guards)
    if (!CallsReach(library, guard.name, guard.ours))
      missing.push_back(guard.name);
  return missing;
}
