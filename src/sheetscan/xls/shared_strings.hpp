// The shared string table (an SST record and the CONTINUE records after it)
// decoded as xlrd decodes it: a string's characters may go on in the next
// record, which then starts with its own width flag; rich-text runs and
// phonetic blocks are skipped; each piece of UTF-16 is decoded on its own, so
// a surrogate pair split by a record boundary fails, as it does in xlrd. A
// declared count larger than the strings present is passed over (xlrd fails
// on it): the table holds the strings up to the end of its records.
//
// Kept: one bit per string (empty or not), the texts of the first strings
// while they are short, and where the table starts, so that the texts of
// other strings are read again when asked for; never the whole table.
#pragma once

#include "sheetscan/xls/records.hpp"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sheetscan::xls {

// More strings than this are refused: a table beyond any real workbook's.
constexpr uint64_t kMaxSharedStrings = uint64_t{1} << 24;

class SharedStrings {
 public:
  // Reads the table whose SST record `records` has just given, with the
  // CONTINUE records that follow it; a later table replaces an earlier one.
  bool read(RecordReader* records, const Record& sst, Problem* problem);
  size_t size() const { return empty_.size(); }
  bool is_empty(size_t index) const { return empty_[index]; }
  // Fills in the text of each index of `wanted` (all below size()); texts
  // of more than `most_bytes` in all are refused.
  bool texts(RecordReader* records, std::map<uint32_t, std::string>* wanted, size_t most_bytes,
             Problem* problem) const;

 private:
  uint64_t table_offset_ = 0;  // of the SST record, in the stream
  std::vector<bool> empty_;
  std::vector<std::string> first_;  // texts of the first strings
  size_t first_bytes_ = 0;
};

}  // namespace sheetscan::xls
