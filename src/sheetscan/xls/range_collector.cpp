#include "sheetscan/xls/range_collector.hpp"

#include <algorithm>
#include <utility>

namespace sheetscan::xls {

namespace {

constexpr size_t kWordsPerRow = kSheetColumns / 64;

int lowest_bit(uint64_t word) {
  return __builtin_ctzll(word);
}
int highest_bit(uint64_t word) {
  return 63 - __builtin_clzll(word);
}

}  // namespace

bool RangeCollector::cell(uint32_t row, uint32_t column, const CellValue& value) {
  if (row + 1 > rows_) rows_ = row + 1;
  if (row < area_.first_row || row > area_.last_row || column < area_.first_column ||
      column > area_.last_column) {
    return true;
  }
  size_t word = row * kWordsPerRow + column / 64;
  uint64_t bit = uint64_t{1} << (column % 64);
  if (!value.empty) {
    if (bits_.size() <= word) bits_.resize((size_t{row} + 1) * kWordsPerRow);
    bits_[word] |= bit;
  } else if (word < bits_.size()) {
    bits_[word] &= ~bit;
  }
  bool full = fixed_ || kept_.size() == kept_rows_;
  if (full && row > highest_kept_) return true;  // the common case once the first rows are in
  KeptRow* kept = kept_row(row);
  if (!kept) {
    if (value.empty || fixed_) return true;
    kept = make_room(row);
  }
  return store(kept, column, value);
}

KeptRow* RangeCollector::kept_row(uint32_t row) {
  for (KeptRow& kept : kept_) {
    if (kept.row == row) return &kept;
  }
  return nullptr;
}

// A row for `row`, which is below the highest kept one or finds room: the
// highest kept row gives way when all are taken.
KeptRow* RangeCollector::make_room(uint32_t row) {
  if (kept_.size() < kept_rows_) {
    kept_.reserve(kept_rows_);
    kept_.push_back(KeptRow{row, {}});
  } else {
    auto highest =
        std::max_element(kept_.begin(), kept_.end(),
                         [](const KeptRow& a, const KeptRow& b) { return a.row < b.row; });
    for (const KeptCell& cell : highest->cells) kept_text_ -= cell.text.size();
    *highest = KeptRow{row, {}};
  }
  KeptRow* made = kept_row(row);
  if (kept_.size() == kept_rows_) {
    highest_kept_ =
        std::max_element(kept_.begin(), kept_.end(), [](const KeptRow& a, const KeptRow& b) {
          return a.row < b.row;
        })->row;
  }
  return made;
}

bool RangeCollector::store(KeptRow* kept, uint32_t column, const CellValue& value) {
  std::vector<KeptCell>& cells = kept->cells;
  auto at = cells.end();
  if (!cells.empty() && cells.back().column >= column) {
    at = std::lower_bound(
        cells.begin(), cells.end(), column,
        [](const KeptCell& cell, uint32_t wanted) { return cell.column < wanted; });
  }
  if (at != cells.end() && at->column == column) {
    kept_text_ -= at->text.size();
    if (value.empty) {
      cells.erase(at);
      return true;
    }
  } else {
    if (value.empty) return true;
    at = cells.insert(at, KeptCell{column, value.kind, 0, 0, {}});
  }
  at->kind = value.kind;
  at->number = value.number;
  at->code = value.code;
  at->text.assign(value.text.data(), value.text.size());
  kept_text_ += at->text.size();
  if (kept_text_ > kMaxKeptText) {
    return problem_->reject("the first rows of the range hold more than %zu MiB of text",
                            kMaxKeptText >> 20);
  }
  return true;
}

bool RangeCollector::has_value(uint32_t row) const {
  size_t first = size_t{row} * kWordsPerRow;
  if (first >= bits_.size()) return false;
  for (size_t word = first; word < first + kWordsPerRow; ++word) {
    if (bits_[word]) return true;
  }
  return false;
}

UsedCells RangeCollector::used() const {
  UsedCells used;
  uint64_t end = std::min<uint64_t>(rows_, uint64_t{area_.last_row} + 1);
  end = std::min<uint64_t>(end, bits_.size() / kWordsPerRow);
  for (uint64_t row = area_.first_row; row < end; ++row) {
    const uint64_t* words = bits_.data() + row * kWordsPerRow;
    int lowest = -1, highest = -1;
    for (size_t word = 0; word < kWordsPerRow; ++word) {
      if (!words[word]) continue;
      if (lowest < 0) lowest = static_cast<int>(word * 64) + lowest_bit(words[word]);
      highest = static_cast<int>(word * 64) + highest_bit(words[word]);
    }
    if (lowest < 0) continue;
    if (!used.filled_rows) {
      used.first_row = static_cast<uint32_t>(row);
      used.first_column = static_cast<uint32_t>(lowest);
      used.last_column = static_cast<uint32_t>(highest);
    }
    used.first_column = std::min(used.first_column, static_cast<uint32_t>(lowest));
    used.last_column = std::max(used.last_column, static_cast<uint32_t>(highest));
    used.last_row = static_cast<uint32_t>(row);
    ++used.filled_rows;
  }
  return used;
}

std::vector<uint32_t> RangeCollector::first_rows() const {
  std::vector<uint32_t> rows;
  uint64_t end = std::min<uint64_t>(rows_, uint64_t{area_.last_row} + 1);
  for (uint64_t row = area_.first_row; row < end && rows.size() < kept_rows_; ++row) {
    if (has_value(static_cast<uint32_t>(row))) rows.push_back(static_cast<uint32_t>(row));
  }
  return rows;
}

bool RangeCollector::settle_kept(const std::vector<uint32_t>& rows) {
  kept_.erase(std::remove_if(
                  kept_.begin(), kept_.end(),
                  [&](const KeptRow& kept) { return kept.row >= rows_ || !has_value(kept.row); }),
              kept_.end());
  std::sort(kept_.begin(), kept_.end(),
            [](const KeptRow& a, const KeptRow& b) { return a.row < b.row; });
  if (kept_.size() != rows.size()) return false;
  for (size_t i = 0; i < rows.size(); ++i) {
    if (kept_[i].row != rows[i]) return false;
  }
  return true;
}

void RangeCollector::collect(const std::vector<uint32_t>& rows) {
  fixed_ = true;
  rows_ = 0;
  std::fill(bits_.begin(), bits_.end(), 0);
  kept_.clear();
  kept_text_ = 0;
  for (uint32_t row : rows) kept_.push_back(KeptRow{row, {}});
  highest_kept_ = rows.empty() ? 0 : rows.back();
}

bool collect_range(RecordReader* records, const SharedStrings& strings, int64_t offset,
                   const std::string& name, const CellArea& area, size_t kept_rows,
                   Problem* problem, UsedCells* used, std::vector<KeptRow>* rows) {
  RangeCollector collector(area, kept_rows, problem);
  if (!scan_sheet_cells(records, strings, offset, name, &collector, problem)) return false;
  std::vector<uint32_t> first = collector.first_rows();
  if (!collector.settle_kept(first)) {
    collector.collect(first);
    if (!scan_sheet_cells(records, strings, offset, name, &collector, problem)) return false;
    if (!collector.settle_kept(first)) {
      return problem->reject("sheet '%s' changed while it was read", name.c_str());
    }
  }
  *used = collector.used();
  *rows = std::move(collector.kept());
  return true;
}

}  // namespace sheetscan::xls
