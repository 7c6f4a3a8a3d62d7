// The fields of a binary workbook's record: little-endian integers and
// doubles, and the length-prefixed UTF-16 strings (XLWideString), read from
// the record's bytes at *offset, which each call moves past the field; false
// when the record ends first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace sheetscan {
namespace xlsb {

bool read_u8(const std::string& data, size_t* offset, uint32_t* value);
bool read_u16(const std::string& data, size_t* offset, uint32_t* value);
bool read_u32(const std::string& data, size_t* offset, uint32_t* value);
bool read_f64(const std::string& data, size_t* offset, double* value);
// The string as UTF-8; lone surrogates become U+FFFD.
bool read_wide_string(const std::string& data, size_t* offset, std::string* text);

}  // namespace xlsb
}  // namespace sheetscan
