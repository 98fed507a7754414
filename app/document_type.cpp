#include "document_type.h"

#include "print.h"
#include "program_type.h"

namespace vellum_app {

const char *TypeDocument(const unsigned char *header, size_t size, void * /*data*/) {
  switch (DetectProgram(header, size)) {
  case ProgramLanguage::kZpl:
    return kZplFormat;
  case ProgramLanguage::kTspl:
    return kTsplFormat;
  case ProgramLanguage::kNone:
    break;
  }
  return nullptr;
}

} // namespace vellum_app
