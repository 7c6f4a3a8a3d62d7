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

}  // namespace sheetscan
