// PAPPL's listing of network printers without an Avahi daemon (PAPPL 1.3.x
// and 1.4.0 to 1.4.2; fixed in 1.4.3, whose change log names a "DNS-SD
// device list crash", and 1.4.9 asks for no browser without a client).
//
// PAPPL lists DNS-SD printers (the "Add Printer" page, the `devices`
// sub-command) by asking Avahi for a service browser with the client it
// made at start-up. Without a daemon that client is null, and Avahi's
// browser constructor asserts on a null client: the whole process aborts.
// This definition comes before the library's in the symbol search order, so
// PAPPL's call lands here: without a client there is no browser (as Avahi
// reports any failure), and the listing shows no network printers; with one,
// the library's own constructor runs. At run time: without a daemon, the
// log has PAPPL's "Unable to initialize DNS-SD" and the server lists no
// network printers where it would otherwise have ended.
#include <dlfcn.h>

#include <avahi-client/lookup.h>

#if VELLUM_PAPPL_VERSION < 10403

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

#endif
