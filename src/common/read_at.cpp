#include "common/read_at.hpp"

#include <unistd.h>

#include <cerrno>

namespace common {

static_assert(sizeof(off_t) >= sizeof(uint64_t), "file offsets of 64 bits");

ssize_t read_at(int fd, void* into, size_t count, uint64_t offset) {
  for (;;) {
    ssize_t got = pread(fd, into, count, static_cast<off_t>(offset));
    if (got >= 0 || errno != EINTR) return got;
  }
}

ReadStatus read_exactly(int fd, void* into, size_t length, uint64_t offset) {
  auto* bytes = static_cast<char*>(into);
  while (length > 0) {
    ssize_t got = read_at(fd, bytes, length, offset);
    if (got < 0) return ReadStatus::kError;
    if (got == 0) return ReadStatus::kEndOfFile;
    bytes += got;
    length -= static_cast<size_t>(got);
    offset += static_cast<uint64_t>(got);
  }
  return ReadStatus::kComplete;
}

}  // namespace common
