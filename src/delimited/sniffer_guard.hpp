// Whether csv.Sniffer is still the interpreter's own, so that its answers can
// be worked out natively.
//
// The first call that sniffs captures the sniffer's section of the registry
// (originals.hpp) from the csv module that call imported: the class and its
// methods (their code from the standard library's csv.py, their globals
// csv's namespace), csv.Dialect, the globals and built-ins the methods read
// and the functions of `re` they call, each checked for provenance; csv's
// reader, StringIO and Error must be the reader section's. Every later call
// checks that all of it is unchanged: in full (about 50 dictionary lookups)
// when a namespace's version shows a change since the last full check found
// it original, and otherwise only what a version cannot show.
#pragma once

#include "base.hpp"
#include "originals.hpp"

namespace delimited {

// The registry's sniffer section when the native sniff may answer for `csv`
// (the imported csv module), with the reader section captured too; null when
// the sniffer must run, with an error set only when one was raised on the
// way (the caller gives up: common/fast_path.hpp).
const SnifferOriginals* original_sniffer(PyObject* csv);

}  // namespace delimited
