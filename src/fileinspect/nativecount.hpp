// Counting the rows of a delimited file natively, in place of iterating the
// csv reader, when that gives exactly what the reader would give.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base.hpp"

namespace fileinspect {

// What a native count found: the rows holding fields and, when asked for,
// the first of them as the interpreter's csv reader makes it.
struct NativeRows {
  long long count = 0;
  Ref title;  // null unless a title was asked for and there is a row
};

// With `reader` made by `reader_function(csvfile, dialect)`: 1 when the rows
// were counted natively (`rows` set), 0 when the reader must be iterated as
// usual (nothing changed, no error set), -1 with MemoryError set.
int count_rows_natively(PyObject* reader_function, PyObject* csvfile, PyObject* reader,
                        bool keep_title, NativeRows& rows);

// csv.field_size_limit() now, from the interpreter's own csv module; false
// (no error set) when it cannot be read.
bool current_field_size_limit(int64_t& limit);

// Private switches and counters for the tests and benchmarks (knobs.cpp).
struct NativeCountKnobs {
  bool enabled = true;
  bool scalar_only = false;          // the portable scanner even where SSE2 exists
  size_t block_size = 0;             // bytes read at a time; 0 for the default
  unsigned long long counted = 0;    // rows counted natively
  unsigned long long declined = 0;   // the reader or the file was not one the scanner reproduces
  unsigned long long fell_back = 0;  // the scan met something it does not reproduce
};

extern NativeCountKnobs native_count_knobs;

}  // namespace fileinspect
