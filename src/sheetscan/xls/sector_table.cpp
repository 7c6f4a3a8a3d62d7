#include "sheetscan/xls/sector_table.hpp"

#include "common/little_endian.hpp"

#include <utility>

namespace sheetscan::xls {

void SectorTable::reset(int fd, uint32_t sector_size, std::vector<uint64_t> sector_offsets,
                        const char* name) {
  fd_ = fd;
  sector_size_ = sector_size;
  name_ = name;
  sector_offsets_ = std::move(sector_offsets);
  cache_.assign(kCachedSectors * sector_size, 0);
  cached_.assign(kCachedSectors, UINT64_MAX);
}

bool SectorTable::entry(uint64_t index, uint32_t* value, Problem* problem) {
  uint64_t per_sector = sector_size_ / 4;
  uint64_t sector = index / per_sector;
  if (sector >= sector_offsets_.size()) {
    return problem->reject("%s has no entry for sector %llu", name_,
                           static_cast<unsigned long long>(index));
  }
  size_t slot = static_cast<size_t>(sector % kCachedSectors);
  unsigned char* bytes = cache_.data() + slot * sector_size_;
  if (cached_[slot] != sector) {
    cached_[slot] = UINT64_MAX;  // until the read below succeeds
    if (!read_file(fd_, bytes, sector_size_, sector_offsets_[sector], name_, problem)) return false;
    cached_[slot] = sector;
  }
  *value = common::le32(bytes + (index % per_sector) * 4);
  return true;
}

}  // namespace sheetscan::xls
