// csv.Sniffer().has_header(sample) and csv.Sniffer().sniff(sample), answered
// in one native pass over the sample whenever the answers are provably the
// sniffer's own (sniffer_guard.hpp); otherwise the caller runs the sniffer.
#pragma once

#include "base.hpp"

namespace delimited {

struct SniffAnswers {
  Ref title_first;  // what has_header(sample) returns, when asked for
  Ref dialect;      // what sniff(sample) returns: a new dialect class
};

// Returns 1 with `answers` filled (`title_first` only when `want_header`).
// Returns 0, with nothing filled and no error set, when the sniffer must run:
// `csv` (the imported csv module) is not the interpreter's own sniffer, the
// sample is not an exact str, the sniffer would raise, or the native sniff
// is switched off. Returns -1 with MemoryError or KeyboardInterrupt set when
// the step fails.
int sniff_sample(PyObject* csv, PyObject* sample, bool want_header, SniffAnswers& answers);

}  // namespace delimited
