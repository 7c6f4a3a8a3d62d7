// The Python objects that the .xls functions return (see module.cpp), and
// the exceptions that their refusals raise.
#pragma once

#include "common/pyref.hpp"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sheetscan/xls/range_collector.hpp"
#include "sheetscan/xls/workbook.hpp"

namespace sheetscan::xls {

// Raises the module's exception for `problem`: Unreadable for a workbook left
// to xlrd, Rejected for a final refusal, OSError for a failed read. Returns null.
PyObject* raise(PyObject* module, const Problem& problem);

// The rows kept for an analysis: as many as the title heuristic samples,
// and the first; false with the error set when `sample_rows` is negative.
bool kept_rows(Py_ssize_t sample_rows, size_t* kept);

// An area (1-based, inclusive; None for the whole sheet) within the
// worksheet's limits, and its first column; false with the error set.
bool parse_area(PyObject* object, CellArea* area, uint64_t* first_column);

// The first rows of a range, as the collector keeps them.
struct RangeRows {
  UsedCells used;
  std::vector<KeptRow> rows;
};

// The shared strings that first rows show, each made into a str once.
class SharedTexts {
 public:
  // Reads the texts of the strings that `ranges` show.
  bool read(Workbook* book, const std::vector<RangeRows>& ranges, Problem* problem);
  common::Ref object(uint32_t index);

 private:
  std::map<uint32_t, std::string> texts_;
  std::map<uint32_t, common::Ref> objects_;
};

// (first row, first column, last row, last column) of the used cells, or None.
common::Ref area_object(const UsedCells& used);

// (non-empty rows, first column, last column, first rows), the columns
// counted from the range's first (`first_column`, 1-based), as for .xlsx.
common::Ref analysis_object(const RangeRows& range, uint64_t first_column, SharedTexts* shared);

}  // namespace sheetscan::xls
