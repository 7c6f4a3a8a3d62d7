// xls_ranges(fd, sample_rows): each worksheet's used area and the analysis of
// its whole sheet, from one pass over it; the texts of the shared strings
// that the first rows show read in one more pass, for all sheets at once.
#include "sheetscan/entry_points.hpp"

#include "sheetscan/python_values.hpp"
#include "sheetscan/xls/python_values.hpp"

namespace sheetscan {

using common::Ref;
using common::steal;

PyObject* xls_ranges(PyObject* module, PyObject* args) {
  int fd;
  Py_ssize_t sample_rows;
  size_t kept;
  if (!PyArg_ParseTuple(args, "in:xls_ranges", &fd, &sample_rows) ||
      !xls::kept_rows(sample_rows, &kept)) {
    return nullptr;
  }
  xls::Problem problem;
  xls::Workbook book;
  if (!book.open(fd, &problem)) return xls::raise(module, problem);
  const std::vector<xls::SheetEntry>& worksheets = book.worksheets();
  std::vector<xls::RangeRows> ranges(worksheets.size());
  for (size_t index = 0; index < worksheets.size(); ++index) {
    const xls::SheetEntry& sheet = worksheets[index];
    if (!xls::collect_range(book.records(), book.strings(), sheet.offset, sheet.name,
                            xls::CellArea(), kept, &problem, &ranges[index].used,
                            &ranges[index].rows)) {
      return xls::raise(module, problem);
    }
  }
  xls::SharedTexts shared;
  if (!shared.read(&book, ranges, &problem)) return xls::raise(module, problem);
  Ref sheets = steal(PyList_New(static_cast<Py_ssize_t>(worksheets.size())));
  if (!sheets) return nullptr;
  for (size_t index = 0; index < worksheets.size(); ++index) {
    Ref name = text_object(worksheets[index].name);
    Ref area = name ? xls::area_object(ranges[index].used) : Ref();
    Ref analysis = area ? xls::analysis_object(ranges[index], 1, &shared) : Ref();
    Ref entry = analysis ? steal(PyTuple_Pack(3, name.get(), area.get(), analysis.get())) : Ref();
    if (!entry) return nullptr;
    PyList_SET_ITEM(sheets.get(), static_cast<Py_ssize_t>(index), entry.release());
  }
  return sheets.release();
}

}  // namespace sheetscan
