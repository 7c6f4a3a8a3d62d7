// Interned strings and other constants the module uses, made once per process.
#pragma once

#include "pyref.hpp"

namespace fileinspect {

// Each entry: member name, text.
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
  X(builtins_module, "builtins")                        \
  X(dunder_builtins, "__builtins__")                    \
  X(dunder_name, "__name__")                            \
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
  X(splitext, "splitext")                               \
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

struct Strings {
#define FILEINSPECT_DECLARE(member, text) PyObject* member;
  FILEINSPECT_STRINGS(FILEINSPECT_DECLARE)
#undef FILEINSPECT_DECLARE
  PyObject* sample_size;       // 1024, the characters read to sniff the layout
  PyObject* zero;              // 0
  PyObject* encoding_kwnames;  // ("encoding",)
  PyObject* one_to_end;        // slice(1, None)
};

// Filled by init_strings; the objects live as long as the process.
extern Strings strings;

// Makes the constants unless an earlier initialisation already made them.
// Returns 0, or -1 with an exception set.
int init_strings();

}  // namespace fileinspect
