// Keeps the server alive where the Avahi daemon is not running.
//
// PAPPL lists DNS-SD printers (the "Add Printer" page, the `devices`
// sub-command) by asking Avahi for a service browser with the client it
// made at start-up. Without a daemon that client is null, and Avahi's
// browser constructor asserts on a null client: the whole process aborts.
// This definition comes before the library's in the symbol search order, so
// PAPPL's call lands here: without a client there is no browser (as Avahi
// reports any failure), and the listing shows no network printers; with one,
// the library's own constructor runs.
#include <dlfcn.h>

#include <avahi-client/lookup.h>

extern "C" AvahiServiceBrowser *
avahi_service_browser_new(AvahiClient *client, AvahiIfIndex interface, AvahiProtocol protocol,
                          const char *type, const char *domain, AvahiLookupFlags flags,
                          AvahiServiceBrowserCallback callback, void *userdata) {
  using Constructor =
      AvahiServiceBrowser *(*)(AvahiClient *, AvahiIfIndex, AvahiProtocol, const char *,
                               const char *, AvahiLookupFlags, AvahiServiceBrowserCallback, void *);
  static const auto library =
      reinterpret_cast<Constructor>(dlsym(RTLD_NEXT, "avahi_service_browser_new"));
  if (client == nullptr || library == nullptr)
    return nullptr;
  return library(client, interface, protocol, type, domain, flags, callback, userdata);
}
