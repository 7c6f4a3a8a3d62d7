// csv.Sniffer().has_header(sample), given the dialect that sniff(sample)
// returns: the first row read with that dialect, and the column vote of the
// rows after it. Cells are converted with the interpreter's own int, float
// and complex, as the sniffer's variant tries them.
#pragma once

#include "base.hpp"

#include <cstdint>

#include "sample_sniffer.hpp"

namespace delimited {

// The rows are split natively where the sample allows (`points` is the
// sample's code points, `layout` what sniff() found, `rules` those of the
// sniffer's variant, `field_limit` the reader's field size limit now, or -1
// to leave every row to the reader);
// otherwise they are read by `reader` over `string_io(sample)`, the csv
// module's own (guarded by the caller).
//
// Returns 1 or 0 for the sniffer's answer; -1, perhaps with an error set,
// when the sniffer would not simply return (a row it cannot read, a
// conversion raising what it does not catch): the caller gives up (see
// common/fast_path.hpp) and lets the sniffer itself run.
int vote_header(PyObject* reader, PyObject* string_io, PyObject* sample, PyObject* dialect,
                const CodePoints& points, const SniffedLayout& layout, const SnifferRules& rules,
                int64_t field_limit);

}  // namespace delimited
