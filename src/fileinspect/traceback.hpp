// Traceback entries that name this module's functions and source lines.
//
// An entry is added by making an empty code object for the place (file,
// function, line), a frame for it, and letting the interpreter prepend that
// frame to the traceback of the exception being raised. An entry added later
// stands outside the earlier ones, as an enclosing statement would.
#pragma once

#include "base.hpp"
#include "lines.hpp"

namespace fileinspect {

// Adds an entry for `line` to the exception being raised. The exception
// stays as it is, also when no entry can be made.
void add_traceback_entry(Line line);

// Adds the entry and returns the null result that reports the failure.
inline Ref fail(Line line) {
  add_traceback_entry(line);
  return Ref();
}

// The same, for helpers that return a status.
inline int fail_status(Line line) {
  add_traceback_entry(line);
  return -1;
}

}  // namespace fileinspect
