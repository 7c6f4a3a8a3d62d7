#include "binding.hpp"

namespace fileinspect {

namespace {

int raise_positional_count(const char* function_name, const char* bound, Py_ssize_t expected,
                           Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               function_name, bound, expected, expected == 1 ? "" : "s", given);
  return -1;
}

bool same_name(PyObject* key, PyObject* name) {
  if (key == name) return true;
  return PyUnicode_Check(key) && PyUnicode_Compare(key, name) == 0;
}

// Index in `kwnames` of the keyword `name`, or -1.
Py_ssize_t find_keyword(PyObject* kwnames, PyObject* name) {
  Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (same_name(PyTuple_GET_ITEM(kwnames, i), name)) return i;
  }
  return -1;
}

// Index of the parameter named `key`, or -1.
Py_ssize_t find_parameter(PyObject* const* param_names, Py_ssize_t param_count, PyObject* key) {
  for (Py_ssize_t i = 0; i < param_count; ++i) {
    if (same_name(key, param_names[i])) return i;
  }
  return -1;
}

// Names the first keyword, in call order, that no parameter took.
int raise_leftover_keyword(const char* function_name, PyObject* const* param_names,
                           Py_ssize_t param_count, Py_ssize_t nargs, PyObject* kwnames) {
  Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, i);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function_name);
      return -1;
    }
    Py_ssize_t param = find_parameter(param_names, param_count, key);
    if (param >= nargs) continue;  // taken by its parameter
    if (param >= 0) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                   function_name, key);
    } else {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function_name,
                   key);
    }
    return -1;
  }
  return 0;
}

}  // namespace

int bind_arguments(const char* function_name, PyObject* const* param_names, Py_ssize_t param_count,
                   PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** values) {
  if (nargs > param_count)
    return raise_positional_count(function_name, "at most", param_count, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];

  Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  // Without positional arguments the first parameter must come as a keyword;
  // this is decided before any other keyword is looked at.
  if (nargs == 0 && (keyword_count == 0 || find_keyword(kwnames, param_names[0]) < 0))
    return raise_positional_count(function_name, "at least", 1, 0);

  Py_ssize_t taken = 0;
  for (Py_ssize_t i = nargs; i < param_count && taken < keyword_count; ++i) {
    Py_ssize_t found = find_keyword(kwnames, param_names[i]);
    if (found < 0) continue;
    values[i] = args[nargs + found];
    ++taken;
  }
  if (taken < keyword_count)
    return raise_leftover_keyword(function_name, param_names, param_count, nargs, kwnames);
  return 0;
}

int bind_one_positional(const char* function_name, Py_ssize_t nargs, PyObject* kwnames) {
  if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", function_name);
    return -1;
  }
  if (nargs != 1) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes exactly one argument (%zd given)", function_name,
                 nargs);
    return -1;
  }
  return 0;
}

}  // namespace fileinspect
