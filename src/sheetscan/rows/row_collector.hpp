// The rows of one pass over a worksheet, collected as both readers (XML and
// records) find them and handed to the sink: the readers say where a row
// starts and ends and which cells it holds; this decides which rows are
// handed on and refuses cells beyond XFD1048576.
#pragma once

#include "sheetscan/scan_context.hpp"

#include <string>
#include <vector>

#include "sheetscan/rows/cell.hpp"

namespace sheetscan {

class RowCollector {
 public:
  RowCollector(ScanContext& context, const std::string& sheet_name, RowSink* sink)
      : context_(context), sheet_name_(sheet_name), sink_(sink) {}

  // Row `number` (from 1) starts.
  void begin_row(uint64_t number) {
    in_row_ = true;
    row_number_ = number;
    row_width_ = 0;
    filled_count_ = 0;
    keep_texts_ = sink_->wants_texts();
  }
  bool in_row() const { return in_row_; }
  uint64_t row_number() const { return row_number_; }
  // Whether the sink wants the texts of this row's cells.
  bool keeps_texts() const { return keep_texts_; }

  // The column of the row's last cell so far (0 before its first).
  uint64_t last_column() const { return row_width_; }
  // Whether a cell in `column` may come next: columns only grow along a row.
  bool follows_last_cell(uint64_t column) const { return row_width_ == 0 || column > row_width_; }
  // A cell (empty or not) in `column` makes it the row's last column.
  void extend_to(uint64_t column) { row_width_ = column; }
  // The place of the next non-empty cell, which keep_cell() then takes.
  Cell& cell_slot() {
    if (filled_count_ == filled_.size()) filled_.emplace_back();
    return filled_[filled_count_];
  }
  void keep_cell() { ++filled_count_; }

  // The row ends: hands it to the sink unless openpyxl would drop it.
  bool end_row();
  // Whether the sink wants no more rows.
  bool stopped() const { return stopped_; }

 private:
  ScanContext& context_;
  const std::string& sheet_name_;
  RowSink* sink_;
  bool in_row_ = false;
  bool keep_texts_ = false;
  bool stopped_ = false;
  uint64_t row_number_ = 0;
  uint64_t next_row_ = 1;  // rows numbered below this are dropped
  uint64_t row_width_ = 0;
  std::vector<Cell> filled_;  // of the current row, reused from row to row
  size_t filled_count_ = 0;
};

}  // namespace sheetscan
