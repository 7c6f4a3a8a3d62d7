// Text of BIFF8 records decoded as xlrd decodes it: runs of UTF-16
// (little-endian) decoded strictly, as Python's "utf_16_le" codec does (a
// lone surrogate or an odd final byte fails), and "compressed" runs of one
// byte per character (Latin-1). Texts are kept in UTF-8; lengths are counted
// in code points, as len() counts a str.
#pragma once

#include "common/pyref.hpp"

#include <cstddef>
#include <string>

namespace sheetscan::xls {

// Appends the text of `length` bytes of UTF-16 to *out (when not null) and
// adds its code points to *count; false where Python's codec would fail.
bool decode_utf16(const unsigned char* bytes, size_t length, std::string* out, size_t* count);

// The same for one byte per character.
void decode_latin1(const unsigned char* bytes, size_t length, std::string* out, size_t* count);

// xlrd's unpack_unicode: the string whose character count (of `count_size`
// bytes, 1 or 2) is at `position` of a record of `length` bytes, decoded into
// *out; false where xlrd fails on it. Characters past the record's end are
// left out, as Python's slices leave them.
bool read_record_string(const unsigned char* data, size_t length, size_t position,
                        size_t count_size, std::string* out);

}  // namespace sheetscan::xls
