// The guard and the glue around the record scanner (record_scanner.hpp).
//
// The native count stands in for iterating the reader only when the outcome
// is known to be the same: the reader is the interpreter's own, reading a
// text file that the interpreter's own `open` made over a regular file, in
// the way the caller says it did (OpenedTextFile), with a dialect the
// scanner reproduces. Everything is checked on every call, without calling
// any Python code; anything else leaves the reader to do the work. The title
// row is made by the interpreter's own reader from the lines of the record
// the scanner located, so it is exactly the reader's.
#include "row_count.hpp"

#include <sys/stat.h>

#include <climits>
#include <cstdint>
#include <cstring>

#include "common/call.hpp"
#include "common/exception_boundary.hpp"
#include "common/fast_path.hpp"
#include "originals.hpp"
#include "record_scanner.hpp"
#include "switches.hpp"

namespace delimited {

namespace {

constexpr size_t kDefaultBlockSize = 256 * 1024;

bool is_text(PyObject* value, const char* expected) {
  return value && PyUnicode_Check(value) && PyUnicode_CompareWithASCIIString(value, expected) == 0;
}

// The file was made as the scanner reads it: by the interpreter's own open,
// as text in "utf-8-sig" with strict errors and universal newlines, and it
// is at its start.
bool opened_as_scanned(const OpenedTextFile& opened, const ReaderOriginals& originals) {
  return opened.open == originals.open.get() && is_text(opened.mode, "r") &&
         is_text(opened.encoding, "utf-8-sig") && opened.strict_errors && opened.universal_lines &&
         opened.rewound;
}

// object.name when `object` is exactly of type `type`, and the attribute
// too when `attribute_type` is given; null otherwise.
Ref exact_attribute(PyObject* object, PyObject* name, PyObject* attribute_type) {
  Ref value = steal(PyObject_GetAttr(object, name));
  if (value && attribute_type &&
      Py_TYPE(value.get()) != reinterpret_cast<PyTypeObject*>(attribute_type))
    return Ref();
  return value;
}

// Whether object.name is the text `expected`.
bool attribute_is_text(PyObject* object, PyObject* name, const char* expected) {
  Ref value = steal(PyObject_GetAttr(object, name));
  return is_text(value.get(), expected);
}

// The descriptor of the regular file that `csvfile` reads, when it is the
// interpreter's own text file over a buffered reader over a raw file; -1 not.
int regular_file_descriptor(PyObject* csvfile, const Names& names, const ReaderOriginals& originals,
                            uint64_t& size) {
  if (Py_TYPE(csvfile) != reinterpret_cast<PyTypeObject*>(originals.text_io_wrapper_type.get()))
    return -1;
  if (!attribute_is_text(csvfile, names.encoding.get(), "utf-8-sig")) return -1;
  if (!attribute_is_text(csvfile, names.errors.get(), "strict")) return -1;
  Ref buffer = exact_attribute(csvfile, names.buffer.get(), originals.buffered_reader_type.get());
  Ref raw =
      buffer ? exact_attribute(buffer.get(), names.raw.get(), originals.file_io_type.get()) : Ref();
  int fd = raw ? PyObject_AsFileDescriptor(raw.get()) : -1;
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return -1;
  size = static_cast<uint64_t>(info.st_size);
  return fd;
}

// The one ASCII character of dialect.name; false otherwise.
bool single_character(PyObject* dialect, PyObject* name, uint32_t& character) {
  Ref value = steal(PyObject_GetAttr(dialect, name));
  if (!value || !PyUnicode_Check(value.get()) || PyUnicode_GetLength(value.get()) != 1)
    return false;
  character = PyUnicode_ReadChar(value.get(), 0);
  return character < 0x80;
}

// dialect.name as a truth value, when it is an int (a bool from 3.8 on).
bool flag(PyObject* dialect, PyObject* name, bool& on) {
  Ref value = steal(PyObject_GetAttr(dialect, name));
  if (!value || !PyLong_Check(value.get())) return false;
  long number = PyLong_AsLong(value.get());
  if (number == -1 && PyErr_Occurred()) return false;
  on = number != 0;
  return true;
}

// dialect.name is the int `expected`.
bool number_is(PyObject* dialect, PyObject* name, long expected) {
  Ref value = steal(PyObject_GetAttr(dialect, name));
  if (!value || !PyLong_Check(value.get())) return false;
  long number = PyLong_AsLong(value.get());
  return number == expected && !(number == -1 && PyErr_Occurred());
}

// The reader's dialect, when it is one the scanner reproduces:
// QUOTE_MINIMAL, no escape character, strict off, and one the record rules
// hold for, of ASCII characters.
bool scanned_dialect(PyObject* reader, const Names& names, const ReaderOriginals& originals,
                     RecordDialect& out) {
  Ref dialect = exact_attribute(reader, names.dialect.get(), originals.dialect_type.get());
  if (!dialect) return false;
  bool strict = true;
  if (!single_character(dialect.get(), names.delimiter.get(), out.delimiter) ||
      !single_character(dialect.get(), names.quotechar.get(), out.quotechar) ||
      !flag(dialect.get(), names.doublequote.get(), out.doublequote) ||
      !flag(dialect.get(), names.skipinitialspace.get(), out.skipinitialspace) ||
      !flag(dialect.get(), names.strict.get(), strict) || strict)
    return false;
  Ref escapechar = steal(PyObject_GetAttr(dialect.get(), names.escapechar.get()));
  if (escapechar.get() != Py_None) return false;
  if (!number_is(dialect.get(), names.quoting.get(), 0)) return false;  // QUOTE_MINIMAL
  return rules_hold_for(out);
}

// Rewrites "\r\n" and "\r" as "\n", as the text file does; returns the new length.
size_t translate_line_ends(char* text, size_t length) {
  size_t out = 0;
  for (size_t in = 0; in < length; ++in) {
    char byte = text[in];
    if (byte == '\r') {
      byte = '\n';
      if (in + 1 < length && text[in + 1] == '\n') ++in;
    }
    text[out++] = byte;
  }
  return out;
}

// The lines of the bytes [begin, end) of the file, as the text file yields them.
Ref record_lines(int fd, uint64_t begin, uint64_t end) {
  if (end - begin > static_cast<uint64_t>(PY_SSIZE_T_MAX)) return Ref();
  size_t length = static_cast<size_t>(end - begin);
  Ref bytes = steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length)));
  if (!bytes) return bytes;
  char* text = PyBytes_AS_STRING(bytes.get());
  if (read_exactly(fd, text, length, begin) != ReadStatus::kComplete) return Ref();
  length = translate_line_ends(text, length);
  Ref lines = steal(PyList_New(0));
  for (size_t start = 0; lines && start < length;) {
    const void* line_feed = std::memchr(text + start, '\n', length - start);
    size_t stop =
        line_feed ? static_cast<size_t>(static_cast<const char*>(line_feed) - text) + 1 : length;
    Ref line =
        steal(PyUnicode_DecodeUTF8(text + start, static_cast<Py_ssize_t>(stop - start), "strict"));
    if (!line || PyList_Append(lines.get(), line.get()) < 0) return Ref();
    start = stop;
  }
  return lines;
}

