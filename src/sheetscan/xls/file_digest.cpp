#include "sheetscan/xls/file_digest.hpp"

#include <cerrno>
#include <vector>

#include "common/little_endian.hpp"
#include "common/read_at.hpp"

namespace sheetscan::xls {

namespace {

constexpr uint64_t kPrime1 = 11400714785074694791ULL;
constexpr uint64_t kPrime2 = 14029467366897019727ULL;
constexpr uint64_t kPrime3 = 1609587929392839161ULL;
constexpr uint64_t kPrime4 = 9650029242287828579ULL;
constexpr uint64_t kPrime5 = 2870177450012600261ULL;
constexpr size_t kBlock = 1 << 20;  // a multiple of the 32-byte stripe

uint64_t rotate_left(uint64_t value, int bits) {
  return (value << bits) | (value >> (64 - bits));
}

uint64_t round(uint64_t accumulator, uint64_t input) {
  return rotate_left(accumulator + input * kPrime2, 31) * kPrime1;
}

uint64_t merge(uint64_t hash, uint64_t accumulator) {
  return (hash ^ round(0, accumulator)) * kPrime1 + kPrime4;
}

class Digest {
 public:
  // Whole stripes of 32 bytes.
  void stripes(const unsigned char* bytes, size_t length) {
    for (size_t at = 0; at + 32 <= length; at += 32) {
      for (int lane = 0; lane < 4; ++lane) {
        lanes_[lane] = round(lanes_[lane], common::le64(bytes + at + 8 * lane));
      }
    }
    total_ += length;
  }
  // The bytes after the last whole stripe, and the end.
  uint64_t finish(const unsigned char* tail, size_t length) {
    uint64_t hash;
    total_ += length;
    if (total_ >= 32) {
      hash = rotate_left(lanes_[0], 1) + rotate_left(lanes_[1], 7) + rotate_left(lanes_[2], 12) +
             rotate_left(lanes_[3], 18);
      for (uint64_t lane : lanes_) hash = merge(hash, lane);
    } else {
      hash = kPrime5;
    }
    hash += total_;
    size_t at = 0;
    for (; at + 8 <= length; at += 8) {
      hash = rotate_left(hash ^ round(0, common::le64(tail + at)), 27) * kPrime1 + kPrime4;
    }
    if (at + 4 <= length) {
      hash =
          rotate_left(hash ^ (uint64_t{common::le32(tail + at)} * kPrime1), 23) * kPrime2 + kPrime3;
      at += 4;
    }
    for (; at < length; ++at) hash = rotate_left(hash ^ (tail[at] * kPrime5), 11) * kPrime1;
    hash ^= hash >> 33;
    hash *= kPrime2;
    hash ^= hash >> 29;
    hash *= kPrime3;
    hash ^= hash >> 32;
    return hash;
  }

 private:
  uint64_t lanes_[4] = {kPrime1 + kPrime2, kPrime2, 0, 0 - kPrime1};
  uint64_t total_ = 0;
};

}  // namespace

bool file_digest(int fd, uint64_t* digest, Problem* problem) {
  std::vector<unsigned char> block(kBlock);
  Digest state;
  uint64_t offset = 0;
  size_t filled = 0;  // bytes of `block` read and not yet digested
  for (;;) {
    ssize_t got = common::read_at(fd, block.data() + filled, kBlock - filled, offset);
    if (got < 0) return problem->os_error(errno);
    if (got == 0) break;
    offset += static_cast<uint64_t>(got);
    filled += static_cast<size_t>(got);
    if (filled == kBlock) {
      state.stripes(block.data(), kBlock);
      filled = 0;
    }
  }
  size_t whole = filled - filled % 32;
  state.stripes(block.data(), whole);
  *digest = state.finish(block.data() + whole, filled - whole);
  return true;
}

}  // namespace sheetscan::xls
