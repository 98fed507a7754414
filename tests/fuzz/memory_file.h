// Files in memory for the fuzz targets, reached through their descriptor's
// path: no file system work per input and nothing left behind.
#ifndef VELLUM_FUZZ_MEMORY_FILE_H
#define VELLUM_FUZZ_MEMORY_FILE_H

#include <cstdio>
#include <cstdlib>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

struct MemoryFile {
  int fd = -1;
  std::string path;
};

inline MemoryFile NewMemoryFile(const char *name) {
  MemoryFile file;
  file.fd = memfd_create(name, 0);
  if (file.fd < 0) {
    std::perror("memfd_create");
    std::abort();
  }
  file.path = "/proc/self/fd/" + std::to_string(file.fd);
  return file;
}

inline void Fill(const MemoryFile &file, const void *data, size_t size) {
  if (ftruncate(file.fd, 0) != 0 ||
      (size > 0 && pwrite(file.fd, data, size, 0) != static_cast<ssize_t>(size))) {
    std::perror("memory file");
    std::abort();
  }
}

#endif
