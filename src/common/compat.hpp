// Differences between the CPython versions the extensions support (3.7
// onwards), and every read of a CPython struct field, kept here so that the
// rest of the code reads the same on every version. Each entry names the
// versions it tells apart and why.
#pragma once

#include "pyref.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

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
// in the instance dictionary; it exists unchanged in 3.7 to 3.15.
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

// Whether any of a few dicts changed since a check last found them as it
// wants them, so that a guard reads them in full only after a change. From
// 3.12 a dict watcher tells; before, each dict's version tag (ma_version_tag),
// which every change sets to a new, never reused value. 3.14 removed the tag
// (3.12 deprecated it); watchers are used wherever they exist, so that 3.12
// and 3.13 run the same code as the newest versions, and they cost no more
// (the guard's cheap check: 10-16 ns with a watcher, 14 ns with the tags, the
// full check 0.5-0.8 us). A watcher sees changes to a dict's items only: what
// a function or class holds outside its dict (its code, its bases) the guard
// still checks itself.
//
// follow() is called once; then each check runs as
//   if (!changes.unchanged()) { changes.start_check(); ...; if (ok) changes.passed(); }
// and a change made while a check runs shows at the next unchanged().
class DictChanges {
 public:
  static constexpr std::size_t kMostDicts = 8;

  // Follows `dicts` (at most kMostDicts; nulls are left out) from now on;
  // each stays alive for the process's life. Where that cannot be done,
  // unchanged() stays false: every check is full.
  void follow(std::initializer_list<PyObject*> dicts) {
    if (dicts.size() > kMostDicts) return;
    count_ = 0;
    for (PyObject* dict : dicts)
      if (dict) dicts_[count_++] = dict;
#if PY_VERSION_HEX >= 0x030C0000
    // One watcher for the process, taken at first use. There are eight per
    // interpreter and CPython keeps some of them: when none is free, the
    // dicts stay unwatched.
    if (watcher_ < 0) watcher_ = PyDict_AddWatcher(mark_changed);
    watching_ = watcher_ >= 0;
    for (std::size_t i = 0; watching_ && i < count_; ++i)
      watching_ = PyDict_Watch(watcher_, dicts_[i]) == 0;
    if (!watching_) PyErr_Clear();
#else
    watching_ = true;
#endif
  }

  void start_check() {
    passed_ = false;
#if PY_VERSION_HEX >= 0x030C0000
    changed_ = false;
#else
    read_versions(versions_at_start_);
#endif
  }

  void passed() {
    passed_ = true;
#if PY_VERSION_HEX < 0x030C0000
    versions_passed_ = versions_at_start_;
#endif
  }

  bool unchanged() const {
    if (!passed_ || !watching_) return false;
#if PY_VERSION_HEX >= 0x030C0000
    return !changed_;
#else
    Versions now;
    read_versions(now);
    return now == versions_passed_;
#endif
  }

 private:
#if PY_VERSION_HEX >= 0x030C0000
  // Runs on every change to a followed dict, before it is made; every kind
  // of event counts. The flag is the process's: one tracker uses it.
  static int mark_changed(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    changed_ = true;
    return 0;
  }
  static inline int watcher_ = -1;
  static inline bool changed_ = true;
#else
  using Versions = std::array<uint64_t, kMostDicts>;
  void read_versions(Versions& versions) const {
    versions.fill(0);
    for (std::size_t i = 0; i < count_; ++i)
      versions[i] = reinterpret_cast<PyDictObject*>(dicts_[i])->ma_version_tag;
  }
  Versions versions_at_start_{}, versions_passed_{};
#endif
  std::array<PyObject*, kMostDicts> dicts_{};
  std::size_t count_ = 0;
  bool watching_ = false;
  bool passed_ = false;
};

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
// every supported version (each is in the struct from 3.7 to 3.15).

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

}  // namespace common
