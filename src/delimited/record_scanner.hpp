// The byte-level record scanner behind the native row count of delimited
// files: pure C++, no Python objects, safe to run without the interpreter lock.
//
// It reads a UTF-8 file through its descriptor with pread, from offset 0, in
// blocks of a fixed size, and follows the states of the interpreter's csv
// reader (record_rules.hpp) over the text that a universal-newline text file
// yields ("\r\n", "\r" and "\n" each end one line). It counts the records that
// hold at least one field and locates the first of them. Whatever it cannot
// reproduce exactly (invalid UTF-8, a NUL byte, a field that may exceed the
// field size limit, a file that changes size, a read error) makes it give up,
// so that the caller reads the file the ordinary way.
//
// The scan is the portable scanner (byte_scanner.hpp), with the SSE2
// accelerator (sse2_groups.hpp) taking 64 bytes at a time where it can.
#pragma once

#include "common/read_at.hpp"

#include <cstddef>
#include <cstdint>

#include "record_rules.hpp"

namespace delimited {

struct ScanOptions {
  // An ASCII delimiter and quote character that the record rules hold for.
  RecordDialect dialect;
  int64_t field_limit;  // csv.field_size_limit(), in characters
  size_t block_size;    // bytes read at a time, at least 1
  bool scalar_only;     // the portable scanner even where SSE2 exists
};

enum class ScanOutcome {
  kCounted,
  kInvalidText,  // not UTF-8, or a NUL byte
  kFieldLimit,   // a field may be longer than the field size limit
  kFileChanged,  // the size changed while it was read, or it is not what fstat said
  kReadFailed,   // pread failed, or no memory for the block buffer
};

struct ScanResult {
  ScanOutcome outcome = ScanOutcome::kReadFailed;
  uint64_t records = 0;      // records holding at least one field
  uint64_t first_begin = 0;  // byte range of the first of them: whole lines,
  uint64_t first_end = 0;    // from its first line's start to its last line's end
};

// Scans the regular file open on `fd` of `size` bytes (as fstat reported).
// Never throws.
ScanResult scan_records(int fd, uint64_t size, const ScanOptions& options) noexcept;

}  // namespace delimited
