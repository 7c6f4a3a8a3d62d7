// What one pass over a worksheet keeps of an area of it: how many rows hold
// a value inside the area, the first and last of them, the first and last
// column used, and the first rows themselves (for the title vote).
#pragma once

#include "common/pyref.hpp"

#include <cstdint>
#include <vector>

#include "sheetscan/rows/cell.hpp"

namespace sheetscan {

constexpr uint64_t kNoLimit = UINT64_MAX;

// Bounds of an area, from 1, inclusive; the whole sheet by default.
struct Area {
  uint64_t first_row = 1, first_column = 1, last_row = kNoLimit, last_column = kNoLimit;
};

class AreaScan : public RowSink {
 public:
  // Keeps the first `sample_rows` + 1 non-empty rows.
  AreaScan(const Area& area, size_t sample_rows) : area_(area), kept_rows_(sample_rows + 1) {}
  bool wants_texts() const override { return rows.size() < kept_rows_; }
  bool row(uint64_t number, const std::vector<Cell>& filled) override;

  const Area& area() const { return area_; }

  // Columns count from the area's first column (1 is that column).
  uint64_t filled_rows = 0, first_row = 0, last_row = 0, first_column = kNoLimit, last_column = 0;
  std::vector<std::vector<Cell>> rows;  // the first non-empty rows, their cells inside the area

 private:
  Area area_;
  size_t kept_rows_;
};

}  // namespace sheetscan
