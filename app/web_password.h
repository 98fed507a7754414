// The settings behind PAPPL's web password, where PAPPL binds its own
// authorisation calls (a libpappl linked with -Bsymbolic-functions, as
// Ubuntu links its packages) and so asks none of the application's guards.
// Other machines print as before; the settings pages ask them for a
// password, and PAPPL refuses them IPP administration without an
// authentication service. This machine's browser is signed in by itself.
#ifndef VELLUM_APP_WEB_PASSWORD_H
#define VELLUM_APP_WEB_PASSWORD_H

#include <string>

#include <pappl/pappl.h>

namespace vellum_app {

// A password no one knows (32 random bytes in hexadecimal), or "" where the
// system has no randomness to give.
std::string NewWebPassword();

// Sets the web password once PAPPL has loaded its state: `password`, new
// at every start, unless the owner lets other machines in (web-remote) and
// has set one (on the Security page, web-security); and serves the sign-in
// of this machine's browser (/vellum-sign-in).
void GuardSettingsWithPassword(pappl_system_t *system, bool web_remote,
                               const std::string &password);

} // namespace vellum_app

#endif
