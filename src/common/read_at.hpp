// Reading a file at an offset, as every reader of the extensions does:
// through the descriptor with pread, so that the file's position (which the
// caller's file object may rely on) is left alone. Pure C++: safe to call
// without the interpreter lock.
#pragma once

// Python.h first (through pyref.hpp): it asks for 64-bit file offsets on
// 32-bit systems, which the readers need.
#include "common/pyref.hpp"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace common {

// Reads up to `count` bytes at `offset` into `into`, retrying calls that a
// signal interrupted; returns the bytes read (0 at the end of the file), or
// -1 with errno set.
ssize_t read_at(int fd, void* into, size_t count, uint64_t offset);

enum class ReadStatus {
  kComplete,
  kEndOfFile,  // the file ends before `length` bytes
  kError,      // errno says why
};

// Reads exactly `length` bytes at `offset` into `into`.
ReadStatus read_exactly(int fd, void* into, size_t length, uint64_t offset);

}  // namespace common
