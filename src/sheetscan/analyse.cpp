// analyse(fd, choose, area, sample_rows): the analysis of one area of the
// worksheet that `choose(names)` picks.
#include "sheetscan/entry_points.hpp"

#include "sheetscan/python_values.hpp"
#include "sheetscan/workbook.hpp"

namespace sheetscan {

namespace {

bool parse_area(PyObject* object, Area* area) {
  if (object == Py_None) return true;
  unsigned long long first_row, first_column, last_row, last_column;
  if (!PyArg_ParseTuple(object, "KKKK", &first_row, &first_column, &last_row, &last_column)) {
    return false;
  }
  *area = Area{first_row, first_column, last_row, last_column};
  return true;
}

PyObject* area_analysis(Workbook& book, int fd, PyObject* choose, const Area& area,
                        size_t sample_rows) {
  size_t index;
  if (!book.open(fd) || !chosen_sheet(choose, book.package.worksheets, &index) ||
      !book.read_shared_strings()) {
    return nullptr;
  }
  AreaScan scan(area, sample_rows);
  if (!book.scan(book.package.worksheets[index], &scan)) return nullptr;
  SharedTexts shared;
  if (!book.shared_texts(scan, &shared)) return nullptr;
  Ref analysis = analysis_object(scan, shared);
  if (!analysis) return nullptr;
  NumberFormats formats;
  if (!book.read_number_formats(&formats)) return nullptr;
  Ref styles = styles_object(book.package.date1904, formats);
  if (!styles) return nullptr;
  return PyTuple_Pack(2, analysis.get(), styles.get());
}

}  // namespace

PyObject* analyse(PyObject* module, PyObject* args) {
  int fd;
  PyObject *choose, *area_object;
  Py_ssize_t sample_rows;
  if (!PyArg_ParseTuple(args, "iOOn:analyse", &fd, &choose, &area_object, &sample_rows)) {
    return nullptr;
  }
  Area area;
  if (!parse_area(area_object, &area)) return nullptr;
  if (sample_rows < 0) return PyErr_Format(PyExc_ValueError, "sample_rows is negative");
  ScanContext context(module);
  Workbook book(context);
  PyObject* result = area_analysis(book, fd, choose, area, static_cast<size_t>(sample_rows));
  if (!result) book.keep_fallback_within_budget();
  return result;
}

}  // namespace sheetscan
