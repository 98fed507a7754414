// Reads a loaded library's procedure linkage relocations and its other
// dynamic relocations from its dynamic section, as the dynamic linker does,
// to see which of its calls, and which function addresses it takes, reach
// functions defined elsewhere.
#include "bindings.h"

#include <cstring>

#include <dlfcn.h>
#include <elf.h>
#include <link.h>

namespace vellum_app {

namespace {

#if __ELF_NATIVE_CLASS == 64
#define VELLUM_R_SYM ELF64_R_SYM
#define VELLUM_R_TYPE ELF64_R_TYPE
#else
#define VELLUM_R_SYM ELF32_R_SYM
#define VELLUM_R_TYPE ELF32_R_TYPE
#endif

// The relocation types of a call through the procedure linkage table and
// of a function's address taken through the global offset table.
#if defined(__x86_64__)
constexpr unsigned kJumpSlot = R_X86_64_JUMP_SLOT, kGlobDat = R_X86_64_GLOB_DAT;
#elif defined(__i386__)
constexpr unsigned kJumpSlot = R_386_JMP_SLOT, kGlobDat = R_386_GLOB_DAT;
#elif defined(__aarch64__)
constexpr unsigned kJumpSlot = R_AARCH64_JUMP_SLOT, kGlobDat = R_AARCH64_GLOB_DAT;
#elif defined(__arm__)
constexpr unsigned kJumpSlot = R_ARM_JUMP_SLOT, kGlobDat = R_ARM_GLOB_DAT;
#else
#error "the relocation type of a PLT call on this processor is not known here"
#endif

struct Search {
  const std::string *library;
  const char *name;
  const void *ours;
  bool found_library = false, reaches = false;
};

// A dynamic section's address: the dynamic linker turns some into
// addresses in place, others stay offsets from the library's base.
template <typename T> T At(ElfW(Addr) value, ElfW(Addr) base) {
  return reinterpret_cast<T>(value < base ? base + value : value);
}

// Whether the relocation binds `name` to ours: the slot holds our
// function, or (bound lazily) the dynamic linker finds ours for the name.
template <typename Rel>
bool Reaches(const Rel *rel, size_t count, const ElfW(Sym) * symbols, const char *strings,
             ElfW(Addr) base, const Search &search) {
  for (size_t i = 0; i < count; ++i) {
    const auto type = VELLUM_R_TYPE(rel[i].r_info);
    if (type != kJumpSlot && type != kGlobDat)
      continue;
    const ElfW(Sym) &symbol = symbols[VELLUM_R_SYM(rel[i].r_info)];
    if (std::strcmp(strings + symbol.st_name, search.name) != 0)
      continue;
    const void *slot = *reinterpret_cast<void *const *>(base + rel[i].r_offset);
    return slot == search.ours || dlsym(RTLD_DEFAULT, search.name) == search.ours;
  }
  return false;
}

int Visit(dl_phdr_info *info, size_t /*size*/, void *data) {
  auto *search = static_cast<Search *>(data);
  if (info->dlpi_name == nullptr ||
      std::strstr(info->dlpi_name, search->library->c_str()) == nullptr)
    return 0;
  search->found_library = true;
  const ElfW(Dyn) *dynamic = nullptr;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i)
    if (info->dlpi_phdr[i].p_type == PT_DYNAMIC)
      dynamic = reinterpret_cast<const ElfW(Dyn) *>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
  if (dynamic == nullptr)
    return 1;
  const ElfW(Addr) base = info->dlpi_addr;
  ElfW(Addr) symtab = 0, strtab = 0, jmprel = 0, pltrelsz = 0, pltrel = 0;
  ElfW(Addr) rela = 0, relasz = 0, rel = 0, relsz = 0; // the other dynamic relocations
  for (const ElfW(Dyn) *d = dynamic; d->d_tag != DT_NULL; ++d) {
    switch (d->d_tag) {
    case DT_SYMTAB:
      symtab = d->d_un.d_ptr;
      break;
    case DT_STRTAB:
      strtab = d->d_un.d_ptr;
      break;
    case DT_JMPREL:
      jmprel = d->d_un.d_ptr;
      break;
    case DT_PLTRELSZ:
      pltrelsz = d->d_un.d_val;
      break;
    case DT_PLTREL:
      pltrel = d->d_un.d_val;
      break;
    case DT_RELA:
      rela = d->d_un.d_ptr;
      break;
    case DT_RELASZ:
      relasz = d->d_un.d_val;
      break;
    case DT_REL:
      rel = d->d_un.d_ptr;
      break;
    case DT_RELSZ:
      relsz = d->d_un.d_val;
      break;
    default:
      break;
    }
  }
  if (symtab == 0 || strtab == 0)
    return 1;
  const auto *symbols = At<const ElfW(Sym) *>(symtab, base);
  const auto *strings = At<const char *>(strtab, base);
  search->reaches = jmprel == 0 ? false
                    : pltrel == DT_RELA
                        ? Reaches(At<const ElfW(Rela) *>(jmprel, base),
                                  pltrelsz / sizeof(ElfW(Rela)), symbols, strings, base, *search)
                        : Reaches(At<const ElfW(Rel) *>(jmprel, base), pltrelsz / sizeof(ElfW(Rel)),
                                  symbols, strings, base, *search);
  if (!search->reaches && rela != 0)
    search->reaches = Reaches(At<const ElfW(Rela) *>(rela, base), relasz / sizeof(ElfW(Rela)),
                              symbols, strings, base, *search);
  if (!search->reaches && rel != 0)
    search->reaches = Reaches(At<const ElfW(Rel) *>(rel, base), relsz / sizeof(ElfW(Rel)), symbols,
                              strings, base, *search);
  return 1;
}

} // namespace

bool CallsReach(const std::string &library, const char *name, const void *ours) {
  Search search{&library, name, ours};
  dl_iterate_phdr(Visit, &search);
  return search.found_library && search.reaches;
}

} // namespace vellum_app
