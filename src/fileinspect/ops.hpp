// Small operations on Python objects, spelled as the statements they stand
// for. Each returns a null `Ref` (or -1) with the Python error set on failure.
#pragma once

#include <initializer_list>

#include "base.hpp"
#include "common/call.hpp"
#include "lookup.hpp"
#include "state.hpp"

namespace fileinspect {

// object.name(*args)
inline Ref call_method(PyObject* object, PyObject* name, std::initializer_list<PyObject*> args) {
  Ref method = steal(PyObject_GetAttr(object, name));
  if (!method) return method;
  return call(method.get(), args);
}

// name(*args), `name` read from the module namespace at the moment of the call.
inline Ref call_global(PyObject* name, std::initializer_list<PyObject*> args) {
  Ref function = lookup_global(name);
  if (!function) return function;
  return call(function.get(), args);
}

// object == text, as a truth value: 1, 0, or -1.
inline int equals_text(PyObject* object, PyObject* text) {
  if (object == text) return 1;
  if (PyUnicode_CheckExact(object)) return PyUnicode_Compare(object, text) == 0;
  Ref result = steal(PyObject_RichCompare(object, text, Py_EQ));
  return result ? PyObject_IsTrue(result.get()) : -1;
}

// object == first or object == second: 1, 0, or -1.
inline int equals_either(PyObject* object, PyObject* first, PyObject* second) {
  int found = equals_text(object, first);
  return found ? found : equals_text(object, second);
}

// text.split(separator)
inline Ref split(PyObject* text, PyObject* separator) {
  if (PyUnicode_CheckExact(text)) return steal(PyUnicode_Split(text, separator, -1));
  return call_method(text, constants.split, {separator});
}

// import name (absolute), with the module namespace as the importer's globals.
inline Ref import_module(PyObject* name) {
  return import_name(name, Py_None, 0);
}

// sequence[index]
inline Ref item(PyObject* sequence, Py_ssize_t index) {
  if (PyList_CheckExact(sequence)) return steal(PySequence_GetItem(sequence, index));
  Ref key = steal(PyLong_FromSsize_t(index));
  if (!key) return key;
  return steal(PyObject_GetItem(sequence, key.get()));
}

}  // namespace fileinspect
