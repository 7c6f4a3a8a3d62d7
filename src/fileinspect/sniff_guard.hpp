// Whether csv.Sniffer is still the interpreter's own, so that its answers can
// be worked out natively.
//
// The first call that sniffs captures, from the csv module that call
// imported, what the sniffer's methods run: the class and its methods (their
// code from the standard library's csv.py, their globals csv's namespace),
// csv.Dialect, the globals and built-ins the methods read and the functions
// of `re` they call, each checked for provenance. Every later call checks
// that all of it is unchanged (about 50 dictionary lookups).
#pragma once

#include "base.hpp"

namespace fileinspect {

// True when the native sniff may answer for `csv` (the imported csv module).
// Never fails: anything unexpected means false, with no error set.
bool sniffer_is_original(PyObject* csv);

}  // namespace fileinspect
