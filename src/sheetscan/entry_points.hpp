// The functions that the module publishes (module.cpp lists them), each in a
// file of its own. They run behind the C++ exception boundary, reach the
// module's state through `module` (their `self`), and take METH_VARARGS
// arguments.
#pragma once

#include "common/pyref.hpp"

namespace sheetscan {

// ranges(fd, sample_rows): each worksheet's used area and analysis (ranges.cpp).
PyObject* ranges(PyObject* module, PyObject* args);

// analyse(fd, choose, area, sample_rows): one area of one worksheet (analyse.cpp).
PyObject* analyse(PyObject* module, PyObject* args);

// xls_ranges(fd, sample_rows): the same for an .xls workbook (xls/xls_ranges.cpp).
PyObject* xls_ranges(PyObject* module, PyObject* args);

// xls_analyse(fd, choose, area, sample_rows): the same for an .xls workbook
// (xls/xls_analyse.cpp).
PyObject* xls_analyse(PyObject* module, PyObject* args);

// content_digest(fd): a 64-bit digest of the whole file (xls/content_digest.cpp).
PyObject* content_digest(PyObject* module, PyObject* args);

}  // namespace sheetscan
