#include "whole_file.h"

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace vellum_app {

namespace {

// Flushes a file or a folder to the disk.
bool Flush(const std::string &path, int flags) {
  const int fd = open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0)
    return false;
  const bool flushed = fsync(fd) == 0;
  return close(fd) == 0 && flushed;
}

// The folder of a path ("." for a bare name).
std::string FolderOf(const std::string &path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

bool WriteFileWhole(const std::string &path,
                    const std::function<bool(const std::string &temporary)> &write) {
  const std::string temporary = path + ".new";
  if (!write(temporary) || !Flush(temporary, O_RDONLY) ||
      std::rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    return false;
  }
  return Flush(FolderOf(path), O_RDONLY | O_DIRECTORY);
}

bool WriteFileWhole(const std::string &path, const std::string &text) {
  return WriteFileWhole(path, [&text](const std::string &temporary) {
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
      return false;
    size_t written = 0;
    while (written < text.size()) {
      const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0)
        break;
      written += static_cast<size_t>(n);
    }
    return close(fd) == 0 && written == text.size();
  });
}

} // namespace vellum_app
