#include "sheetscan/area_scan.hpp"

#include <utility>

namespace sheetscan {

bool AreaScan::row(uint64_t number, const std::vector<Cell>& filled) {
  if (number < area_.first_row) return true;
  if (number > area_.last_row) return false;
  std::vector<Cell> inside;
  bool keep = rows.size() < kept_rows_;
  uint64_t first = 0, last = 0;
  for (const Cell& cell : filled) {
    if (cell.column < area_.first_column || cell.column > area_.last_column) continue;
    uint64_t position = cell.column - area_.first_column + 1;
    if (!first) first = position;
    last = position;
    if (keep) inside.push_back(cell);
  }
  if (!first) return true;
  if (!filled_rows) first_row = number;
  last_row = number;
  ++filled_rows;
  if (first < first_column) first_column = first;
  if (last > last_column) last_column = last;
  if (keep) rows.push_back(std::move(inside));
  return true;
}

}  // namespace sheetscan
