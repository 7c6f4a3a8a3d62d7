// The rows of one pass over a worksheet, collected as both readers (XML and
// records) find them and handed to the sink: the readers say where a row
// starts and ends and which cells it holds; this decides which rows are
// handed on and refuses cells beyond XFD1048576 as soon as one is met.
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

  // Row `number` (from 1) starts; refused at once when it lies beyond the last row.
  bool begin_row(uint64_t number) {
    in_row_ = true;
    row_number_ = number;
    row_width_ = 0;
    filled_count_ = 0;
    keep_texts_ = sink_->wants_texts();
    if (dropped() || number <= kMaxRows) return true;
    return beyond_last_cell();
  }
  bool in_row() const { return in_row_; }
  uint64_t row_number() const { return row_number_; }
  // Whether the sink wants the texts of this row's cells.
  bool keeps_texts() const { return keep_texts_; }

  // The column of the row's last cell so far (0 before its first).
  uint64_t last_column() const { return row_width_; }
  // Whether a cell in `column` may come next: columns only grow along a row.
  bool follows_last_cell(uint64_t column) const { return row_width_ == 0 || column > row_width_; }
  // A cell (empty or not) in `column` makes it the row's last column; a
  // column beyond XFD is refused before the row grows any further.
  bool extend_to(uint64_t column) {
    row_width_ = column;
    return column <= kMaxColumns || dropped() || beyond_last_cell();
  }
  // The place of the next non-empty cell, which keep_cell() then takes; the
  // cells of a row that is dropped are not kept.
  Cell& cell_slot() {
    if (filled_count_ == filled_.size()) filled_.emplace_back();
    return filled_[filled_count_];
  }
  // Refuses (false) when the texts kept of the first rows pass kMaxKeptTextBytes.
  bool keep_cell() {
    if (dropped()) return true;
    if (keep_texts_) {
      kept_text_bytes_ += filled_[filled_count_].text.size();
      if (kept_text_bytes_ > kMaxKeptTextBytes) return too_much_text();
    }
    ++filled_count_;
    return true;
  }

  // The row ends: hands it to the sink unless openpyxl would drop it.
  void end_row();
  // Whether the sink wants no more rows.
  bool stopped() const { return stopped_; }

 private:
  // openpyxl drops a row numbered below one it has given already.
  bool dropped() const { return row_number_ < next_row_; }
  bool beyond_last_cell() const;
  bool too_much_text() const;

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
  size_t kept_text_bytes_ = 0;  // of the cells handed on with their texts
};

}  // namespace sheetscan
