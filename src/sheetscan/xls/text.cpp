#include "sheetscan/xls/text.hpp"

#include "common/little_endian.hpp"

namespace sheetscan::xls {

namespace {

void append_utf8(uint32_t code_point, std::string* out) {
  if (code_point < 0x80) {
    out->push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code_point >> 6)));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code_point >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code_point >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

bool is_high_surrogate(uint32_t unit) {
  return unit >= 0xD800 && unit < 0xDC00;
}
bool is_low_surrogate(uint32_t unit) {
  return unit >= 0xDC00 && unit < 0xE000;
}

}  // namespace

bool decode_utf16(const unsigned char* bytes, size_t length, std::string* out, size_t* count) {
  if (length % 2) return false;
  size_t units = length / 2;
  for (size_t i = 0; i < units; ++i) {
    uint32_t unit = common::le16(bytes + 2 * i);
    if (is_high_surrogate(unit)) {
      uint32_t low = i + 1 < units ? common::le16(bytes + 2 * i + 2) : 0;
      if (!is_low_surrogate(low)) return false;
      unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
      ++i;
    } else if (is_low_surrogate(unit)) {
      return false;
    }
    if (out) append_utf8(unit, out);
    ++*count;
  }
  return true;
}

void decode_latin1(const unsigned char* bytes, size_t length, std::string* out, size_t* count) {
  if (out) {
    for (size_t i = 0; i < length; ++i) append_utf8(bytes[i], out);
  }
  *count += length;
}

bool read_record_string(const unsigned char* data, size_t length, size_t position,
                        size_t count_size, std::string* out) {
  out->clear();
  if (position + count_size > length) return false;
  size_t characters = count_size == 1 ? data[position] : common::le16(data + position);
  if (characters == 0) return true;  // with or without the options byte, as xlrd allows
  position += count_size;
  if (position >= length) return false;
  unsigned char options = data[position++];
  if (options & 0x08) position += 2;  // rich-text run count
  if (options & 0x04) position += 4;  // phonetic block size
  size_t wide = options & 0x01 ? 2 : 1;
  size_t end = position + wide * characters;
  if (end > length) end = length;
  size_t available = position < end ? end - position : 0;
  size_t count = 0;
  if (wide == 2) return decode_utf16(data + position, available, out, &count);
  decode_latin1(data + position, available, out, &count);
  return true;
}

}  // namespace sheetscan::xls
