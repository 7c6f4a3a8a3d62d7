#include "sheetscan/xls/compound_file.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "common/little_endian.hpp"

namespace sheetscan::xls {

namespace {

using common::le16;
using common::le32;

constexpr unsigned char kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr size_t kHeaderSize = 512;
constexpr size_t kHeaderListEntries = 109;
constexpr uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr uint32_t kFreeSector = 0xFFFFFFFF;
constexpr uint32_t kListSector = 0xFFFFFFFC;  // marks the sectors of the sector table's list
constexpr uint32_t kNoEntry = 0xFFFFFFFF;
constexpr uint64_t kEntrySize = 128;
constexpr uint8_t kStorageEntry = 1;
constexpr uint8_t kStreamEntry = 2;
constexpr uint8_t kRootEntry = 5;

uint64_t ceil_div(uint64_t value, uint64_t divisor) {
  return (value + divisor - 1) / divisor;
}

// Whether an entry's name is `wanted` (lower-case ASCII) as xlrd compares
// names: its stored byte count less the terminator, cut as a Python slice of
// the 128-byte entry, decoded from UTF-16 and lower-cased. Of all characters
// only ASCII letters and the KELVIN SIGN lower-case to the letters of
// "workbook" and "book".
bool name_is(const unsigned char* entry, uint16_t stored_size, const char* wanted) {
  int64_t end = stored_size == 0 ? 0 : int64_t{stored_size} - 2;
  if (end < 0) end += kEntrySize;
  end = std::min<int64_t>(end, kEntrySize);
  size_t length = std::strlen(wanted);
  if (static_cast<size_t>(end) != 2 * length) return false;
  for (size_t i = 0; i < length; ++i) {
    uint32_t unit = le16(entry + 2 * i);
    bool kelvin = unit == 0x212A && wanted[i] == 'k';
    if (unit >= 'A' && unit <= 'Z') unit += 'a' - 'A';
    if (unit != static_cast<unsigned char>(wanted[i]) && !kelvin) return false;
  }
  return true;
}

}  // namespace

bool CompoundFile::open(int fd, Problem* problem) {
  fd_ = fd;
  problem_ = problem;
  struct stat status;
  if (fstat(fd, &status) != 0) return problem->os_error(errno);
  file_size_ = static_cast<uint64_t>(status.st_size);
  unsigned char header[kHeaderSize];
  size_t got = static_cast<size_t>(std::min<uint64_t>(file_size_, kHeaderSize));
  if (!read_file(fd, header, got, 0, "the compound file's header", problem)) return false;
  if (got < sizeof kSignature || std::memcmp(header, kSignature, sizeof kSignature) != 0) {
    return problem->unsupported("not a compound file");
  }
  if (got < kHeaderSize) {
    return problem->reject("too short for a compound file header (%zu bytes)", got);
  }
  if (le16(header + 28) != 0xFFFE) return problem->reject("the header's byte order mark is wrong");
  // As xlrd reads them: a sector size beyond 1 MiB is taken for 512 bytes, a
  // mini sector larger than a sector for 64 bytes.
  uint32_t shift = le16(header + 30);
  uint32_t mini_shift = le16(header + 32);
  if (shift > 20) shift = 9;
  if (mini_shift > shift) mini_shift = 6;
  if (shift != 9 && shift != 12) return problem->unsupported("sectors of %u bytes", 1u << shift);
  sector_shift_ = shift;
  mini_shift_ = mini_shift;
  uint64_t sector_size = uint64_t{1} << shift;
  // Sector 0 follows the header, which takes a whole sector.
  data_sectors_ = file_size_ > sector_size ? ceil_div(file_size_ - sector_size, sector_size) : 0;
  directory_first_ = le32(header + 48);
  mini_cutoff_ = static_cast<int32_t>(le32(header + 56));
  mini_table_first_ = le32(header + 60);
  return read_difat(header);
}

// The list of the sector table's sectors: 109 in the header, then sectors
// of the list chained by their last entry. Free and end-of-chain entries are
// skipped wherever they stand, and so are sectors past the end of a truncated
// file, as xlrd does; only the sectors that cover the file's own are kept.
bool CompoundFile::read_difat(const unsigned char* header) {
  uint32_t sector_size = 1u << sector_shift_;
  uint32_t per_sector = sector_size / 4;
  uint64_t wanted = ceil_div(data_sectors_, per_sector);
  std::vector<uint64_t> table_sectors;
  auto take = [&](uint32_t id) {
    if (id == kFreeSector || id == kEndOfChain) return true;
    if (id > kLastSectorId) {
      return problem_->reject("the sector table's list holds an invalid sector id (%d)",
                              static_cast<int32_t>(id));
    }
    if (id < data_sectors_ && table_sectors.size() < wanted) {
      table_sectors.push_back(sector_offset(id));
    }
    return true;
  };
  for (size_t i = 0; i < kHeaderListEntries; ++i) {
    if (!take(le32(header + 76 + 4 * i))) return false;
  }
  uint32_t next = le32(header + 68);
  int32_t declared = static_cast<int32_t>(le32(header + 72));
  bool none = declared == 0 && (next == kEndOfChain || next == kFreeSector || next == 0);
  std::vector<unsigned char> sector(sector_size);
  std::vector<bool> seen;
  while (!none && next != kEndOfChain && next != kFreeSector && next != kListSector &&
         table_sectors.size() < wanted) {
    if (next >= data_sectors_) {
      return problem_->reject("the sector table's list runs past the end of the file (sector %u)",
                              next);
    }
    seen.resize(data_sectors_);
    if (seen[next]) return problem_->reject("the sector table's list loops (sector %u)", next);
    seen[next] = true;
    if (!read_sector(next, sector.data())) return false;
    for (uint32_t i = 0; i + 1 < per_sector; ++i) {
      if (!take(le32(sector.data() + 4 * i))) return false;
    }
    next = le32(sector.data() + sector_size - 4);
  }
  sector_table_.reset(fd_, sector_size, std::move(table_sectors), "the sector table");
  return true;
}

bool CompoundFile::read_sector(uint32_t id, unsigned char* into) {
  return read_file(fd_, into, size_t{1} << sector_shift_, sector_offset(id),
                   "the sector table's list", problem_);
}

// The directory's stream: its chain to the end, whole sectors only (a sector
// that the end of the file cuts short ends it).
bool CompoundFile::lay_out_directory() {
  uint64_t sector_size = uint64_t{1} << sector_shift_;
  bool cut = false;
  uint64_t followed;
  auto visit = [&](uint32_t id) {
    cut = cut || sector_offset(id) + sector_size > file_size_;
    if (!cut) directory_.append(sector_offset(id), sector_size);
    return true;
  };
  if (!follow_chain(&sector_table_, directory_first_, data_sectors_, UINT64_MAX, "the directory",
                    problem_, &followed, visit)) {
    return false;
  }
  directory_entries_ = directory_.size() / kEntrySize;
  return true;
}

bool CompoundFile::read_entry(uint32_t index, Entry* entry) {
  if (index >= directory_entries_) {
    return problem_->reject("the directory names entry %u, which it does not hold", index);
  }
  uint64_t offset, run;
  directory_.locate(uint64_t{index} * kEntrySize, &offset, &run);
  if (!read_file(fd_, entry->bytes, kEntrySize, offset, "the directory", problem_)) return false;
  const unsigned char* bytes = entry->bytes;
  entry->name_size = le16(bytes + 64);
  entry->type = bytes[66];
  entry->left = le32(bytes + 68);
  entry->right = le32(bytes + 72);
  entry->child = le32(bytes + 76);
  entry->first_sector = le32(bytes + 116);
  entry->size = le32(bytes + 120);
  return true;
}

// The entries of the root storage in xlrd's order (an in-order walk of the
// tree under the root's child), each visited once: a tree that comes back to
// an entry (a loop, which xlrd follows until its stack overflows, or a
// shortcut, which can make the walk take exponential time) is refused. Finds the first named
// "Workbook" and the first named "Book" before it.
bool CompoundFile::search_root(uint32_t* workbook, uint32_t* book) {
  *workbook = *book = kNoEntry;
  Entry entry;
  if (!read_entry(0, &entry)) return false;
  if (entry.type != kRootEntry) {
    return problem_->reject("the directory does not start with the root entry");
  }
  struct Pending {
    uint32_t index, right;
    bool workbook, book;
  };
  std::vector<Pending> pending;
  std::vector<bool> seen(directory_entries_);
  uint32_t next = entry.child;
  for (;;) {
    while (next <= kLastSectorId) {
      if (!read_entry(next, &entry)) return false;
      if (seen[next]) {
        return problem_->reject("the directory's tree reaches entry %u twice", next);
      }
      seen[next] = true;
      pending.push_back(Pending{next, entry.right,
                                name_is(entry.bytes, entry.name_size, "workbook"),
                                name_is(entry.bytes, entry.name_size, "book")});
      next = entry.left;
    }
    if (pending.empty()) return true;
    Pending visited = pending.back();
    pending.pop_back();
    if (visited.workbook) {
      *workbook = visited.index;
      return true;
    }
    if (visited.book && *book == kNoEntry) *book = visited.index;
    next = visited.right;
  }
}

bool CompoundFile::find_workbook(StreamLayout* layout) {
  uint32_t workbook, book;
  if (!lay_out_directory() || !search_root(&workbook, &book)) return false;
  uint32_t found = workbook != kNoEntry ? workbook : book;
  if (found == kNoEntry) return problem_->reject("the compound file holds no Workbook stream");
  Entry entry;
  if (!read_entry(found, &entry)) return false;
  return lay_out_stream(entry, found == workbook ? "Workbook" : "Book", layout);
}

bool CompoundFile::lay_out_stream(const Entry& entry, const char* name, StreamLayout* layout) {
  if (entry.type == kStorageEntry) return problem_->reject("'%s' is a storage, not a stream", name);
  if (entry.type != kStreamEntry) {
    return problem_->reject("'%s' is not a stream (directory entry type %u)", name, entry.type);
  }
  uint64_t room = file_size_ - kHeaderSize;
  if (entry.size > room || entry.size > INT32_MAX) {
    return problem_->reject("the %s stream claims %u bytes, more than the file holds (%llu)", name,
                            entry.size, static_cast<unsigned long long>(file_size_));
  }
  char what[32];
  std::snprintf(what, sizeof what, "the %s stream", name);
  if (static_cast<int32_t>(entry.size) >= mini_cutoff_) {
    return lay_out_regular(entry.first_sector, entry.size, false, what, layout);
  }
  return lay_out_small(entry, what, layout);
}

// A stream in the file's sectors: as many sectors of its chain as its size
// needs, whole (a record that runs on past the stream's size into the rest
// of its last sector is read there, as xlrd reads it). A chain shorter than
// that ends the stream early where `shorter_allowed` (as xlrd reads the mini
// stream), and is refused elsewhere. A file that ends inside the stream's
// last sectors ends the stream there: the records that it cuts are refused
// when they are read.
bool CompoundFile::lay_out_regular(uint32_t first, uint64_t size, bool shorter_allowed,
                                   const char* what, StreamLayout* layout) {
  uint64_t sector_size = uint64_t{1} << sector_shift_;
  uint64_t needed = ceil_div(size, sector_size);
  uint64_t followed;
  auto visit = [&](uint32_t id) {
    layout->append(sector_offset(id), sector_size);
    return true;
  };
  if (!follow_chain(&sector_table_, first, data_sectors_, needed, what, problem_, &followed,
                    visit)) {
    return false;
  }
  if (followed < needed && !shorter_allowed) {
    return problem_->reject("%s declares %llu bytes, but its chain holds %llu", what,
                            static_cast<unsigned long long>(size),
                            static_cast<unsigned long long>(followed * sector_size));
  }
  layout->truncate(layout->present_before(file_size_));
  return true;
}

// The root entry's stream, which holds the small streams, and the mini
// sector table that chains its pieces; read once, when a small stream is.
bool CompoundFile::open_mini_stream() {
  if (mini_stream_open_) return true;
  mini_stream_open_ = true;
  Entry root;
  if (!read_entry(0, &root)) return false;
  if (static_cast<int32_t>(root.first_sector) >= 0 && root.size > 0) {
    if (!lay_out_regular(root.first_sector, root.size, true, "the mini stream", &mini_stream_)) {
      return false;
    }
    mini_stream_.truncate(root.size);
  }
  uint32_t sector_size = 1u << sector_shift_;
  uint64_t wanted =
      ceil_div(ceil_div(mini_stream_.size(), uint64_t{1} << mini_shift_), sector_size / 4);
  std::vector<uint64_t> table_sectors;
  bool cut = false;
  auto visit = [&](uint32_t id) {
    cut = cut || sector_offset(id) + sector_size > file_size_;
    if (!cut) table_sectors.push_back(sector_offset(id));
    return true;
  };
  uint64_t followed;
  if (wanted && !follow_chain(&sector_table_, mini_table_first_, data_sectors_, wanted,
                              "the mini sector table", problem_, &followed, visit)) {
    return false;
  }
  mini_table_.reset(fd_, sector_size, std::move(table_sectors), "the mini sector table");
  return true;
}

// A stream kept in the mini stream: its pieces chained by the mini sector
// table, as xlrd reads them: each piece takes its share of the stream's size
// (a whole mini sector, less for the last), and gives the bytes of it that
// the mini stream holds, none for a piece past its end; a chain shorter than
// the size ends the stream early.
bool CompoundFile::lay_out_small(const Entry& entry, const char* what, StreamLayout* layout) {
  if (!open_mini_stream()) return false;
  uint64_t piece_size = uint64_t{1} << mini_shift_;
  uint64_t needed = ceil_div(entry.size, piece_size);
  uint64_t counted = 0;  // of the stream's size
  auto visit = [&](uint32_t id) {
    uint64_t start = id * piece_size;
    uint64_t share = std::min(piece_size, entry.size - counted);
    counted += share;
    uint64_t end = std::min(start + share, mini_stream_.size());
    for (uint64_t at = start; at < end;) {
      uint64_t offset, run;
      mini_stream_.locate(at, &offset, &run);
      uint64_t length = std::min(run, end - at);
      layout->append(offset, length);
      at += length;
    }
    return true;
  };
  uint64_t followed;
  return follow_chain(&mini_table_, entry.first_sector, mini_table_.size(), needed, what, problem_,
                      &followed, visit);
}

}  // namespace sheetscan::xls
