#include "sheetscan/xls/records.hpp"

#include "common/little_endian.hpp"

namespace sheetscan::xls {

bool RecordReader::next(Record* record) {
  uint64_t offset = stream_->position();
  if (stream_->remaining() < 4) {
    return problem_->reject(
        "the workbook stream ends at offset %llu, before the EOF record of "
        "a record list",
        static_cast<unsigned long long>(offset));
  }
  const unsigned char* header = stream_->peek(4);
  if (!header) return false;
  uint16_t type = common::le16(header);
  uint16_t length = common::le16(header + 2);
  if (stream_->remaining() - 4 < length) {
    // An EOF record's bytes are never used: one that claims more than the
    // stream holds ends its record list all the same, as it does for xlrd.
    if (type != record_type::kEof) {
      return problem_->reject(
          "record 0x%04X at offset %llu is %u bytes long, past the end of "
          "the workbook stream (%llu bytes)",
          type, static_cast<unsigned long long>(offset), length,
          static_cast<unsigned long long>(stream_->size()));
    }
    length = static_cast<uint16_t>(stream_->remaining() - 4);
  }
  read_ += 4 + uint64_t{length};
  if (read_ > most_) {
    return problem_->reject(
        "the worksheets overlap: reading them takes more than %llu bytes of "
        "a %llu-byte stream",
        static_cast<unsigned long long>(most_), static_cast<unsigned long long>(stream_->size()));
  }
  const unsigned char* bytes = stream_->peek(4 + size_t{length});
  if (!bytes) return false;
  stream_->advance(4 + size_t{length});
  *record = Record{type, length, bytes + 4, offset};
  return true;
}

bool RecordReader::peek_type(uint16_t* type, bool* at_end) {
  *at_end = stream_->remaining() < 4;
  if (*at_end) return true;
  const unsigned char* header = stream_->peek(4);
  if (!header) return false;
  *type = common::le16(header);
  return true;
}

}  // namespace sheetscan::xls
