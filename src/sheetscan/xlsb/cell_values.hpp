// The values of a binary worksheet's cell records as texts that read back as
// openpyxl reads the same cells of an XML worksheet.
#pragma once

#include <cstdint>
#include <string>

namespace sheetscan {
namespace xlsb {

// Text that Python's float() reads back as exactly `value`, when `text` is
// given; false for non-finite values, which no cell holds.
bool number_text(double value, std::string* text);

// The same for an RK number (a double's high 30 bits or a 30-bit integer,
// perhaps times 100); an integer is written as an int.
bool rk_text(uint32_t rk, std::string* text);

}  // namespace xlsb
}  // namespace sheetscan
