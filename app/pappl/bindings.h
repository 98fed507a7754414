// Whether the application's own definition of a library function is the
// one the library calls: a redefinition holds only while the library calls
// the function through a relocation that the dynamic linker binds, not
// where its build binds the call inside the library (-Bsymbolic-functions,
// link-time optimisation, hidden aliases). Not a patch itself: how the
// patches that define PAPPL's own functions tell whether they are in force.
#ifndef VELLUM_APP_PAPPL_BINDINGS_H
#define VELLUM_APP_PAPPL_BINDINGS_H

#include <string>

namespace vellum_app {

// Whether a loaded library whose file name contains `library` calls the
// function `name`, or takes its address, through a relocation that the
// dynamic linker binds to `ours` (bound already, or to be bound lazily
// where `name` finds `ours`).
bool CallsReach(const std::string &library, const char *name, const void *ours);

} // namespace vellum_app

#endif
