#include "common/pyref.hpp"  // Python.h first in every unit

#include "sheetscan/xlsx/cell_text.hpp"

#include <cstring>

namespace sheetscan {
namespace xlsx {

namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Skips the digits at `at`; returns how many there were.
size_t skip_digits(const std::string& text, size_t* at) {
  size_t start = *at;
  while (*at < text.size() && is_digit(text[*at])) ++*at;
  return *at - start;
}

void skip_sign(const std::string& text, size_t* at) {
  if (*at < text.size() && (text[*at] == '+' || text[*at] == '-')) ++*at;
}

}  // namespace

bool parse_digits(const char* text, size_t length, size_t longest, uint64_t* value) {
  if (length == 0 || length > longest) return false;
  uint64_t result = 0;
  for (size_t i = 0; i < length; ++i) {
    if (!is_digit(text[i])) return false;
    result = result > (UINT64_MAX - 9) / 10 ? UINT64_MAX : result * 10 + (text[i] - '0');
  }
  *value = result;
  return true;
}

bool is_plain_number(const std::string& text) {
  size_t at = 0;
  skip_sign(text, &at);
  size_t integer_digits = skip_digits(text, &at), fraction_digits = 0;
  bool is_float = false;
  if (at < text.size() && text[at] == '.') {
    is_float = true;
    ++at;
    fraction_digits = skip_digits(text, &at);
  }
  if (integer_digits + fraction_digits == 0) return false;
  if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
    is_float = true;
    ++at;
    skip_sign(text, &at);
    if (skip_digits(text, &at) == 0) return false;
  }
  return at == text.size() && (is_float || integer_digits <= kLongestInteger);
}

bool is_plain_integer(const std::string& text) {
  size_t sign = !text.empty() && (text[0] == '+' || text[0] == '-') ? 1 : 0;
  uint64_t ignored;
  return parse_digits(text.data() + sign, text.size() - sign, kLongestInteger, &ignored);
}

bool reference_column(const char* reference, uint64_t* column) {
  size_t letters = 0;
  uint64_t result = 0;
  for (; letters < 3; ++letters) {
    char c = reference[letters];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c < 'A' || c > 'Z') break;
    result = result * 26 + static_cast<uint64_t>(c - 'A' + 1);
  }
  uint64_t row;
  const char* digits = reference + letters;
  if (letters == 0 || !parse_digits(digits, std::strlen(digits), kLongestRowNumber, &row)) {
    return false;
  }
  *column = result;
  return true;
}

}  // namespace xlsx
}  // namespace sheetscan
