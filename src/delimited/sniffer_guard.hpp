// Whether csv.Sniffer is still the interpreter's own, and one whose answers
// the native sniff reproduces, so that they can be worked out natively.
//
// The first call that sniffs captures the sniffer's section of the registry
// (originals.hpp) from the csv module that call imported: the class and its
// methods (their code from the standard library's csv.py, their globals
// csv's namespace), which must be a variant the native sniff knows
// (sniffer_variants.hpp); csv.Dialect; and the globals, built-ins and
// modules the methods read, each checked for provenance (csv's reader,
// StringIO and Error must be the reader section's). Every later call checks
// that all of it is unchanged: what a dict cannot show (code objects,
// defaults, a class's bases, a module's class) on every call, and the
// namespaces themselves in full whenever one of them may have changed since
// the last check found them as captured (common::DictChanges).
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
