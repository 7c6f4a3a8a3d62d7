#include "sheetscan/rows/row_collector.hpp"

namespace sheetscan {

bool RowCollector::end_row() {
  if (!in_row_) return true;
  in_row_ = false;
  if (row_number_ < next_row_) return true;  // openpyxl drops rows that go backwards
  if (row_number_ > kMaxRows || row_width_ > kMaxColumns) {
    return context_.refuse("worksheet %s holds cells beyond XFD1048576", sheet_name_.c_str());
  }
  next_row_ = row_number_ + 1;
  if (row_width_ == 0) return true;
  filled_.resize(filled_count_);
  if (!sink_->row(row_number_, filled_)) stopped_ = true;
  return true;
}

}  // namespace sheetscan
