// One streaming pass over a worksheet part, giving its rows as openpyxl's
// read-only reader yields them to `excelsource`: a row's number is its "r"
// (or the previous one plus one); a row numbered below one already given is
// dropped; a row's width is its last cell's column. A cell is empty when it
// has no value, an empty value, an empty (shared or inline) string, or a
// formula without a cached value. Only the non-empty cells of each row are
// handed on. What openpyxl would reject (values that do not convert, a shared
// string index out of range) is refused; so are rows beyond XFD1048576 and
// layouts that openpyxl reads in ways this pass does not reproduce (cells out
// of column order, ISO dates, unusual number spellings), which the caller
// then leaves to openpyxl.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sheetscan/package/shared_strings.hpp"

namespace sheetscan {

constexpr uint64_t kMaxRows = 1048576;
constexpr uint64_t kMaxColumns = 16384;

struct Cell {
  uint64_t column = 0;
  std::string type;  // the "t" attribute, "n" when absent
  std::string text;  // the value's text or the inline string; kept when the sink wants texts
  long style = 0;    // the "s" attribute
  size_t shared_index = 0;
};

class RowSink {
 public:
  virtual ~RowSink() = default;
  // Whether the texts of the cells of the row about to start are wanted.
  virtual bool wants_texts() const = 0;
  // A row with cells; `filled` holds its non-empty ones, in column order.
  // Returns false when no more rows are wanted.
  virtual bool row(uint64_t number, const std::vector<Cell>& filled) = 0;
};

bool scan_sheet(const ZipArchive& archive, const std::string& part, const std::string& sheet_name,
                const std::string& main_namespace, const SharedStrings& strings, RowSink* sink);

}  // namespace sheetscan

namespace sheetscan {

// The same pass over a worksheet of a binary workbook (.xlsb): its row
// headers and cell records, numbers written out so that they read back as
// the same value, errors as their text, strings resolved or inline.
bool scan_binary_sheet(const ZipArchive& archive, const std::string& part,
                       const std::string& sheet_name, const SharedStrings& strings, RowSink* sink);

}  // namespace sheetscan
