// Differences between the CPython versions the extensions support (3.7
// onwards), and every read of a CPython struct field, kept here so that the
// rest of the code reads the same on every version. Each entry names the
// versions it tells apart and why.
#pragma once

#include <cstdint>

#include "pyref.hpp"

// A module's initialisation function must stay visible although the
// extensions are built with hidden visibility; PyMODINIT_FUNC sees to that
// itself only from 3.9 on.
#if PY_VERSION_HEX >= 0x03090000
#define EXTENSION_MODINIT PyMODINIT_FUNC
#else
#define EXTENSION_MODINIT extern "C" __attribute__((visibility("default"))) PyObject*
#endif

namespace common {

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

// The exception being raised, put aside while this lives (so that code which
// must run without a pending exception can), and raised again at its end.
// Nothing is normalised: the exception comes back exactly as it was.
class PendingException {
 public:
#if PY_VERSION_HEX >= 0x030C0000
  PendingException() : value_(steal(PyErr_GetRaisedException())) {}
  ~PendingException() { PyErr_SetRaisedException(value_.release()); }
#else
  PendingException() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    type_ = steal(type);
    value_ = steal(value);
    traceback_ = steal(traceback);
  }
  ~PendingException() { PyErr_Restore(type_.release(), value_.release(), traceback_.release()); }
#endif
  PendingException(const PendingException&) = delete;
  PendingException& operator=(const PendingException&) = delete;

 private:
#if PY_VERSION_HEX < 0x030C0000
  Ref type_;
  Ref traceback_;
#endif
  Ref value_;
};

// The exception being handled (what sys.exc_info() reports), saved when this
// is made and put back when it ends. 3.11 added PyErr_GetHandledException;
// the triple form used here works on every supported version.
class HandledExceptionScope {
 public:
  HandledExceptionScope() {
    PyObject *type, *value, *traceback;
    PyErr_GetExcInfo(&type, &value, &traceback);
    type_ = steal(type);
    value_ = steal(value);
    traceback_ = steal(traceback);
  }
  ~HandledExceptionScope() {
    PyErr_SetExcInfo(type_.release(), value_.release(), traceback_.release());
  }
  HandledExceptionScope(const HandledExceptionScope&) = delete;
  HandledExceptionScope& operator=(const HandledExceptionScope&) = delete;

  // Makes `raised` the exception being handled until the scope ends, as an
  // except clause does.
  void handle(const RaisedException& raised) {
    PyErr_SetExcInfo(raised.type.share().release(), raised.value.share().release(),
                     raised.traceback.share().release());
  }

 private:
  Ref type_, value_, traceback_;
};

// `name` looked up along the type's method resolution order, without calling
// descriptors (borrowed; null, possibly without an error set, when missing).
// _PyType_Lookup is private API, but it is how the interpreter itself finds
// special methods such as __enter__ and __exit__, which must not be looked up
// in the instance dictionary; it exists unchanged in 3.7 to 3.13.
inline PyObject* find_on_type(PyTypeObject* type, PyObject* name) {
  return _PyType_Lookup(type, name);
}

// The name a code object was defined with (borrowed). The field is read
// directly: PyCode_GetName is not there before 3.11 (and returns a new
// reference), while the co_name member exists in every supported version.
inline PyObject* code_name(PyObject* code) {
  return reinterpret_cast<PyCodeObject*>(code)->co_name;
}

// The built-ins' namespace a Python function runs with (borrowed), or null
// when it is taken from the globals at each call. From 3.10 a function holds
// the built-ins it was made with (func_builtins); before, each call reads
// globals["__builtins__"].
inline PyObject* function_builtins(PyObject* function) {
#if PY_VERSION_HEX >= 0x030A0000
  return reinterpret_cast<PyFunctionObject*>(function)->func_builtins;
#else
  (void)function;
  return nullptr;
#endif
}

// A number that changes with every change to the dict, or 0 where it is not
// known. Every version from 3.7 to 3.13 keeps it as ma_version_tag (3.12
// deprecated the field, 3.14 removed it; from 3.12 its low bits also mark
// watchers, which only makes it change more often).
inline uint64_t dict_version(PyObject* dict) {
#if PY_VERSION_HEX < 0x030E0000
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#pragma GCC diagnostic pop
#else
  (void)dict;
  return 0;
#endif
}

// Makes sure a str's code points can be read with PyUnicode_READ: before
// 3.12 a str made through the old wide-character API may not be ready yet.
inline int ready_text(PyObject* text) {
#if PY_VERSION_HEX >= 0x030C0000
  (void)text;
  return 0;
#else
  return PyUnicode_READY(text);
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

// Fields of CPython's structs, read directly where no function gives them on
// every supported version (each is in the struct from 3.7 to 3.13).

// A class's own namespace (borrowed). PyType_GetDict, which also covers the
// static built-in types, is there only from 3.12; the classes read here are
// made by class statements, whose tp_dict every version fills.
inline PyObject* type_namespace(PyObject* type) {
  return reinterpret_cast<PyTypeObject*>(type)->tp_dict;
}

// A class's method resolution order (borrowed, a tuple, or null before the
// class is ready). There is no function for it before 3.13.
inline PyObject* type_mro(PyObject* type) {
  return reinterpret_cast<PyTypeObject*>(type)->tp_mro;
}

// The source file a code object was compiled from (borrowed).
inline PyObject* code_filename(PyObject* code) {
  return reinterpret_cast<PyCodeObject*>(code)->co_filename;
}

// The global and attribute names a code object reads (borrowed, a tuple).
inline PyObject* code_names(PyObject* code) {
  return reinterpret_cast<PyCodeObject*>(code)->co_names;
}

// A code object's constants (borrowed, a tuple): nested code objects among them.
inline PyObject* code_constants(PyObject* code) {
  return reinterpret_cast<PyCodeObject*>(code)->co_consts;
}

// The name a built-in function was defined with. The method definition is
// the only place that holds it as C text on every version.
inline const char* builtin_function_name(PyObject* function) {
  return reinterpret_cast<PyCFunctionObject*>(function)->m_ml->ml_name;
}

// The `__get__` slot of a descriptor's type (null for an object that is no
// descriptor), as the interpreter calls it on a special method it found on a
// type. PyType_GetSlot reads slots of static types only from 3.10 on, so the
// field is read.
inline descrgetfunc descriptor_get(PyObject* descriptor) {
  return Py_TYPE(descriptor)->tp_descr_get;
}

// The name in the definition that a module made by C code was created from,
// or null for a module without one (one written in Python, or not a module).
// The definition's m_name is its only record of that name on every version.
inline const char* module_definition_name(PyObject* module) {
  PyModuleDef* definition = PyModule_Check(module) ? PyModule_GetDef(module) : nullptr;
  return definition ? definition->m_name : nullptr;
}

// What the running version's csv module does, where the native sniff follows
// it: Sniffer.has_header converts a cell with int, float and complex up to
// 3.9, and with complex alone from 3.10; from 3.12 it tests a cell's length
// through isinstance.
constexpr bool kHasHeaderTriesIntAndFloat = PY_VERSION_HEX < 0x030A0000;
constexpr bool kHasHeaderUsesIsinstance = PY_VERSION_HEX >= 0x030C0000;

}  // namespace common
