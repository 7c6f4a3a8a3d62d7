// The records of a binary workbook part (.xlsb): a type and a length, each a
// little-endian base-128 number (the type of one or two bytes, the length of
// up to four), then the record's bytes. Records the caller wants are handed
// over whole; the others are skipped as they stream past, so memory stays
// bounded by the largest wanted record.
#pragma once

#include "sheetscan/zip/member_reader.hpp"

#include <cstdint>
#include <string>

namespace sheetscan {
namespace xlsb {

class RecordReader {
 public:
  // `wanted(type)` tells which records are read whole; the others are skipped.
  bool open(const ZipArchive& archive, const std::string& name, bool (*wanted)(uint32_t type));
  // The next wanted record; *type is UINT32_MAX at the end of the part.
  bool next(uint32_t* type, std::string* data);

 private:
  void next_in_chunk(uint32_t* type, std::string* data, bool* done);
  bool byte(unsigned char* value, bool* at_end);
  bool number(int most_bytes, uint32_t* value, bool* at_end);
  bool skip_or_keep(uint32_t length, bool keep, std::string* data);
  bool cut_short();
  MemberReader member_;
  bool (*wanted_)(uint32_t type) = nullptr;
  const char* chunk_ = nullptr;
  size_t chunk_left_ = 0;
};

}  // namespace xlsb
}  // namespace sheetscan
