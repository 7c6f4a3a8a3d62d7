// Counting the rows of a delimited file natively, in place of iterating the
// csv reader, when that gives exactly what the reader would give.
#pragma once

#include "base.hpp"

namespace delimited {

// How the caller made the text file that the reader reads, and what it did
// with it since: the count reads the file's bytes itself, from the start, and
// so relies on these facts, which only the caller knows.
struct OpenedTextFile {
  PyObject* open;        // the function that opened it, called as
  PyObject* mode;        // open(filename, mode, encoding=encoding):
  PyObject* encoding;    // str objects
  bool strict_errors;    // no `errors` argument was given
  bool universal_lines;  // no `newline` argument was given
  bool rewound;          // seek(0) was called since, and nothing was read after it
};

// What a native count found: the rows holding fields and, when asked for,
// the first of them as the interpreter's csv reader makes it.
struct CountedRows {
  long long count = 0;
  Ref title;  // null unless a title was asked for and there is a row
};

// With `reader` made by `reader_function(csvfile, dialect)` over the file
// that `opened` describes: 1 when the rows were counted natively (`rows`
// set); 0 when the reader must be iterated as usual (nothing changed, no
// error set); -1 with MemoryError or KeyboardInterrupt set, which fails the
// step.
int count_rows(PyObject* reader_function, PyObject* csvfile, PyObject* reader,
               const OpenedTextFile& opened, bool want_title, CountedRows& rows);

}  // namespace delimited
