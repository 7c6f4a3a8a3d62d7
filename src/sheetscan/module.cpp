// veltrane.corvalest.datareader._sheetscan: the native workbook scanner that
// `excelsource` uses for .xlsx, .xlsm, .xlsb and .xls workbooks. Private; its
// functions take an open file's descriptor:
//
//   ranges(fd, sample_rows) -> ([(sheet name, used area or None, analysis)], styles)
//   analyse(fd, choose, area, sample_rows) -> (analysis, styles)
//
// An area is (first row, first column, last row, last column); an analysis
// (non-empty rows, first column, last column, first rows), the first
// non-empty rows (at most sample_rows + 1) as lists of None or (type, text,
// style id) from the area's first column on (column A for a whole sheet);
// styles are (date1904, number format id per cell format, [(custom id, code)]).
// `choose(names)` returns the index of the worksheet to analyse; `area` is
// None for the whole sheet. For .xls workbooks:
//
//   xls_ranges(fd, sample_rows) -> [(sheet name, used area or None, analysis)]
//   xls_analyse(fd, choose, area, sample_rows) -> analysis
//   content_digest(fd) -> int, a 64-bit digest of the whole file
//
// the cells of their first rows being the values that xlrd gives (None, str,
// float, int for booleans, error texts such as "#N/A"), and there being no
// styles. A file the scanner refuses raises `Unreadable`, a ValueError:
// another reader may try it. Its subclass `Rejected` says that the file is
// damaged, hostile or beyond a limit: that refusal is final, and no other
// reader may try the file.
//
// Multi-phase initialisation: each module object has its own state
// (module_state.hpp), which the functions reach through their `self`.
#include "sheetscan/module_state.hpp"

#include "common/compat.hpp"
#include "common/exception_boundary.hpp"
#include "sheetscan/entry_points.hpp"

namespace sheetscan {

namespace {

using common::without_exceptions;

PyMethodDef methods[] = {
    {"ranges", without_exceptions<ranges>, METH_VARARGS,
     "ranges(fd, sample_rows): the used area and analysis of each worksheet."},
    {"analyse", without_exceptions<analyse>, METH_VARARGS,
     "analyse(fd, choose, area, sample_rows): non-empty rows and first rows of one range."},
    {"xls_ranges", without_exceptions<xls_ranges>, METH_VARARGS,
     "xls_ranges(fd, sample_rows): the used area and analysis of each worksheet of an .xls."},
    {"xls_analyse", without_exceptions<xls_analyse>, METH_VARARGS,
     "xls_analyse(fd, choose, area, sample_rows): one range of an .xls workbook."},
    {"content_digest", without_exceptions<content_digest>, METH_VARARGS,
     "content_digest(fd): a 64-bit digest of the whole file."},
    {nullptr, nullptr, 0, nullptr},
};

void free_module(void* module) {
  clear_module_state(static_cast<PyObject*>(module));
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(without_exceptions<init_module_state>)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_sheetscan",
    "Native scanner of .xlsx, .xlsb and .xls workbooks (private).",
    sizeof(ModuleState),
    methods,
    slots,
    traverse_module_state,
    clear_module_state,
    free_module,
};

}  // namespace

}  // namespace sheetscan

EXTENSION_MODINIT PyInit__sheetscan() {
  return PyModuleDef_Init(&sheetscan::module_def);
}
