// Everything the module keeps for the life of the process, in one place.
//
// The module supports one interpreter per process. Its initialisation is
// single-phase, because the order of its steps (entering sys.modules before
// the siblings are imported, a second import returning the same module, the
// traceback entry of a failed import) is fixed and needs the one module
// object that single-phase initialisation gives. So the state below is plain
// process-wide data rather than a per-module state block.
//
// The fields are strong references that are never released: they live until
// the process ends, and releasing them from a static destructor would touch
// objects after the interpreter has finalised. Plain pointers, not `Ref`, for
// that reason.
#pragma once

#include "base.hpp"

namespace fileinspect {

// Each entry: member name, text. Interned once; the texts are the module's
// names, parameter names, attribute names and the texts it compares or writes.
#define FILEINSPECT_STRINGS(X)                          \
  /* module-level names, looked up at each use */       \
  X(os, "os")                                           \
  X(magic, "magic")                                     \
  X(KOmagic, "KOmagic")                                 \
  X(getranges, "getranges")                             \
  X(analyseRangeData, "analyseRangeData")               \
  X(simpleRangeType, "simpleRangeType")                 \
  X(multiRangesType, "multiRangesType")                 \
  X(getfiletype, "getfiletype")                         \
  X(getDataFileRanges, "getDataFileRanges")             \
  X(inspectFile, "inspectFile")                         \
  /* parameter names */                                 \
  X(filename, "filename")                               \
  X(ftype, "ftype")                                     \
  X(arange, "arange")                                   \
  X(forceTitles, "forceTitles")                         \
  /* modules, built-ins and attributes */               \
  X(dunder_builtins, "__builtins__")                    \
  X(dunder_package, "__package__")                      \
  X(dunder_enter, "__enter__")                          \
  X(dunder_exit, "__exit__")                            \
  X(excelsource, "excelsource")                         \
  X(excelutils_module, "veltrane.corvalest.excelutils") \
  X(csv, "csv")                                         \
  X(print, "print")                                     \
  X(open, "open")                                       \
  X(dunder_import, "__import__")                        \
  X(enumerate, "enumerate")                             \
  X(path, "path")                                       \
  X(posixpath, "posixpath")                             \
  X(genericpath, "genericpath")                         \
  X(splitext, "splitext")                               \
  X(private_splitext, "_splitext")                      \
  X(from_file, "from_file")                             \
  X(split, "split")                                     \
  X(readline, "readline")                               \
  X(read, "read")                                       \
  X(seek, "seek")                                       \
  X(format, "format")                                   \
  X(Sniffer, "Sniffer")                                 \
  X(has_header, "has_header")                           \
  X(sniff, "sniff")                                     \
  X(reader, "reader")                                   \
  X(delimiter, "delimiter")                             \
  X(encoding, "encoding")                               \
  /* attributes the native row count reads */           \
  X(errors, "errors")                                   \
  X(buffer, "buffer")                                   \
  X(raw, "raw")                                         \
  X(dialect, "dialect")                                 \
  X(quotechar, "quotechar")                             \
  X(doublequote, "doublequote")                         \
  X(skipinitialspace, "skipinitialspace")               \
  X(strict, "strict")                                   \
  X(escapechar, "escapechar")                           \
  X(quoting, "quoting")                                 \
  /* texts */                                           \
  X(empty, "")                                          \
  X(unknown, "unknown")                                 \
  X(csv_type, "csv")                                    \
  X(txt_type, "txt")                                    \
  X(xls_type, "xls")                                    \
  X(xlsx_type, "xlsx")                                  \
  X(unknown_spreadsheet, "unknown spreadsheet")         \
  X(unknown_application, "unknown application")         \
  X(text_plain, "text/plain")                           \
  X(application, "application")                         \
  X(vnd, "vnd")                                         \
  X(ms_excel, "ms-excel")                               \
  X(openxmlformats, "openxmlformats-officedocument")    \
  X(slash, "/")                                         \
  X(semicolon, ";")                                     \
  X(tab, "\t")                                          \
  X(dot, ".")                                           \
  X(mode_read, "r")                                     \
  X(utf_8_sig, "utf-8-sig")                             \
  X(debug_line, "debug file {0} -> type{1}")

// Objects made once by init_constants and never changed afterwards.
struct Constants {
#define FILEINSPECT_DECLARE(member, text) PyObject* member;
  FILEINSPECT_STRINGS(FILEINSPECT_DECLARE)
#undef FILEINSPECT_DECLARE
  PyObject* sample_size;       // 1024, the characters read to sniff the layout
  PyObject* zero;              // 0
  PyObject* encoding_kwnames;  // ("encoding",)
  PyObject* one_to_end;        // slice(1, None)
};

// The source lines a traceback entry can name are 1 to kLineCount - 1.
constexpr int kLineCount = 128;
// init, getfiletype, getDataFileRanges, inspectFile (see traceback.hpp).
constexpr int kFunctionCount = 4;

// What the native sniff checks on every call, captured once from the `csv`
// module (strong references; each a tuple unless noted).
struct SnifferOriginals {
  bool captured;
  PyObject* csv_module;          // the module the sniffer was found in
  PyObject* csv_names;           // names the sniffer reads from csv's globals
  PyObject* csv_values;          // ... and their values then (re, Dialect, reader, ...)
  PyObject* builtin_names;       // built-ins the sniffer reads (len, max, complex, ...)
  PyObject* builtin_values;      // ... the interpreter's own objects
  PyObject* builtins_dict;       // csv.__builtins__, the built-ins' namespace
  PyObject* sniffer_class;       // csv.Sniffer
  PyObject* sniffer_items;       // (name, value) pairs of Sniffer.__dict__
  PyObject* dialect_class;       // csv.Dialect
  PyObject* dialect_items;       // (name, value) pairs of Dialect.__dict__
  PyObject* method_names;        // the five methods' names (interned), as kSnifferMethods
  PyObject* method_codes;        // ... and their code objects
  PyObject* sniff_defaults;      // Sniffer.sniff.__defaults__, (None,)
  PyObject* re_dict;             // the namespace of csv.re
  PyObject* re_names;            // re functions and flags the sniffer uses
  PyObject* re_values;           // ... and their values then
  PyObject* reader;              // csv.reader (_csv.reader)
  PyObject* string_io;           // csv.StringIO (_io.StringIO)
  PyObject* dialect_bases;       // (csv.Dialect,)
  PyObject* dialect_name;        // "dialect"
  PyObject* dialect_namespace;   // the class body's namespace and the four below, in order
  PyObject* dialect_attributes;  // names set after the body: doublequote, delimiter, ...

