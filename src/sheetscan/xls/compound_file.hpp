// The compound file that holds an .xls workbook: a header, the sector table
// (the chains of the file's sectors), the list of the sector table's own
// sectors, the directory of named entries, and the mini stream (the root
// entry's stream, which holds streams shorter than a cutoff in 64-byte
// pieces chained by the mini sector table). What is kept is what locating
// one stream needs: the list of the sector table's sectors (one entry per
// 128 sectors of the file), a few table sectors at a time, and the layout of
// the directory and of the mini stream.
//
// Chains are followed with a bound: one that loops, or runs past the file or
// past its table, is refused, and so is a stream that declares more bytes
// than the file or its chain hold. Inconsistencies that leave every stream
// well defined (counts in the header, a chain longer than its stream, a
// sector used by two streams, pieces of a small stream past the end of the
// mini stream, which xlrd reads as empty) are passed over.
#pragma once

#include "sheetscan/xls/sector_table.hpp"
#include "sheetscan/xls/stream_reader.hpp"

#include <cstdint>
#include <string>

namespace sheetscan::xls {

class CompoundFile {
 public:
  // Reads the header and the list of the sector table's sectors. A file
  // without the compound file signature is unsupported (xlrd reads bare BIFF
  // streams); damage to the header is refused.
  bool open(int fd, Problem* problem);
  // The layout of the workbook's stream: the first root entry named
  // "Workbook" in the directory's order, else the first named "Book", with
  // names compared as xlrd compares them.
  bool find_workbook(StreamLayout* layout);

 private:
  struct Entry {
    unsigned char bytes[128];  // xlrd may read a name into the fields after it
    uint16_t name_size;
    uint8_t type;
    uint32_t left, right, child, first_sector, size;
  };

  bool read_difat(const unsigned char* header);
  uint64_t sector_offset(uint32_t id) const { return (uint64_t{id} + 1) << sector_shift_; }
  bool read_sector(uint32_t id, unsigned char* into);
  bool lay_out_directory();
  bool read_entry(uint32_t index, Entry* entry);
  bool search_root(uint32_t* workbook, uint32_t* book);
  bool lay_out_stream(const Entry& entry, const char* name, StreamLayout* layout);
  bool lay_out_regular(uint32_t first, uint64_t size, bool shorter_allowed, const char* what,
                       StreamLayout* layout);
  bool open_mini_stream();
  bool lay_out_small(const Entry& entry, const char* what, StreamLayout* layout);

  int fd_ = -1;
  Problem* problem_ = nullptr;
  uint64_t file_size_ = 0;
  uint32_t sector_shift_ = 9;
  uint32_t mini_shift_ = 6;
  uint64_t data_sectors_ = 0;  // sectors that start inside the file
  uint32_t directory_first_ = 0;
  int32_t mini_cutoff_ = 4096;  // streams shorter than this live in the mini stream
  uint32_t mini_table_first_ = 0;
  SectorTable sector_table_;
  StreamLayout directory_;
  uint64_t directory_entries_ = 0;
  bool mini_stream_open_ = false;
  StreamLayout mini_stream_;
  SectorTable mini_table_;
};

}  // namespace sheetscan::xls
