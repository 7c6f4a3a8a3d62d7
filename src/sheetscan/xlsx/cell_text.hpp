// The spellings that the XML worksheet pass checks in cells' texts: digits,
// numbers as openpyxl converts them, and cell references.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace sheetscan {
namespace xlsx {

// Python's int() of more digits than this fails from 3.11 on (and is never sensible).
constexpr size_t kLongestInteger = 4000;
constexpr size_t kLongestRowNumber = 18;

// Digits only, as many as `longest`, into *value (saturating).
bool parse_digits(const char* text, size_t length, size_t longest, uint64_t* value);

// The spellings of numbers that openpyxl's _cast_number turns into an int or
// a float, limited to those written by spreadsheet programs:
// [+-] digits [. digits] [e [+-] digits], or [+-] . digits [e ...].
bool is_plain_number(const std::string& text);

// [+-] digits.
bool is_plain_integer(const std::string& text);

// Column of a cell reference such as "B12" (letters, then the row's digits).
bool reference_column(const char* reference, uint64_t* column);

}  // namespace xlsx
}  // namespace sheetscan
