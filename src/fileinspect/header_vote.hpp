// csv.Sniffer().has_header(sample), given the dialect that sniff(sample)
// returns: the first row read with that dialect, and the column vote of the
// rows after it. Cells are converted with the interpreter's own int, float
// and complex, in the order the running version's sniffer tries them.
#pragma once

#include <cstdint>

#include "base.hpp"
#include "sniffer.hpp"

namespace fileinspect {

// 1 or 0 for the sniffer's answer; -1 when the sniffer would not simply
// return (a row it cannot read, a conversion raising something else): the
// error is cleared and the caller lets the sniffer itself run.
// `reader` and `string_io` are the csv module's own (guarded by the caller).
// False only when int(cell), float(cell) and complex(cell) all certainly
// raise ValueError (see header_vote.cpp); `cell` is a str.
bool may_be_number(PyObject* cell);
// The same for int(cell) alone.
bool may_be_int(PyObject* cell);

// The rows are split natively where the sample allows (`points` is the
// sample's code points, `layout` what sniff() found, `field_limit` the
// reader's field size limit now); otherwise they are read by the reader.
int vote_header(PyObject* reader, PyObject* string_io, PyObject* sample, PyObject* dialect,
                const CodePoints& points, const SniffedLayout& layout, int64_t field_limit);

// Every row the reader would make of the sample (a str, `points` its code
// points), split natively, as lists of str; null (no error set) where the
// split leaves the sample to the reader. For the tests.
Ref split_sample_rows(PyObject* sample, const CodePoints& points, const SniffedLayout& layout,
                      int64_t field_limit);

}  // namespace fileinspect
