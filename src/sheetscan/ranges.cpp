// ranges(fd, sample_rows): each worksheet's used area, and the analysis of
// its whole sheet, from one pass over it.
#include "sheetscan/entry_points.hpp"

#include "sheetscan/python_values.hpp"
#include "sheetscan/workbook.hpp"

namespace sheetscan {

namespace {

// (sheet name, used area or None, analysis of the whole sheet).
Ref sheet_entry(const Workbook& book, const SheetPart& sheet, size_t sample_rows) {
  AreaScan scan(Area{}, sample_rows);
  if (!book.scan(sheet, &scan)) return Ref();
  Ref area = scan.filled_rows ? used_area_object(scan) : borrow(Py_None);
  if (!area) return area;
  SharedTexts shared;
  if (!book.shared_texts(scan, &shared)) return Ref();
  Ref analysis = analysis_object(scan, shared);
  if (!analysis) return analysis;
  return steal(Py_BuildValue("(s#OO)", sheet.name.data(),
                             static_cast<Py_ssize_t>(sheet.name.size()), area.get(),
                             analysis.get()));
}

PyObject* workbook_ranges(Workbook& book, int fd, size_t sample_rows) {
  if (!book.open(fd) || !book.read_shared_strings()) return nullptr;
  Ref sheets = steal(PyList_New(0));
  if (!sheets) return nullptr;
  for (const SheetPart& sheet : book.package.worksheets) {
    Ref entry = sheet_entry(book, sheet, sample_rows);
    if (!entry || PyList_Append(sheets.get(), entry.get()) < 0) return nullptr;
  }
  NumberFormats formats;
  if (!book.read_number_formats(&formats)) return nullptr;
  Ref styles = styles_object(book.package.date1904, formats);
  if (!styles) return nullptr;
  return PyTuple_Pack(2, sheets.get(), styles.get());
}

}  // namespace

PyObject* ranges(PyObject* module, PyObject* args) {
  int fd;
  Py_ssize_t sample_rows;
  if (!PyArg_ParseTuple(args, "in:ranges", &fd, &sample_rows)) return nullptr;
  if (sample_rows < 0) return PyErr_Format(PyExc_ValueError, "sample_rows is negative");
  ScanContext context(module);
  Workbook book(context);
  PyObject* result = workbook_ranges(book, fd, static_cast<size_t>(sample_rows));
  if (!result) book.keep_fallback_within_budget();
  return result;
}

}  // namespace sheetscan
