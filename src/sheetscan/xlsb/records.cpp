#include "sheetscan/xlsb/records.hpp"

namespace sheetscan {
namespace xlsb {

namespace {

// No record that is read whole comes near this; a longer one means a damaged part.
constexpr uint32_t kLongestWantedRecord = 16 << 20;

// Decodes a base-128 number of at most `most_bytes` bytes from `bytes`
// (`available` of them); returns the bytes used, 0 when it does not end there.
size_t decode_number(const char* bytes, size_t available, int most_bytes, uint32_t* value) {
  *value = 0;
  for (size_t i = 0; i < available && i < static_cast<size_t>(most_bytes); ++i) {
    auto next = static_cast<unsigned char>(bytes[i]);
    *value |= static_cast<uint32_t>(next & 0x7F) << (7 * i);
    if (!(next & 0x80)) return i + 1;
  }
  return 0;
}

}  // namespace

bool RecordReader::open(const ZipArchive& archive, const std::string& name,
                        bool (*wanted)(uint32_t type)) {
  wanted_ = wanted;
  return member_.open(archive, name);
}

bool RecordReader::byte(unsigned char* value, bool* at_end) {
  while (chunk_left_ == 0) {
    if (!member_.next(&chunk_, &chunk_left_)) return false;
    if (chunk_left_ == 0) {
      *at_end = true;
      return true;
    }
  }
  *value = static_cast<unsigned char>(*chunk_++);
  --chunk_left_;
  return true;
}

bool RecordReader::number(int most_bytes, uint32_t* value, bool* at_end) {
  *value = 0;
  for (int i = 0; i < most_bytes; ++i) {
    unsigned char next;
    if (!byte(&next, at_end)) return false;
    if (*at_end) return i == 0 ? true : cut_short();
    *value |= static_cast<uint32_t>(next & 0x7F) << (7 * i);
    if (!(next & 0x80)) return true;
  }
  return member_.context().reject("%s: a record header is damaged", member_.name().c_str());
}

// The common case: the record's header and bytes lie whole in the current chunk.
void RecordReader::next_in_chunk(uint32_t* type, std::string* data, bool* done) {
  uint32_t length;
  size_t type_bytes = decode_number(chunk_, chunk_left_, 2, type);
  size_t length_bytes =
      type_bytes ? decode_number(chunk_ + type_bytes, chunk_left_ - type_bytes, 4, &length) : 0;
  if (!length_bytes || length > chunk_left_ - type_bytes - length_bytes) return;
  const char* record = chunk_ + type_bytes + length_bytes;
  chunk_ = record + length;
  chunk_left_ -= type_bytes + length_bytes + length;
  if (wanted_(*type)) {
    data->assign(record, length);
    *done = true;
  }
}

bool RecordReader::next(uint32_t* type, std::string* data) {
  for (;;) {
    bool done = false;
    while (chunk_left_ >= 2 && !done) {
      size_t before = chunk_left_;
      next_in_chunk(type, data, &done);
      if (chunk_left_ == before) break;  // the record runs into the next chunk
    }
    if (done) return true;
    bool at_end = false;
    uint32_t length;
    if (!number(2, type, &at_end)) return false;
    if (at_end) {
      *type = UINT32_MAX;
      return true;
    }
    if (!number(4, &length, &at_end)) return false;
    if (at_end) return cut_short();
    bool keep = wanted_(*type);
    if (keep && length > kLongestWantedRecord) {
      return member_.context().reject("%s: a record of impossible length %lu",
                                      member_.name().c_str(), static_cast<unsigned long>(length));
    }
    if (!skip_or_keep(length, keep, data)) return false;
    if (keep) return true;
  }
}

// The record's `length` bytes, across chunks: into *data when `keep`, else skipped.
bool RecordReader::skip_or_keep(uint32_t length, bool keep, std::string* data) {
  if (keep) data->clear();
  while (length > 0) {
    if (chunk_left_ == 0) {
      if (!member_.next(&chunk_, &chunk_left_)) return false;
      if (chunk_left_ == 0) return cut_short();
    }
    size_t step = chunk_left_ < length ? chunk_left_ : length;
    if (keep) data->append(chunk_, step);
    chunk_ += step;
    chunk_left_ -= step;
    length -= static_cast<uint32_t>(step);
  }
  return true;
}

bool RecordReader::cut_short() {
  return member_.context().reject("%s: a record is cut short", member_.name().c_str());
}

}  // namespace xlsb
}  // namespace sheetscan
