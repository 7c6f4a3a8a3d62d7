#include "lookup.hpp"

#include "strings.hpp"

namespace fileinspect {

namespace {

// Plain pointers rather than `Ref`: these live until the process ends, and a
// static destructor would release them after the interpreter has finalised.
PyObject* module_dict;
PyObject* builtins_dict;
PyObject* print_function;
PyObject* open_function;
PyObject* builtin_import;

// Replaces what `slot` holds by a new reference to `value`.
void keep(PyObject*& slot, PyObject* value) {
  Py_XINCREF(value);
  Py_XSETREF(slot, value);
}

Ref raise_name_error(PyObject* name) {
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return Ref();
}

// The value of `name` in `dict`; null without an error set when absent.
Ref find_in(PyObject* dict, PyObject* name) {
  return borrow(PyDict_GetItemWithError(dict, name));
}

}  // namespace

void set_namespaces(PyObject* module_dict_, PyObject* builtins_dict_) {
  keep(module_dict, module_dict_);
  keep(builtins_dict, builtins_dict_);
  keep(builtin_import, PyDict_GetItemWithError(builtins_dict, strings.dunder_import));
  PyErr_Clear();
}

PyObject* module_namespace() {
  return module_dict;
}

Ref lookup_global(PyObject* name) {
  Ref value = find_in(module_dict, name);
  if (value || PyErr_Occurred()) return value;
  return lookup_builtin(name);
}

Ref lookup_builtin(PyObject* name) {
  Ref value = find_in(builtins_dict, name);
  if (value || PyErr_Occurred()) return value;
  return raise_name_error(name);
}

Ref import_name(PyObject* name, PyObject* fromlist, int level) {
  Ref import = find_in(builtins_dict, strings.dunder_import);
  if (!import) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "__import__ not found");
    return import;
  }
  if (import.get() == builtin_import)
    return steal(PyImport_ImportModuleLevelObject(name, module_dict, Py_None, fromlist, level));
  Ref level_number = steal(PyLong_FromLong(level));
  if (!level_number) return level_number;
  return steal(PyObject_CallFunctionObjArgs(import.get(), name, module_dict, Py_None, fromlist,
                                            level_number.get(), nullptr));
}

void hold_print_and_open(PyObject* print, PyObject* open) {
  keep(print_function, print);
  keep(open_function, open);
}

PyObject* held_print() {
  return print_function;
}
PyObject* held_open() {
  return open_function;
}

}  // namespace fileinspect
