// The guard and the glue around the record scanner (rowcount.hpp).
//
// The native count stands in for iterating the reader only when the outcome
// is known to be the same: the reader is the interpreter's own, reading a
// text file that the interpreter's own `open` made over a regular file, with
// a dialect the scanner reproduces. Everything is checked on every call,
// without calling any Python code; anything else leaves the reader to do the
// work. The title row is made by the interpreter's own reader from the lines
// of the record the scanner located, so it is exactly the reader's.
#include "nativecount.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "base.hpp"
#include "rowcount.hpp"
#include "state.hpp"

namespace fileinspect {

NativeCountKnobs native_count_knobs;

namespace {

constexpr size_t kDefaultBlockSize = 256 * 1024;

// The module `name` from sys.modules when it is a module made by C code from
// a definition named `defined_name` or `name` (not a stand-in put there in its
// place); null otherwise. Never imports. (The `_io` module is defined under
// the name "io".)
Ref own_module(const char* name, const char* defined_name) {
  Ref key = steal(PyUnicode_FromString(name));
  Ref module = key ? steal(PyImport_GetModule(key.get())) : Ref();
  if (!module) return module;
  PyModuleDef* def = PyModule_Check(module.get()) ? PyModule_GetDef(module.get()) : nullptr;
  if (!def || !def->m_name) return Ref();
  if (std::strcmp(def->m_name, defined_name) != 0 && std::strcmp(def->m_name, name) != 0)
    return Ref();
  return module;
}

// module.name when it is a built-in function bound to that module (borrowed).
PyObject* own_function(PyObject* module, const char* name) {
  PyObject* function = PyDict_GetItemString(PyModule_GetDict(module), name);
  if (!function || !PyCFunction_Check(function)) return nullptr;
  return PyCFunction_GET_SELF(function) == module ? function : nullptr;
}

// module.name when it is a type (borrowed).
PyObject* type_in(PyObject* module, const char* name) {
  PyObject* type = PyDict_GetItemString(PyModule_GetDict(module), name);
  return type && PyType_Check(type) ? type : nullptr;
}

// The reader and dialect types, from a reader that the reader function makes
// over an empty list (which reads nothing).
bool capture_reader_types(PyObject* reader_function) {
  Ref empty = steal(PyList_New(0));
  PyObject* args[] = {empty.get()};
  Ref probe = empty ? call_vector(reader_function, args, 1) : Ref();
  Ref dialect = probe ? steal(PyObject_GetAttrString(probe.get(), "dialect")) : Ref();
  if (!dialect) return false;
  keep(state.csv_reader_type, reinterpret_cast<PyObject*>(Py_TYPE(probe.get())));
  keep(state.csv_dialect_type, reinterpret_cast<PyObject*>(Py_TYPE(dialect.get())));
  return true;
}

// Captures the originals into the state on first use; true once they are.
bool capture_originals() {
  if (state.csv_reader) return true;
  Ref csv = own_module("_csv", "_csv");
  Ref io = csv ? own_module("_io", "io") : Ref();
  if (!io) return false;
  PyObject* reader = own_function(csv.get(), "reader");
  PyObject* limit = own_function(csv.get(), "field_size_limit");
  PyObject* open = own_function(io.get(), "open");
  PyObject* text = type_in(io.get(), "TextIOWrapper");
  PyObject* buffered = type_in(io.get(), "BufferedReader");
  PyObject* raw = type_in(io.get(), "FileIO");
  if (!reader || !limit || !open || !text || !buffered || !raw) return false;
  if (!capture_reader_types(reader)) return false;
  keep(state.csv_field_size_limit, limit);
  keep(state.io_open, open);
  keep(state.text_io_wrapper_type, text);
  keep(state.buffered_reader_type, buffered);
  keep(state.file_io_type, raw);
  keep(state.csv_reader, reader);  // last: it marks the capture as complete
  return true;
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

// 1 when object.name is the text `expected`, else 0.
bool attribute_is_text(PyObject* object, PyObject* name, const char* expected) {
  Ref value = steal(PyObject_GetAttr(object, name));
  return value && PyUnicode_Check(value.get()) &&
         PyUnicode_CompareWithASCIIString(value.get(), expected) == 0;
}

// The descriptor of the regular file that `csvfile` reads, when it is the
// interpreter's own text file over a buffered reader over a raw file; -1 not.
int regular_file_descriptor(PyObject* csvfile, uint64_t& size) {
  if (Py_TYPE(csvfile) != reinterpret_cast<PyTypeObject*>(state.text_io_wrapper_type)) return -1;
  if (!attribute_is_text(csvfile, constants.encoding, "utf-8-sig")) return -1;
  if (!attribute_is_text(csvfile, constants.errors, "strict")) return -1;
  Ref buffer = exact_attribute(csvfile, constants.buffer, state.buffered_reader_type);
  Ref raw = buffer ? exact_attribute(buffer.get(), constants.raw, state.file_io_type) : Ref();
  int fd = raw ? PyObject_AsFileDescriptor(raw.get()) : -1;
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return -1;
  size = static_cast<uint64_t>(info.st_size);
  return fd;
}

// The one ASCII character of object.name, or -1.
int single_character(PyObject* dialect, PyObject* name) {
  Ref value = steal(PyObject_GetAttr(dialect, name));
  if (!value || !PyUnicode_Check(value.get()) || PyUnicode_GetLength(value.get()) != 1) return -1;
  Py_UCS4 character = PyUnicode_ReadChar(value.get(), 0);
  return character < 0x80 ? static_cast<int>(character) : -1;
}

// 1 or 0 for object.name when it is an int (a bool from 3.8 on), -1 otherwise.
int flag(PyObject* dialect, PyObject* name) {
  Ref value = steal(PyObject_GetAttr(dialect, name));
  if (!value || !PyLong_Check(value.get())) return -1;
  long number = PyLong_AsLong(value.get());
  if (number == -1 && PyErr_Occurred()) return -1;
  return number != 0;
}

// The reader's dialect, when it is one the scanner reproduces.
bool scanned_dialect(PyObject* reader, ScanDialect& out) {
  Ref dialect = exact_attribute(reader, constants.dialect, state.csv_dialect_type);
  if (!dialect) return false;
  int delimiter = single_character(dialect.get(), constants.delimiter);
  int quotechar = single_character(dialect.get(), constants.quotechar);
  int doublequote = flag(dialect.get(), constants.doublequote);
  int skipinitialspace = flag(dialect.get(), constants.skipinitialspace);
  int strict = flag(dialect.get(), constants.strict);
  Ref escapechar = steal(PyObject_GetAttr(dialect.get(), constants.escapechar));
  Ref quoting = steal(PyObject_GetAttr(dialect.get(), constants.quoting));
  if (delimiter < 0 || quotechar < 0 || doublequote < 0 || skipinitialspace < 0 || strict != 0)
    return false;
  if (escapechar.get() != Py_None || !quoting || !PyLong_Check(quoting.get())) return false;
  if (PyLong_AsLong(quoting.get()) != 0) return false;  // QUOTE_MINIMAL
  if (delimiter == quotechar) return false;
  for (int character : {delimiter, quotechar}) {
    if (character == 0 || character == '\n' || character == '\r') return false;
    // A space at the start of a field is skipped before it is compared.
    if (skipinitialspace && character == ' ') return false;
  }
  out.delimiter = static_cast<unsigned char>(delimiter);
  out.quotechar = static_cast<unsigned char>(quotechar);
  out.doublequote = doublequote;
  out.skipinitialspace = skipinitialspace;
  return true;
}

bool current_field_limit(int64_t& limit) {
  Ref value = call_vector(state.csv_field_size_limit, nullptr, 0);
  if (!value || !PyLong_Check(value.get())) return false;
  limit = PyLong_AsLongLong(value.get());
  return !(limit == -1 && PyErr_Occurred());
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
Ref title_row(int fd, const ScanResult& scan, PyObject* reader) {
  Ref lines = record_lines(fd, scan.first_begin, scan.first_end);
  Ref dialect = lines ? steal(PyObject_GetAttr(reader, constants.dialect)) : Ref();
  if (!dialect) return dialect;
  PyObject* args[] = {lines.get(), dialect.get()};
  Ref rows = call_vector(state.csv_reader, args, 2);
  Ref row = rows ? steal(PyIter_Next(rows.get())) : Ref();
  if (row && (!PyList_CheckExact(row.get()) || PyList_GET_SIZE(row.get()) == 0)) return Ref();
  return row;
}

// Whether the call's objects are the ones the scanner reproduces; fills in
// the descriptor, its size and the scan options when they are.
bool applicable(PyObject* reader_function, PyObject* csvfile, PyObject* reader, int& fd,
                uint64_t& size, ScanOptions& options) {
  if (!capture_originals()) return false;
  if (reader_function != state.csv_reader || state.open != state.io_open) return false;
  if (Py_TYPE(reader) != reinterpret_cast<PyTypeObject*>(state.csv_reader_type)) return false;
  if (!scanned_dialect(reader, options.dialect)) return false;
  if (!current_field_limit(options.field_limit)) return false;
  fd = regular_file_descriptor(csvfile, size);
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

// 0 after clearing the error of a check or of the title (the reader will
// meet what it meets itself), -1 when it is a MemoryError.
int decline() {
  if (PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) return -1;
    PyErr_Clear();
  }
  return 0;
}

}  // namespace

bool current_field_size_limit(int64_t& limit) {
  if (capture_originals() && current_field_limit(limit)) return true;
  PyErr_Clear();
  return false;
}

int count_rows_natively(PyObject* reader_function, PyObject* csvfile, PyObject* reader,
                        bool keep_title, NativeRows& rows) {
  NativeCountKnobs& knobs = native_count_knobs;
  if (!knobs.enabled) return 0;
  int fd = -1;
  uint64_t size = 0;
  ScanOptions options{};
  options.scalar_only = knobs.scalar_only;
  options.block_size = knobs.block_size ? knobs.block_size : kDefaultBlockSize;
  if (!applicable(reader_function, csvfile, reader, fd, size, options)) {
    ++knobs.declined;
    return decline();
  }

  ScanResult scan = scan_without_the_lock(fd, size, options);
  if (scan.outcome != ScanOutcome::kCounted || scan.records > static_cast<uint64_t>(LLONG_MAX)) {
    ++knobs.fell_back;
    return 0;
  }
  if (keep_title && scan.records > 0) {
    rows.title = title_row(fd, scan, reader);
    if (!rows.title) {
      ++knobs.fell_back;
      return decline();
    }
  }
  rows.count = static_cast<long long>(scan.records);
  ++knobs.counted;
  return 1;
}

}  // namespace fileinspect
