// The variants of csv.py whose Sniffer the native sniff reproduces, each
// known by the digest of its methods' code (code_digest.hpp), and the rules
// each one follows. The rules are not a function of the interpreter's version
// (a patch release of 3.13 took up those of 3.14, and a distribution may patch
// csv.py on its own), and the bytecode differs from one minor version to the
// next: each interpreter's csv.py is its own entry. A csv.py whose digest is not in the table is
// left to the sniffer itself.
#pragma once

#include "base.hpp"

#include <cstdint>

namespace delimited {

// Where the variants' answers differ.
struct SnifferRules {
  // has_header tries int, float and complex on a cell, in turn (else complex alone).
  bool header_tries_int_and_float;
  // sniff() turns "\r\n", then "\r", into "\n" before it guesses; has_header
  // still reads the sample as given.
  bool normalises_line_ends;
  // The body of a quoted field in the four quote patterns is (?:QQ|(?!Q).)*+,
  // which ends at the first quote that is not doubled; else .*?, which ends
  // at the first quote the rest of the pattern accepts.
  bool possessive_quote_bodies;
  // The doubled-quote test matches whole fields, and only once a delimiter
  // was found; else it looks for three quotes between delimiters on a line.
  bool whole_field_doublequote;
  // _guess_delimiter counts U+007F among its candidates (str.isascii);
  // else chr(0) to chr(126).
  bool delete_is_candidate;
};

// How the methods reach the modules they use besides csv's own globals.
enum class SnifferImports {
  none,                // `re` is a global of csv
  re,                  // _guess_quote_and_delimiter does `import re`
  re_and_collections,  // and _guess_delimiter `from collections import Counter, defaultdict`
};

struct SnifferVariant {
  uint64_t digest;
  const char* proven_on;  // the interpreter whose csv.py it is, as the tests ran on it
  SnifferRules rules;
  SnifferImports imports;
};

// The variant with this digest; null when the native sniff does not know it.
const SnifferVariant* known_variant(uint64_t digest);

// The five methods that has_header() and sniff() reach, in the order they
// are digested.
constexpr int kSnifferMethods = 5;
extern const char* const kSnifferMethodNames[kSnifferMethods];

// The digest of the five methods of `sniffer` (a class), read from its
// namespace. False, with an error set only when one was raised, when a
// method is not a Python function.
bool sniffer_digest(PyObject* sniffer, uint64_t& digest);

}  // namespace delimited
