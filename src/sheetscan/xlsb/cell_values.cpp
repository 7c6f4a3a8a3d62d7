#include "common/pyref.hpp"  // Python.h first in every unit

#include "sheetscan/xlsb/cell_values.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace sheetscan {
namespace xlsb {

namespace {

// The 30-bit two's complement integer held in bits 2 to 31 of an RK number,
// sign-extended without shifting a negative value (implementation-defined
// before C++20).
int64_t rk_integer(uint32_t rk) {
  constexpr int64_t kSignBit = int64_t{1} << 29;
  auto bits = static_cast<int64_t>(rk >> 2);
  return bits >= kSignBit ? bits - 2 * kSignBit : bits;
}

// The double whose high 32 bits are those of `rk` with its two flag bits cleared.
double rk_double(uint32_t rk) {
  uint64_t bits = static_cast<uint64_t>(rk & 0xFFFFFFFCu) << 32;
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

}  // namespace

bool number_text(double value, std::string* text) {
  if (!std::isfinite(value)) return false;
  if (!text) return true;
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.17g", value);
  text->assign(buffer);
  if (text->find_first_of(".eE") == std::string::npos) text->append(".0");
  return true;
}

bool rk_text(uint32_t rk, std::string* text) {
  bool times_100 = rk & 1;
  bool is_integer = rk & 2;
  if (!is_integer) {
    double value = rk_double(rk);
    return number_text(times_100 ? value / 100 : value, text);
  }
  int64_t whole = rk_integer(rk);
  if (times_100) return number_text(static_cast<double>(whole) / 100, text);
  if (text) text->assign(std::to_string(whole));
  return true;
}

}  // namespace xlsb
}  // namespace sheetscan
