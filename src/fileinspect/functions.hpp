// The three functions the module publishes, in the vector calling convention
// (METH_FASTCALL | METH_KEYWORDS). Each binds its own arguments.
#pragma once

#include "base.hpp"

namespace fileinspect {

PyObject* getfiletype(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* getDataFileRanges(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);
PyObject* inspectFile(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Remembers posixpath.splitext as it is at initialisation, if it is still the
// interpreter's own, so that getfiletype can tell when os.path.splitext is that
// very function. Never fails: without it every call goes through os.path.
void remember_posix_splitext();

}  // namespace fileinspect
