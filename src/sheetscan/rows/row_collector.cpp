#include "sheetscan/rows/row_collector.hpp"

namespace sheetscan {

bool RowCollector::beyond_last_cell() const {
  return context_.reject("worksheet %s holds cells beyond XFD%llu (the last cell of a worksheet)",
                         sheet_name_.c_str(), static_cast<unsigned long long>(kMaxRows));
}

bool RowCollector::too_much_text() const {
  return context_.reject("the first rows of worksheet %s hold more than %zu bytes of text",
                         sheet_name_.c_str(), kMaxKeptTextBytes);
}

void RowCollector::end_row() {
  if (!in_row_) return;
  in_row_ = false;
  if (dropped()) return;
  next_row_ = row_number_ + 1;
  if (row_width_ == 0) return;
  filled_.resize(filled_count_);
  if (!sink_->row(row_number_, filled_)) stopped_ = true;
}

}  // namespace sheetscan
