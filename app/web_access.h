// Who may change the server's settings: the guards of the web pages and of
// IPP administration, and whether PAPPL calls them.
#ifndef VELLUM_APP_WEB_ACCESS_H
#define VELLUM_APP_WEB_ACCESS_H

#include <string>
#include <vector>

namespace vellum_app {

// The guards that PAPPL does not call (none where all hold): it calls its
// own definitions of those. The library checked is libpappl, or the one
// VELLUM_GUARDED_LIBRARY names (the tests name another to see the server
// fail closed).
std::vector<std::string> GuardsNotInForce();

} // namespace vellum_app

#endif
