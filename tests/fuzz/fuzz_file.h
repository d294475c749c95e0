// The fuzz targets' way of handing bytes to a reader that takes a file name: an anonymous file in
// memory, named through /proc, so that no run touches the disk.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace korvane::fuzz {

class MemoryFile {
 public:
  MemoryFile() : fd_(memfd_create("korvane-fuzz", MFD_CLOEXEC)) {}
  ~MemoryFile() {
    if (fd_ >= 0) close(fd_);
  }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;

  // Replaces the content with `size` bytes; false when the file cannot take them.
  bool Fill(const uint8_t* data, size_t size) {
    if (fd_ < 0 || ftruncate(fd_, 0) != 0) return false;
    size_t done = 0;
    while (done < size) {
      const ssize_t n = pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  // A name that opens this file afresh, at its start.
  std::string Path() const { return "/proc/self/fd/" + std::to_string(fd_); }

 private:
  int fd_;
};

}  // namespace korvane::fuzz
