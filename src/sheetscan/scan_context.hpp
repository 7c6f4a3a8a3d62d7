// What one call of the scanner carries down to every reader: the module's
// state (reached through the function's module argument, never a global),
// and how a reader refuses a file.
//
// Every function of the scanner that can fail returns false (or null) with a
// Python exception set: either the module's own `Unreadable` (a ValueError)
// for a file it refuses, through refuse(), or whatever CPython raised
// (MemoryError, OSError, KeyboardInterrupt), which is passed on unchanged.
#pragma once

#include "common/pyref.hpp"
#include "sheetscan/module_state.hpp"

namespace sheetscan {

using common::borrow;
using common::Ref;
using common::steal;

class ScanContext {
 public:
  explicit ScanContext(PyObject* module) : state_(*module_state(module)) {}
  ScanContext(const ScanContext&) = delete;
  ScanContext& operator=(const ScanContext&) = delete;

  // Sets Unreadable with a printf-style message (PyErr_Format's conventions); returns false.
  bool refuse(const char* format, ...) const;

  // zlib's functions, imported at the first use; null with the error set when that fails.
  const ZlibFunctions* zlib();
  // The interned names of the attributes read for every chunk.
  const AttributeNames& names() const { return state_.names; }
  // The expat functions, imported at the first use; null with the error set when that fails.
  const ExpatApi* expat();

 private:
  ModuleState& state_;
};

}  // namespace sheetscan
