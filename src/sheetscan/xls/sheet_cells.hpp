// One pass over a worksheet's records, giving each cell value that xlrd
// stores (with formatting_info off) in record order: numbers (NUMBER, RK,
// MULRK), texts (LABEL, RSTRING, LABELSST), booleans and error codes
// (BOOLERR), and the values that FORMULA records cached (with the STRING
// record after a text result). Blank cells (BLANK, MULBLANK) hold nothing for
// xlrd and are skipped, as are the cells of an embedded chart (BOF ... EOF).
// What makes xlrd fail on these records is refused.
#pragma once

#include "sheetscan/xls/shared_strings.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace sheetscan::xls {

// BIFF8 worksheets have 65,536 rows of 256 columns.
constexpr uint32_t kSheetRows = 65536;
constexpr uint32_t kSheetColumns = 256;

struct CellValue {
  enum class Kind : uint8_t { kText, kSharedText, kNumber, kBoolean, kError };
  Kind kind = Kind::kNumber;
  bool empty = false;     // the empty text, which excelsource counts as no value
  double number = 0;      // kNumber
  uint32_t code = 0;      // kSharedText: the string's index; kBoolean, kError: the byte
  std::string_view text;  // kText, valid during the call that hands the value over
};

class CellSink {
 public:
  virtual ~CellSink() = default;
  // A cell's value; a later one for the same cell replaces it. False stops
  // the pass (with the problem set).
  virtual bool cell(uint32_t row, uint32_t column, const CellValue& value) = 0;
  // A DIMENSIONS record: xlrd counts the sheet's rows afresh from here on.
  virtual void count_rows_again() = 0;
};

// Reads the worksheet whose BOF record is at `offset` of the stream, up to
// its EOF record; `name` (UTF-8) is for messages.
bool scan_sheet_cells(RecordReader* records, const SharedStrings& strings, int64_t offset,
                      const std::string& name, CellSink* sink, Problem* problem);

}  // namespace sheetscan::xls