// The first row, made by the interpreter's reader from the record's lines.
Ref title_row(int fd, const ScanResult& scan, PyObject* reader, const Names& names,
              const ReaderOriginals& originals) {
  Ref lines = record_lines(fd, scan.first_begin, scan.first_end);
  Ref dialect = lines ? steal(PyObject_GetAttr(reader, names.dialect.get())) : Ref();
  if (!dialect) return dialect;
  Ref rows = call(originals.reader.get(), {lines.get(), dialect.get()});
  Ref row = rows ? steal(PyIter_Next(rows.get())) : Ref();
  if (row && (!PyList_CheckExact(row.get()) || PyList_GET_SIZE(row.get()) == 0)) return Ref();
  return row;
}

// Whether the call's objects are the ones the scanner reproduces; fills in
// the descriptor, its size and the scan options when they are.
bool applicable(PyObject* reader_function, PyObject* csvfile, PyObject* reader,
                const OpenedTextFile& opened, const ReaderOriginals& originals, int& fd,
                uint64_t& size, ScanOptions& options) {
  const Names& names = *registry.names;
  if (reader_function != originals.reader.get() || !opened_as_scanned(opened, originals))
    return false;
  if (Py_TYPE(reader) != reinterpret_cast<PyTypeObject*>(originals.reader_type.get())) return false;
  if (!scanned_dialect(reader, names, originals, options.dialect)) return false;
  if (!current_field_size_limit(originals, options.field_limit)) return false;
  fd = regular_file_descriptor(csvfile, names, originals, size);
  return fd >= 0;
}

// Files smaller than this are scanned in less time than it takes to hand the
// interpreter lock over and take it back.
constexpr uint64_t kLockReleaseSize = 64 * 1024;

// The scan touches no Python object, so other threads run meanwhile, unless
// the file is small.
ScanResult scan_without_the_lock(int fd, uint64_t size, const ScanOptions& options) {
  if (size < kLockReleaseSize) return scan_records(fd, size, options);
  PyThreadState* saved = PyEval_SaveThread();
  ScanResult scan = scan_records(fd, size, options);
  PyEval_RestoreThread(saved);
  return scan;
}

// 1 when counted; 0, perhaps with an error set, when the reader must be
// iterated.
int count_natively(PyObject* reader_function, PyObject* csvfile, PyObject* reader,
                   const OpenedTextFile& opened, bool want_title, CountedRows& rows) {
  Switches::CountCounters& counters = switches.count;
  int fd = -1;
  uint64_t size = 0;
  ScanOptions options{};
  options.scalar_only = switches.scalar_only;
  options.block_size = switches.block_size ? switches.block_size : kDefaultBlockSize;
  const ReaderOriginals* originals = reader_originals();
  if (!originals ||
      !applicable(reader_function, csvfile, reader, opened, *originals, fd, size, options)) {
    ++counters.declined;
    return 0;
  }

  ScanResult scan = scan_without_the_lock(fd, size, options);
  if (scan.outcome != ScanOutcome::kCounted || scan.records > static_cast<uint64_t>(LLONG_MAX)) {
    ++counters.fell_back;
    return 0;
  }
  if (want_title && scan.records > 0) {
    rows.title = title_row(fd, scan, reader, *registry.names, *originals);
    if (!rows.title) {
      ++counters.fell_back;
      return 0;
    }
  }
  rows.count = static_cast<long long>(scan.records);
  ++counters.counted;
  return 1;
}

}  // namespace

int count_rows(PyObject* reader_function, PyObject* csvfile, PyObject* reader,
               const OpenedTextFile& opened, bool want_title, CountedRows& rows) {
  if (!switches.count_natively) return 0;
  // A C++ exception fails the step with MemoryError, as the reader's own would.
  int counted = without_exceptions<count_natively>(reader_function, csvfile, reader, opened,
                                                   want_title, rows);
  if (counted == 0 && give_up_fast_path() < 0) return -1;
  return counted;
}

}  // namespace delimited
