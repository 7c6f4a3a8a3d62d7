// The rows of a worksheet as every reader of the scanner hands them on, and
// as openpyxl's read-only reader yields them to `excelsource`: a row's number
// is its own (or the previous one plus one); a row numbered below one already
// given is dropped; a row's width is its last cell's column. Only the
// non-empty cells of each row are handed on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sheetscan/limits.hpp"

namespace sheetscan {

// A cell's type, as SpreadsheetML's "t" attribute names it.
enum class CellType : uint8_t {
  kNumber,         // "n", also when the attribute is absent
  kSharedString,   // "s"
  kBoolean,        // "b"
  kError,          // "e"
  kFormulaString,  // "str"
  kInlineString,   // "inlineStr"
  kIsoDate,        // "d"
  kOther,          // any other text, kept as written in Cell::other_type
};

// The type named by a "t" attribute (null when the attribute is absent).
CellType cell_type_named(const char* name);
// The "t" text of `type` (not for kOther).
const char* cell_type_name(CellType type);

struct Cell {
  uint64_t column = 0;
  CellType type = CellType::kNumber;
  std::string other_type;  // the "t" attribute when type is kOther
  std::string text;        // the value's text or the inline string; kept when the sink wants texts
  long style = 0;          // the cell format's index
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

// The text of a cell's error code ("#DIV/0!", ...), as openpyxl shows it.
const char* error_text(uint32_t code);

}  // namespace sheetscan
