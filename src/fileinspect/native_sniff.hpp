// The answers of csv.Sniffer().has_header(sample) and csv.Sniffer().sniff(sample)
// worked out in one native pass over the sample, whenever they are provably
// the sniffer's own; otherwise the caller runs the sniffer.
#pragma once

#include "base.hpp"

namespace fileinspect {

// Fills `dialect` with what sniff(sample) returns and, when `want_header`,
// `title_first` with what has_header(sample) returns; true when it did.
// False (nothing filled, no error set) when the sniffer must run: `csv` is
// not the interpreter's own sniffer, the sample is not an exact str, the
// sniffer would raise, or the native sniff is switched off.
bool sniff_natively(PyObject* csv, PyObject* sample, bool want_header, Ref& title_first,
                    Ref& dialect);

}  // namespace fileinspect
