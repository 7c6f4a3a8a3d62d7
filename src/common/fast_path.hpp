// What a fast path does when it gives up, written once for every fast path.
//
// A fast path stands in for a plain path whose result it reproduces. When it
// cannot go on (the input is not of a kind it reproduces, or a call it made
// raised), it gives up: the error its own attempt raised is cleared and the
// plain path runs instead, meeting whatever it meets itself. Two errors are
// never cleared: MemoryError and KeyboardInterrupt stay set and become the
// failure of the step, since running the plain path after them would hide an
// exhausted process or a user's interrupt.
#pragma once

#include "common/pyref.hpp"

namespace common {

// Gives up a fast path. Returns 0 when the plain path may run (no error is
// left set), or -1 when the step fails with the MemoryError or
// KeyboardInterrupt that stays set.
inline int give_up_fast_path() noexcept {
  if (!PyErr_Occurred()) return 0;
  if (PyErr_ExceptionMatches(PyExc_MemoryError) || PyErr_ExceptionMatches(PyExc_KeyboardInterrupt))
    return -1;
  PyErr_Clear();
  return 0;
}

}  // namespace common
