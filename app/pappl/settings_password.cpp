// The settings behind PAPPL's web password where the settings guards are
// not in force (the fault they mend: PAPPL 1.3.x and 1.4.x, 1.4.9 included,
// take every client's settings forms without an authentication service or
// a web password; no release fixes it yet).
//
// A libpappl that binds its own authorisation calls (linked with
// -Bsymbolic-functions, as Ubuntu links its packages) asks none of the
// guards of settings_guards.cpp. There the server sets PAPPL's own web
// password, one no one knows, new at every start (unless the owner lets
// other machines in with web-remote and has set one): other machines print
// as before, the settings pages ask them for the password, and PAPPL
// refuses them IPP administration without an authentication service. This
// machine's browser is signed in by itself (/vellum-sign-in, which the
// pages' footer script opens). At run time: the log and every page say
// that the settings ask for the web password.
#include <cstdio>
#include <string>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "patches.h"

namespace vellum_app {

std::string NewWebPassword() {
  unsigned char bytes[32];
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  const bool got = fd >= 0 && read(fd, bytes, sizeof bytes) == static_cast<ssize_t>(sizeof bytes);
  if (fd >= 0)
    close(fd);
  if (!got)
    return "";
  std::string text;
  char hex[3];
  for (const unsigned char b : bytes) {
    std::snprintf(hex, sizeof hex, "%02x", b);
    text += hex;
  }
  return text;
}

namespace {

// Whether the client is on this machine: the loopback interface or the
// server's local socket.
bool OnThisMachine(pappl_client_t *client) {
  http_t *http = papplClientGetHTTP(client);
  const http_addr_t *address = http != nullptr ? httpGetAddress(http) : nullptr;
  return address != nullptr && (httpAddrFamily(const_cast<http_addr_t *>(address)) == AF_LOCAL ||
                                httpAddrLocalhost(address) != 0);
}

// The page to go back to after signing in: a path of this server from the
// query "then=/PATH", else the front page.
std::string PageAfter(const char *query) {
  const std::string text = query != nullptr ? query : "";
  if (text.rfind("then=", 0) != 0)
    return "/";
  std::string path;
  for (size_t i = 5; i < text.size(); ++i) {
    unsigned value = 0;
    if (text[i] == '%' && i + 2 < text.size() &&
        std::sscanf(text.c_str() + i + 1, "%2x", &value) == 1)
      i += 2;
    else
      value = static_cast<unsigned char>(text[i]);
    const char c = static_cast<char>(value);
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '/' || c == '-' || c == '_' || c == '.';
    if (!plain)
      return "/";
    path += c;
  }
  return path.size() > 1 && path[0] == '/' && path[1] != '/' ? path : "/";
}

// /vellum-sign-in: signs this machine's browser in, as PAPPL's own sign-in
// does once the password is given (its "auth" cookie, the hash of the
// session key and the password's hash), and goes back to the page.
bool SignIn(pappl_client_t *client, void * /*data*/) {
  if (!OnThisMachine(client))
    return papplClientRespond(client, HTTP_STATUS_FORBIDDEN, nullptr, nullptr, 0, 0);
  pappl_system_t *system = papplClientGetSystem(client);
  char key[65], hash[100];
  const std::string text = std::string(papplSystemGetSessionKey(system, key, sizeof key)) + ":" +
                           papplSystemGetPassword(system, hash, sizeof hash);
  unsigned char digest[32];
  char cookie[65];
  cupsHashData("sha2-256", text.data(), text.size(), digest, sizeof digest);
  cupsHashString(digest, sizeof digest, cookie, sizeof cookie);
  papplClientSetCookie(client, "auth", cookie, 3600);
  return papplClientRespondRedirect(client, HTTP_STATUS_FOUND,
                                    PageAfter(papplClientGetOptions(client)).c_str());
}

} // namespace

void GuardSettingsWithPassword(pappl_system_t *system, bool web_remote,
                               const std::string &password) {
  char saved[100];
  papplSystemGetPassword(system, saved, sizeof saved);
  char hash[100];
  if ((!web_remote || saved[0] == '\0') &&
      papplSystemHashPassword(system, nullptr, password.c_str(), hash, sizeof hash) != nullptr)
    papplSystemSetPassword(system, hash);
  papplSystemAddResourceCallback(system, "/vellum-sign-in", "text/html", SignIn, nullptr);
}

} // namespace vellum_app
