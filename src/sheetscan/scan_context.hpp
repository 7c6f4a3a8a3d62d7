// What one call of the scanner carries down to every reader: the module's
// state (reached through the function's module argument, never a global),
// and how a reader refuses a file.
//
// Every function of the scanner that can fail returns false (or null) with a
// Python exception set: the module's own `Unreadable` (a ValueError) for a
// file laid out in a way the scanner does not read, which another reader may
// try (unsupported()); its subclass `Rejected` for a file that is damaged,
// hostile or beyond a limit (limits.hpp), which no other reader may try
// (reject()); or whatever CPython raised (MemoryError, OSError,
// KeyboardInterrupt), which is passed on unchanged.
#pragma once

#include "common/pyref.hpp"
#include "sheetscan/module_state.hpp"

#include <cstdint>

namespace sheetscan {

using common::borrow;
using common::Ref;
using common::steal;

class ScanContext {
 public:
  explicit ScanContext(PyObject* module) : state_(*module_state(module)) {}
  ScanContext(const ScanContext&) = delete;
  ScanContext& operator=(const ScanContext&) = delete;

  // Set Unreadable or Rejected with a printf-style message (PyErr_Format's
  // conventions); return false.
  bool unsupported(const char* format, ...) const;
  bool reject(const char* format, ...) const;
  // Turns a pending Unreadable into Rejected when another reader would have
  // to read more than kMaxFallbackBytes (`declared` bytes, or an unknown
  // amount when `known` is false): the fallback is no way around the limits.
  void keep_fallback_within_budget(bool known, uint64_t declared) const;

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
