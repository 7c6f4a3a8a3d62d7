// How the scanner reports that it cannot read a workbook: every function that
// can fail returns false (or null) with a Python exception set, either the
// module's own `Unreadable` (a ValueError) for a file it refuses, or whatever
// CPython raised (MemoryError, a zlib error, KeyboardInterrupt).
#pragma once

#include "common/pyref.hpp"

namespace sheetscan {

using common::borrow;
using common::Ref;
using common::steal;

// The exception class `_sheetscan.Unreadable`, made by the module's initialisation.
extern PyObject* unreadable_error;

// Sets Unreadable with a printf-style message (PyErr_Format's conventions); returns false.
bool refuse(const char* format, ...);

}  // namespace sheetscan
