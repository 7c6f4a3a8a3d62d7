// What excelsource takes of a worksheet's cells in a range, gathered from one
// pass whatever the order of the records: which cells hold a value (a bit per
// cell, 32 bytes per row), the number of rows xlrd ends with (one past the
// highest row written since the last DIMENSIONS record: xlrd shows no row
// after it), and the values of the first rows that hold one.
//
// xlrd keeps a cell's last value, and a record may come for any row: the
// first rows are kept as the lowest rows given a value so far. Only when a
// later record empties one of them can the kept rows fall short of the first
// rows; the caller then reads the sheet again for the rows the bits name.
#pragma once

#include "sheetscan/xls/sheet_cells.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace sheetscan::xls {

// Cells of a worksheet, 0-based and inclusive, within the sheet's limits.
struct CellArea {
  uint32_t first_row = 0, first_column = 0, last_row = kSheetRows - 1,
           last_column = kSheetColumns - 1;
};

// A cell value that outlives the pass: the text copied.
struct KeptCell {
  uint32_t column;
  CellValue::Kind kind;
  double number;
  uint32_t code;
  std::string text;
};

struct KeptRow {
  uint32_t row;
  std::vector<KeptCell> cells;  // in column order, non-empty ones only
};

// The cells of the range that hold a value.
struct UsedCells {
  uint64_t filled_rows = 0;                                                 // rows with a value
  uint32_t first_row = 0, last_row = 0, first_column = 0, last_column = 0;  // when filled_rows
};

class RangeCollector : public CellSink {
 public:
  // Kept text of the first rows beyond this is refused, a limit that no real
  // workbook's first rows reach.
  static constexpr size_t kMaxKeptText = size_t{32} << 20;

  RangeCollector(const CellArea& area, size_t kept_rows, Problem* problem)
      : area_(area), kept_rows_(kept_rows), problem_(problem) {}
  bool cell(uint32_t row, uint32_t column, const CellValue& value) override;
  void count_rows_again() override { rows_ = 0; }

  UsedCells used() const;
  // The rows that hold a value, first ones first, at most as many as are kept.
  std::vector<uint32_t> first_rows() const;
  // Drops the kept rows that hold no value or lie below xlrd's row count and
  // puts the others in order; false when they are not `rows` (first_rows()),
  // which a pass that collect()s them must then fetch.
  bool settle_kept(const std::vector<uint32_t>& rows);
  // Starts another pass that keeps exactly `rows`.
  void collect(const std::vector<uint32_t>& rows);
  std::vector<KeptRow>& kept() { return kept_; }

 private:
  bool has_value(uint32_t row) const;
  KeptRow* kept_row(uint32_t row);
  KeptRow* make_room(uint32_t row);
  bool store(KeptRow* kept, uint32_t column, const CellValue& value);

  CellArea area_;
  size_t kept_rows_;
  Problem* problem_;
  uint32_t rows_ = 0;           // xlrd's row count
  std::vector<uint64_t> bits_;  // 4 words per row, rows from 0
  std::vector<KeptRow> kept_;
  uint32_t highest_kept_ = 0;  // the highest row of kept_ when it is full
  bool fixed_ = false;         // kept_ holds the rows asked for, none other
  size_t kept_text_ = 0;
};

}  // namespace sheetscan::xls

namespace sheetscan::xls {

// The range `area` of the worksheet at `offset` (`name` for messages): the
// cells that hold a value, and the first `kept_rows` rows with one, in order.
bool collect_range(RecordReader* records, const SharedStrings& strings, int64_t offset,
                   const std::string& name, const CellArea& area, size_t kept_rows,
                   Problem* problem, UsedCells* used, std::vector<KeptRow>* rows);

}  // namespace sheetscan::xls
