#include "lookup.hpp"

#include "state.hpp"

namespace fileinspect {

namespace {

Ref raise_name_error(PyObject* name) {
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return Ref();
}

// The value of `name` in `dict`; null without an error set when absent, or
// with the error the lookup raised (a key's __eq__ may raise).
Ref find_in(PyObject* dict, PyObject* name) {
  return borrow(PyDict_GetItemWithError(dict, name));
}

}  // namespace

int set_namespaces(PyObject* module_dict, PyObject* builtins_dict) {
  hold(state.namespaces.module_dict, module_dict);
  hold(state.namespaces.builtins_dict, builtins_dict);
  Ref import = find_in(builtins_dict, constants.dunder_import);
  if (!import && PyErr_Occurred()) return -1;
  hold(state.namespaces.builtin_import, import.get());
  return 0;
}

Ref lookup_global(PyObject* name) {
  Ref value = find_in(state.namespaces.module_dict, name);
  if (value || PyErr_Occurred()) return value;
  return lookup_builtin(name);
}

Ref lookup_builtin(PyObject* name) {
  Ref value = find_in(state.namespaces.builtins_dict, name);
  if (value || PyErr_Occurred()) return value;
  return raise_name_error(name);
}

Ref import_name(PyObject* name, PyObject* fromlist, int level) {
  Ref import = find_in(state.namespaces.builtins_dict, constants.dunder_import);
  if (!import) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "__import__ not found");
    return import;
  }
  if (import.get() == state.namespaces.builtin_import)
    return steal(PyImport_ImportModuleLevelObject(name, state.namespaces.module_dict, Py_None,
                                                  fromlist, level));
  Ref level_number = steal(PyLong_FromLong(level));
  if (!level_number) return level_number;
  return steal(PyObject_CallFunctionObjArgs(import.get(), name, state.namespaces.module_dict,
                                            Py_None, fromlist, level_number.get(), nullptr));
}

}  // namespace fileinspect
