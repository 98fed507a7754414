// Untyped documents: PAPPL types an application/octet-stream document (what
// `lp -o raw`, CUPS's raw queues and many Windows and web clients send) by
// its first bytes, and asks the application after its own formats.
#ifndef VELLUM_APP_DOCUMENT_TYPE_H
#define VELLUM_APP_DOCUMENT_TYPE_H

#include <cstddef>

namespace vellum_app {

// PAPPL's typing of untyped documents (application/octet-stream), after its
// own (PDF, PostScript, JPEG, PNG, PWG and Apple raster): ZPL and TSPL
// programs; nullptr for anything else.
const char *TypeDocument(const unsigned char *header, size_t size, void *data);

} // namespace vellum_app

#endif
