// The layout of a text sample as csv.Sniffer().sniff(sample) guesses it,
// worked out without running the sniffer's Python code: the quote and
// delimiter guess (the sniffer's four regular expressions, reproduced match
// for match), the doubled-quote test, and the character-frequency vote for
// samples without quoted fields; each by the rules of the sniffer's variant
// (sniffer_variants.hpp).
#pragma once

#include "base.hpp"

#include <vector>

#include "sniffer_variants.hpp"

namespace delimited {

// The sample as code points.
using CodePoints = std::vector<Py_UCS4>;

// What sniff() puts into its dialect, before the defaults ('"' for a missing
// quote character) are applied.
struct SniffedLayout {
  bool found = false;  // false: sniff() raises "Could not determine delimiter"
  Py_UCS4 delimiter = 0;
  bool has_quotechar = false;
  Py_UCS4 quotechar = 0;
  bool doublequote = false;
  bool skipinitialspace = false;
};

// The code points of a str (the object must be a str).
CodePoints code_points_of(PyObject* text);

SniffedLayout sniff_layout(const CodePoints& sample, const SnifferRules& rules);

}  // namespace delimited