  // What the last full check found original: the versions of the namespaces
  // it read (csv, built-ins, Sniffer, Dialect, re; see dict_version) and the
  // five methods (borrowed: Sniffer's namespace holds them while its version
  // stays the same).
  bool verified;
  uint64_t verified_versions[5];
  PyObject* verified_methods[5];
};

// The switch and the counters of the native sniff (for the private knobs).
struct SniffCounters {
  bool disabled;
  unsigned long long native;    // calls answered natively
  unsigned long long fallback;  // calls left to the sniffer
};

struct State {
  // Made by init_constants at the first initialisation; kept by a retry.
  Constants constants;

  // The namespaces that name lookups read, set by initialisation: the module's
  // dictionary and the dictionary of the `builtins` module.
  PyObject* module_dict;
  PyObject* builtins_dict;

  // The built-ins `print` and `open` as they were at initialisation; the
  // functions use these, whatever `builtins` holds later.
  PyObject* print;
  PyObject* open;

  // `builtins.__import__` as found at initialisation: while the built-ins
  // still hold this very object, imports enter the import machinery directly.
  PyObject* builtin_import;

  // posixpath.splitext, its code object, and the genericpath._splitext it
  // calls, as found at initialisation; null unless they were the
  // interpreter's own. getfiletype computes extensions itself while
  // os.path.splitext is still this function (see filetype.cpp).
  PyObject* posix_splitext;
  PyObject* posix_splitext_code;
  PyObject* generic_splitext;

  // The interpreter's own csv reader and io objects, captured when the native
  // row count (nativecount.cpp) first needs them, from the already imported
  // `_csv` and `_io` modules and only when they are those modules' own; null
  // until then. A row is counted natively only while the objects in use are
  // these very ones.
  PyObject* csv_reader;            // _csv.reader
  PyObject* csv_field_size_limit;  // _csv.field_size_limit
  PyObject* csv_reader_type;       // the type of the objects csv_reader returns
  PyObject* csv_dialect_type;      // the type of their `dialect`, _csv.Dialect
  PyObject* io_open;               // _io.open, which builtins.open is by default
  PyObject* text_io_wrapper_type;  // _io.TextIOWrapper
  PyObject* buffered_reader_type;  // _io.BufferedReader
  PyObject* file_io_type;          // _io.FileIO

  // The csv sniffer as found by the first call that sniffed a sample (see
  // sniff_guard.cpp); the native sniff runs only while all of it is unchanged.
  SnifferOriginals sniffer;
  SniffCounters sniff_counters;

  // Empty code objects for traceback entries, one per function and source
  // line, made when first needed.
  PyCodeObject* entry_code[kFunctionCount][kLineCount];
};

extern State state;

// The constants, under a shorter name.
inline const Constants& constants = state.constants;

// Makes the constants unless an earlier initialisation already made them.
// Returns 0, or -1 with an exception set.
int init_constants();

// Holds a new reference to `value` in the state field `slot`, releasing what
// the field held before.
void keep(PyObject*& slot, PyObject* value);

}  // namespace fileinspect
