// The .xls reader's functions in _sheetscan, over an open file's descriptor:
//
//   xls_ranges(fd, sample_rows) -> [(sheet name, used area or None, analysis)]
//   xls_analyse(fd, choose, area, sample_rows) -> analysis
//   content_digest(fd) -> int
//
// Areas and analyses are those of the .xlsx functions (module.cpp), except
// that the cells of an analysis's first rows are the values that xlrd gives:
// None, str, float, int (booleans) and error texts ("#N/A"). A refusal
// raises the module's Unreadable for a workbook left to xlrd (older BIFF,
// encryption), or its subclass Rejected for a damaged or hostile one, or one
// beyond a limit, which no other reader may try.
#pragma once

#include "common/pyref.hpp"

namespace sheetscan::xls {

PyObject* ranges(PyObject* module, PyObject* args);
PyObject* analyse(PyObject* module, PyObject* args);
PyObject* content_digest(PyObject* module, PyObject* args);

}  // namespace sheetscan::xls
