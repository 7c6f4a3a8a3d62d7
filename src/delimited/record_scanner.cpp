// The record scanner (see record_scanner.hpp): the file read in blocks and
// fed to the portable scanner, with the SSE2 accelerator first where the
// machine has it.
#include "record_scanner.hpp"

#include <sys/stat.h>

#include <cstring>
#include <memory>
#include <new>

#include "byte_scanner.hpp"
#include "sse2_groups.hpp"

namespace delimited {

namespace {

// Follows the bytes buf[0, avail), the first of them at file offset `base`.
// Returns how many were used: all of them, or fewer when a multi-byte
// character goes on in the next block (the caller passes the rest again).
size_t feed(ByteScanner& scanner, const ScanOptions& options, const unsigned char* buf,
            size_t avail, uint64_t base, bool at_end) {
  size_t pos = 0;
#if defined(__SSE2__)
  if (!options.scalar_only && !Sse2Groups::follow(scanner, buf, pos, avail, base, at_end))
    return pos;
#else
  (void)options;
#endif
  return scanner.follow(buf, pos, avail, base, at_end);
}

// 3 when the file starts with the UTF-8 byte order mark (which the
// "utf-8-sig" decoder drops), else 0; -1 on a read error.
int byte_order_mark_length(int fd) {
  unsigned char head[3];
  size_t have = 0;
  while (have < sizeof head) {
    ssize_t got = common::read_at(fd, head + have, sizeof head - have, have);
    if (got < 0) return -1;
    if (got == 0) break;
    have += static_cast<size_t>(got);
  }
  return have == 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF ? 3 : 0;
}

// Feeds the file to the scanner block by block; returns the offset reached
// (the file's end when nothing failed).
uint64_t feed_blocks(int fd, uint64_t start, uint64_t size, const ScanOptions& options,
                     size_t block, ByteScanner& scanner) {
  // Room for one block and the up to three bytes of a character cut by the
  // previous block's end.
  std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[block + 3]);
  if (!buffer) {
    scanner.fail(ScanOutcome::kReadFailed);
    return start;
  }
  uint64_t base = start, offset = start;
  size_t carried = 0;
  for (;;) {
    ssize_t got = common::read_at(fd, buffer.get() + carried, block, offset);
    if (got < 0) {
      scanner.fail(ScanOutcome::kReadFailed);
      return offset;
    }
    offset += static_cast<uint64_t>(got);
    if (offset > size) {
      scanner.fail(ScanOutcome::kFileChanged);
      return offset;
    }
    // Once `size` bytes are in, no read is needed to see the end: the size
    // is checked again after the scan.
    const bool at_end = got == 0 || offset == size;
    size_t avail = carried + static_cast<size_t>(got);
    size_t used = feed(scanner, options, buffer.get(), avail, base, at_end);
    if (scanner.failure() != ScanOutcome::kCounted || at_end) return offset;
    carried = avail - used;
    std::memmove(buffer.get(), buffer.get() + used, carried);
    base += used;
  }
}

}  // namespace

ScanResult scan_records(int fd, uint64_t size, const ScanOptions& options) noexcept {
  ScanResult failed;
  int bom = byte_order_mark_length(fd);
  if (bom < 0) return failed;
  uint64_t start = static_cast<uint64_t>(bom);
  ByteScanner scanner(options, start);
  // A block no larger than the file: a small file needs no large buffer.
  size_t block = options.block_size ? options.block_size : 1;
  if (size - start < block) block = size - start > 0 ? static_cast<size_t>(size - start) : 1;
  uint64_t end = feed_blocks(fd, start, size, options, block, scanner);
  if (scanner.failure() != ScanOutcome::kCounted) return scanner.result();

  struct stat after;
  if (end != size || fstat(fd, &after) != 0 || static_cast<uint64_t>(after.st_size) != size) {
    scanner.fail(ScanOutcome::kFileChanged);
    return scanner.result();
  }
  scanner.finish(end);
  return scanner.result();
}

}  // namespace delimited
