// Which cells of the header vote need no number conversion: text that int,
// float and complex all certainly refuse with ValueError is measured instead
// of converted, since calling the types costs far more than a look at the
// characters. The tests hold each answer against the types themselves.
#pragma once

#include <cstdint>

#include "base.hpp"

namespace delimited {

// What an ASCII character can be in a spelling that int(), float() or
// complex() accepts (0: none). Spelled: digits, signs, ".", "_", exponents,
// "j", parentheses, the letters of "inf", "infinity" and "nan", and
// (conservatively) every control character and the space.
enum NumberPart : uint8_t {
  kSpelled = 1,
  kSign = 2,        // "+", "-"
  kImaginary = 4,   // "j", "J"
  kExponent = 8,    // "e", "E"
  kBeforeSign = 16  // may stand before a leading sign: white space, "("
};

class NumberSpelling {
 public:
  constexpr NumberSpelling() : table_() {
    for (int c = 0; c <= ' '; ++c) table_[c] = kSpelled | kBeforeSign;
    for (const char* p = "0123456789._)iInNfFtTyYaA"; *p; ++p) table_[*p & 0x7F] = kSpelled;
    for (const char* p = "+-"; *p; ++p) table_[*p & 0x7F] = kSpelled | kSign;
    for (const char* p = "jJ"; *p; ++p) table_[*p & 0x7F] = kSpelled | kImaginary;
    for (const char* p = "eE"; *p; ++p) table_[*p & 0x7F] = kSpelled | kExponent;
    table_[static_cast<unsigned char>('(')] = kSpelled | kBeforeSign;
  }
  constexpr uint8_t operator()(Py_UCS4 ascii) const { return table_[ascii]; }

 private:
  uint8_t table_[0x80];
};
inline constexpr NumberSpelling number_part;

// False only when int(cell), float(cell) and complex(cell) all certainly
// raise ValueError, so that none of them needs to be called:
// - the cell holds an ASCII character that no accepted spelling contains; or
// - it holds no "j" and a sign that is neither leading (only white space or
//   "(" before it) nor an exponent's (right after "e"): without an imaginary
//   part a number has no other place for a sign.
// Anything else, non-ASCII text included, is converted by the types.
template <typename Text>
bool may_be_number_in(const Text& cell) {
  unsigned seen = 0, previous = 0;
  bool leading = true, inner_sign = false;
  for (Py_ssize_t i = 0; i < cell.length(); ++i) {
    Py_UCS4 c = cell[i];
    if (c >= 0x80) return true;
    unsigned part = number_part(c);
    if (!part) return false;
    seen |= part;
    inner_sign |= (part & kSign) && !leading && !(previous & kExponent);
    leading &= (part & kBeforeSign) != 0;
    previous = part;
  }
  return (seen & kImaginary) || !inner_sign;
}

// False only when int(cell) certainly raises ValueError: an ASCII cell
// holding a character other than digits, signs, "_" and white space (the
// only ones a base-10 integer is spelled with), or a sign after anything but
// white space (an integer has one sign, before its digits).
template <typename Text>
bool may_be_int_in(const Text& cell) {
  bool only_leading = true;
  for (Py_ssize_t i = 0; i < cell.length(); ++i) {
    Py_UCS4 c = cell[i];
    if (c >= 0x80) return true;  // perhaps a digit or white space of another script
    if (c <= ' ') continue;      // perhaps white space
    bool sign = c == '+' || c == '-';
    if (sign && !only_leading) return false;
    if (!sign && !(c >= '0' && c <= '9') && c != '_') return false;
    only_leading = false;
  }
  return true;
}

// The code points of a str, for the prefilters.
class StrText {
 public:
  explicit StrText(PyObject* text)
      : length_(PyUnicode_GET_LENGTH(text)),
        kind_(PyUnicode_KIND(text)),
        data_(PyUnicode_DATA(text)) {}
  Py_ssize_t length() const { return length_; }
  Py_UCS4 operator[](Py_ssize_t i) const { return PyUnicode_READ(kind_, data_, i); }

 private:
  Py_ssize_t length_;
  int kind_;
  const void* data_;
};

// A stretch of code points, for the prefilters.
struct PointText {
  const Py_UCS4* points;
  Py_ssize_t size;
  Py_ssize_t length() const { return size; }
  Py_UCS4 operator[](Py_ssize_t i) const { return points[i]; }
};

// Whether `type` may accept the cell: int has a prefilter of its own.
template <typename Text>
bool may_convert_with(PyObject* type, const Text& cell) {
  return type == reinterpret_cast<PyObject*>(&PyLong_Type) ? may_be_int_in(cell)
                                                           : may_be_number_in(cell);
}

}  // namespace delimited
