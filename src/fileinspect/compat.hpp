// Differences between the CPython versions the module supports (3.7 onwards),
// kept here so that the rest of the code reads the same on every version.
#pragma once

#include "pyref.hpp"

// The module's initialisation function must stay visible although the
// extension is built with hidden visibility; PyMODINIT_FUNC sees to that
// itself only from 3.9 on.
#if PY_VERSION_HEX >= 0x03090000
#define FILEINSPECT_MODINIT PyMODINIT_FUNC
#else
#define FILEINSPECT_MODINIT extern "C" __attribute__((visibility("default"))) PyObject*
#endif

namespace fileinspect {

// Calls `callable` with `nargs` positional arguments followed by the values
// of the keywords named in `kwnames` (a tuple, or null for none).
// 3.7 spells the vector call _PyObject_FastCallKeywords, 3.8 _PyObject_Vectorcall;
// 3.9 made it public as PyObject_Vectorcall.
inline Ref call_vector(PyObject* callable, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames = nullptr) {
#if PY_VERSION_HEX >= 0x03090000
  return steal(PyObject_Vectorcall(callable, args, static_cast<size_t>(nargs), kwnames));
#elif PY_VERSION_HEX >= 0x03080000
  return steal(_PyObject_Vectorcall(callable, args, static_cast<size_t>(nargs), kwnames));
#else
  return steal(_PyObject_FastCallKeywords(callable, args, nargs, kwnames));
#endif
}

// The exception being raised, taken off the thread state, normalised.
struct RaisedException {
  Ref type;
  Ref value;
  Ref traceback;
};

// 3.12 keeps a raised exception as one object; earlier versions as a
// (type, value, traceback) triple that may not be normalised yet.
inline RaisedException fetch_raised_exception() {
  RaisedException raised;
#if PY_VERSION_HEX >= 0x030C0000
  raised.value = steal(PyErr_GetRaisedException());
  if (raised.value) {
    raised.type = borrow(reinterpret_cast<PyObject*>(Py_TYPE(raised.value.get())));
    raised.traceback = steal(PyException_GetTraceback(raised.value.get()));
  }
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value && traceback) PyException_SetTraceback(value, traceback);
  raised.type = steal(type);
  raised.value = steal(value);
  raised.traceback = steal(traceback);
#endif
  return raised;
}

inline void restore_raised_exception(RaisedException raised) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(raised.value.release());
#else
  PyErr_Restore(raised.type.release(), raised.value.release(), raised.traceback.release());
#endif
}

// The error Python raises when a local name is read before it was bound;
// 3.11 reworded it.
inline void raise_unbound_local(const char* name) {
#if PY_VERSION_HEX >= 0x030B0000
  PyErr_Format(PyExc_UnboundLocalError,
               "cannot access local variable '%s' where it is not associated with a value", name);
#else
  PyErr_Format(PyExc_UnboundLocalError, "local variable '%s' referenced before assignment", name);
#endif
}

}  // namespace fileinspect
