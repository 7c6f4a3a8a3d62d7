// Everything the module shell keeps for the life of the process, in one
// place, grouped by concern. (The delimited-text fast paths keep their own
// registry and switches: src/delimited/.)
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
#define FILEINSPECT_STRINGS(X)                           \
  /* module-level names, looked up at each use */        \
  X(os, "os")                                            \
  X(magic, "magic")                                      \
  X(KOmagic, "KOmagic")                                  \
  X(getranges, "getranges")                              \
  X(analyseRangeData, "analyseRangeData")                \
  X(simpleRangeType, "simpleRangeType")                  \
  X(multiRangesType, "multiRangesType")                  \
  X(getfiletype, "getfiletype")                          \
  X(getDataFileRanges, "getDataFileRanges")              \
  X(inspectFile, "inspectFile")                          \
  /* parameter names */                                  \
  X(filename, "filename")                                \
  X(ftype, "ftype")                                      \
  X(arange, "arange")                                    \
  X(forceTitles, "forceTitles")                          \
  /* modules, built-ins and attributes */                \
  X(dunder_builtins, "__builtins__")                     \
  X(dunder_package, "__package__")                       \
  X(dunder_enter, "__enter__")                           \
  X(dunder_exit, "__exit__")                             \
  X(excelsource, "excelsource")                          \
  X(excelutils_module, "veltrane.corvalest.excelutils")  \
  X(print, "print")                                      \
  X(open, "open")                                        \
  X(dunder_import, "__import__")                         \
  X(enumerate, "enumerate")                              \
  X(path, "path")                                        \
  X(posixpath, "posixpath")                              \
  X(genericpath, "genericpath")                          \
  X(splitext, "splitext")                                \
  X(private_splitext, "_splitext")                       \
  X(from_file, "from_file")                              \
  X(split, "split")                                      \
  X(readline, "readline")                                \
  X(read, "read")                                        \
  X(seek, "seek")                                        \
  X(format, "format")                                    \
  X(Sniffer, "Sniffer")                                  \
  X(has_header, "has_header")                            \
  X(sniff, "sniff")                                      \
  X(reader, "reader")                                    \
  X(delimiter, "delimiter")                              \
  X(encoding, "encoding")                                \
  /* texts */                                            \
  X(empty, "")                                           \
  X(unknown, "unknown")                                  \
  X(csv, "csv") /* the module's name, and a type name */ \
  X(txt, "txt")                                          \
  X(xls, "xls")                                          \
  X(xlsx, "xlsx")                                        \
  X(unknown_spreadsheet, "unknown spreadsheet")          \
  X(unknown_application, "unknown application")          \
  X(text_plain, "text/plain")                            \
  X(application, "application")                          \
  X(vnd, "vnd")                                          \
  X(ms_excel, "ms-excel")                                \
  X(openxmlformats, "openxmlformats-officedocument")     \
  X(slash, "/")                                          \
  X(semicolon, ";")                                      \
  X(tab, "\t")                                           \
  X(dot, ".")                                            \
  X(mode_read, "r")                                      \
  X(utf_8_sig, "utf-8-sig")                              \
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

// The namespaces that name lookups read, set by initialisation: the module's
// dictionary and the dictionary of the `builtins` module; and
// `builtins.__import__` as found then: while the built-ins still hold this
// very object, imports enter the import machinery directly.
struct Namespaces {
  PyObject* module_dict;
  PyObject* builtins_dict;
  PyObject* builtin_import;
};

// The built-ins `print` and `open` as they were at initialisation; the
// functions use these, whatever `builtins` holds later.
struct HeldBuiltins {
  PyObject* print;
  PyObject* open;
};

// posixpath.splitext, its code object, and the genericpath._splitext it
// calls, as found at initialisation; null unless they were the interpreter's
// own. getfiletype computes extensions itself while os.path.splitext is still
// this function (see filetype.cpp).
struct PosixSplitext {
  PyObject* function;
  PyObject* code;
  PyObject* generic_helper;
};

// The source lines a traceback entry can name are 1 to kLineCount - 1.
constexpr int kLineCount = 128;
// init, getfiletype, getDataFileRanges, inspectFile (see traceback.hpp).
constexpr int kFunctionCount = 4;

struct State {
  // Made by init_constants at the first initialisation; kept by a retry.
  Constants constants;
  Namespaces namespaces;
  HeldBuiltins held;
  PosixSplitext posix_splitext;
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

// Holds a new reference to `value` in the state field `slot` for good,
// releasing what the field held before.
void hold(PyObject*& slot, PyObject* value);

}  // namespace fileinspect
