#include "common/pyref.hpp"  // Python.h first in every unit

#include "sheetscan/xlsb/record_fields.hpp"

#include "common/little_endian.hpp"

namespace sheetscan {
namespace xlsb {

namespace {

void append_utf8(uint32_t code, std::string* text) {
  if (code < 0x80) {
    text->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    text->push_back(static_cast<char>(0xC0 | (code >> 6)));
    text->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    text->push_back(static_cast<char>(0xE0 | (code >> 12)));
    text->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    text->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    text->push_back(static_cast<char>(0xF0 | (code >> 18)));
    text->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    text->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    text->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

}  // namespace

bool read_u8(const std::string& data, size_t* offset, uint32_t* value) {
  if (*offset >= data.size()) return false;
  *value = static_cast<unsigned char>(data[(*offset)++]);
  return true;
}

bool read_u16(const std::string& data, size_t* offset, uint32_t* value) {
  if (*offset > data.size() || data.size() - *offset < 2) return false;
  *value = common::le16(reinterpret_cast<const unsigned char*>(data.data() + *offset));
  *offset += 2;
  return true;
}

bool read_u32(const std::string& data, size_t* offset, uint32_t* value) {
  if (*offset > data.size() || data.size() - *offset < 4) return false;
  *value = common::le32(reinterpret_cast<const unsigned char*>(data.data() + *offset));
  *offset += 4;
  return true;
}

bool read_f64(const std::string& data, size_t* offset, double* value) {
  if (*offset > data.size() || data.size() - *offset < 8) return false;
  *value = common::le_double(reinterpret_cast<const unsigned char*>(data.data() + *offset));
  *offset += 8;
  return true;
}

bool read_wide_string(const std::string& data, size_t* offset, std::string* text) {
  uint32_t count;
  if (!read_u32(data, offset, &count)) return false;
  if (count > (data.size() - *offset) / 2) return false;
  text->clear();
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t unit = 0;
    read_u16(data, offset, &unit);
    if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < count) {
      size_t peek = *offset;
      uint32_t low = 0;
      read_u16(data, &peek, &low);
      if (low >= 0xDC00 && low < 0xE000) {
        *offset = peek;
        ++i;
        append_utf8(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00), text);
        continue;
      }
    }
    append_utf8(unit >= 0xD800 && unit < 0xE000 ? 0xFFFD : unit, text);
  }
  return true;
}

}  // namespace xlsb
}  // namespace sheetscan
