// Argument binding of the module's functions, called with the vector
// convention (METH_FASTCALL | METH_KEYWORDS): `args` holds the `nargs`
// positional values, then the values of the keywords named in `kwnames`.
#pragma once

#include "base.hpp"

namespace fileinspect {

// Binds a call of `function_name(p0, p1=..., ...)`: `values` comes in holding
// the defaults of the parameters after the first and goes out holding the
// bound values (borrowed from the call). Returns 0, or -1 with TypeError set.
int bind_arguments(const char* function_name, PyObject* const* param_names, Py_ssize_t param_count,
                   PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** values);

// Checks a call of a function that takes exactly one positional argument and
// no keywords. Returns 0, or -1 with TypeError set.
int bind_one_positional(const char* function_name, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace fileinspect
