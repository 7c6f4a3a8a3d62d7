// What the module keeps for its life, in its module state (one per module
// object): the exception classes it raises, and what it calls of zlib and of
// pyexpat, fetched at the first call that needs them.
#pragma once

#include "common/pyref.hpp"
#include "sheetscan/xml/expat_capi.hpp"

namespace sheetscan {

// zlib's entry points that the inflater calls (owned references).
struct ZlibFunctions {
  PyObject* decompressobj;
  PyObject* crc32;
  PyObject* error;  // zlib.error: damaged deflated data
};

// Attribute names read for every chunk, interned once (owned references).
struct AttributeNames {
  PyObject* decompress;
  PyObject* unconsumed_tail;
  PyObject* eof;
};

// Plain data: the interpreter allocates it zero-filled with the module, and
// clear_module_state releases what it holds. Every reference is owned.
struct ModuleState {
  PyObject* unreadable;  // the class Unreadable, a ValueError: another reader may try
  PyObject* rejected;    // its subclass Rejected: damaged, hostile, beyond a limit; final
  AttributeNames names;
  ZlibFunctions zlib;  // null until the first deflated member
  // pyexpat's capsule, which owns the table of expat functions below: held so
  // that the table lives as long as this module uses it. Null until the first XML part.
  PyObject* expat_capsule;
  const ExpatApi* expat;
};

// The state of module `module` (the `self` of the module's functions).
inline ModuleState* module_state(PyObject* module) {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}

// Makes Unreadable, Rejected and the interned names, and adds the classes to `module`.
int init_module_state(PyObject* module);

int traverse_module_state(PyObject* module, visitproc visit, void* arg);
int clear_module_state(PyObject* module);

// Imports zlib and takes its functions into `state`; false with the error set.
bool load_zlib(ModuleState* state);

// Imports pyexpat and takes its capsule into `state`; false with the error set.
bool load_expat(ModuleState* state);

}  // namespace sheetscan
