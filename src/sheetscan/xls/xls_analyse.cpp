// xls_analyse(fd, choose, area, sample_rows): the analysis of one area of the
// .xls worksheet that `choose(names)` picks.
#include "sheetscan/entry_points.hpp"

#include "sheetscan/python_values.hpp"
#include "sheetscan/xls/python_values.hpp"

namespace sheetscan {

PyObject* xls_analyse(PyObject* module, PyObject* args) {
  int fd;
  PyObject *choose, *area_object;
  Py_ssize_t sample_rows;
  xls::CellArea area;
  uint64_t first_column;
  size_t kept;
  if (!PyArg_ParseTuple(args, "iOOn:xls_analyse", &fd, &choose, &area_object, &sample_rows) ||
      !xls::parse_area(area_object, &area, &first_column) || !xls::kept_rows(sample_rows, &kept)) {
    return nullptr;
  }
  xls::Problem problem;
  xls::Workbook book;
  if (!book.open(fd, &problem)) return xls::raise(module, problem);
  size_t index;
  if (!chosen_sheet(choose, book.worksheets(), &index)) return nullptr;
  const xls::SheetEntry& sheet = book.worksheets()[index];
  std::vector<xls::RangeRows> range(1);
  xls::SharedTexts shared;
  if (!xls::collect_range(book.records(), book.strings(), sheet.offset, sheet.name, area, kept,
                          &problem, &range[0].used, &range[0].rows) ||
      !shared.read(&book, range, &problem)) {
    return xls::raise(module, problem);
  }
  return xls::analysis_object(range[0], first_column, &shared).release();
}

}  // namespace sheetscan
