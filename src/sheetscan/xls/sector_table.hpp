// The tables of a compound file that chain its sectors into streams: the
// sector table over the file's sectors and the mini sector table over the
// 64-byte pieces of the mini stream. Each is a list of 32-bit entries spread
// over sectors of the file; entries are read a sector at a time when asked
// for and a few sectors are cached, so that a table is never held whole.
#pragma once

#include "sheetscan/xls/problem.hpp"

#include <cstdint>
#include <vector>

namespace sheetscan::xls {

// Entry values above this one end a chain: end of chain, free, or the
// markers of the tables' own sectors.
constexpr uint32_t kLastSectorId = 0x7FFFFFFF;

class SectorTable {
 public:
  // `sector_offsets`: the file offset of each of the table's sectors, in order.
  void reset(int fd, uint32_t sector_size, std::vector<uint64_t> sector_offsets, const char* name);
  // The entry at `index`; false, with the problem set, when the table has
  // none or its sector cannot be read.
  bool entry(uint64_t index, uint32_t* value, Problem* problem);
  // How many entries the table has.
  uint64_t size() const { return sector_offsets_.size() * (sector_size_ / 4); }

 private:
  static constexpr size_t kCachedSectors = 16;
  int fd_ = -1;
  uint32_t sector_size_ = 0;
  const char* name_ = "";
  std::vector<uint64_t> sector_offsets_;
  std::vector<unsigned char> cache_;  // kCachedSectors sectors
  std::vector<uint64_t> cached_;      // which table sector each slot holds
};

// Follows the chain of `table` that starts at `first`, handing each sector id
// to visit(id) (which returns false to stop with its problem set), for at most
// `most` sectors or to the chain's end. A sector id of `count` or more, or one
// met twice, is refused: the chain would run past its container or loop.
// *followed is the number of sectors visited.
template <typename Visit>
bool follow_chain(SectorTable* table, uint32_t first, uint64_t count, uint64_t most,
                  const char* what, Problem* problem, uint64_t* followed, Visit visit) {
  std::vector<uint64_t> seen((count + 63) / 64);
  uint32_t id = first;
  *followed = 0;
  while (*followed < most && id <= kLastSectorId) {
    if (id >= count) {
      return problem->reject("%s runs past the end of its container (sector %u of %llu)", what, id,
                             static_cast<unsigned long long>(count));
    }
    uint64_t bit = uint64_t{1} << (id % 64);
    if (seen[id / 64] & bit) return problem->reject("%s loops (sector %u comes twice)", what, id);
    seen[id / 64] |= bit;
    ++*followed;
    if (!visit(id)) return false;
    if (*followed < most && !table->entry(id, &id, problem)) return false;
  }
  return true;
}

}  // namespace sheetscan::xls
