// The registry of the interpreter's original objects that the fast paths
// rely on.
//
// A fast path runs only while the objects a call uses are the interpreter's
// own. The registry holds what they must be: owned references in one struct,
// captured once per process and checked on every call. It has two sections,
// each captured whole the first time a fast path needs it and then set once:
//
// - the reader's: the C csv reader and its types, the field size limit and
//   csv.Error from `_csv`, and from `_io` the `open` function and the types
//   that open() and StringIO make; taken from the already imported modules,
//   and only when they are those modules' own. The row count needs them, and
//   the sniffer's section is held against them.
// - the sniffer's: csv.Sniffer with its methods and their code, csv.Dialect,
//   and the globals, built-ins and `re` functions the methods read; captured
//   and checked by sniffer_guard.cpp.
//
// A section whose objects are not the interpreter's own is not set; a later
// call tries again. The registry lives until the process ends and is never
// destroyed: releasing its references from a static destructor would touch
// objects after the interpreter has finalised.
#pragma once

#include <cstdint>
#include <memory>

#include "base.hpp"

namespace delimited {

// The interned names the fast paths read.
struct Names {
  Ref csv, os, Sniffer;  // csv from sys.modules, os (csv.py lies beside it), csv.Sniffer
  Ref slash;             // "/"
  // A reader's dialect.
  Ref dialect, delimiter, quotechar, doublequote, skipinitialspace, strict, escapechar, quoting;
  // A text file and the layers under it.
  Ref encoding, errors, buffer, raw;
};

struct ReaderOriginals {
  Ref reader;                // _csv.reader
  Ref field_size_limit;      // _csv.field_size_limit
  Ref error;                 // _csv.Error
  Ref reader_type;           // the type of the objects `reader` returns
  Ref dialect_type;          // the type of their `dialect`, _csv.Dialect
  Ref open;                  // _io.open, which builtins.open is by default
  Ref text_io_wrapper_type;  // _io.TextIOWrapper
  Ref buffered_reader_type;  // _io.BufferedReader
  Ref file_io_type;          // _io.FileIO
  Ref string_io_type;        // _io.StringIO
};

// The five methods that has_header() and sniff() reach, in the order of
// SnifferOriginals::method_names.
constexpr int kSnifferMethods = 5;

// Each a tuple unless noted.
struct SnifferOriginals {
  Ref csv_module;          // the module the sniffer was found in
  Ref csv_names;           // names the sniffer reads from csv's globals
  Ref csv_values;          // ... and their values then (re, Dialect, reader, ...)
  Ref builtin_names;       // built-ins the sniffer reads (len, max, complex, ...)
  Ref builtin_values;      // ... the interpreter's own objects
  Ref builtins_dict;       // csv.__builtins__, the built-ins' namespace
  Ref sniffer_class;       // csv.Sniffer
  Ref sniffer_items;       // (name, value) pairs of Sniffer.__dict__
  Ref dialect_class;       // csv.Dialect
  Ref dialect_items;       // (name, value) pairs of Dialect.__dict__
  Ref method_names;        // the five methods' names (interned)
  Ref method_codes;        // ... and their code objects
  Ref sniff_defaults;      // Sniffer.sniff.__defaults__, (None,)
  Ref re_dict;             // the namespace of csv.re
  Ref re_names;            // re functions and flags the sniffer uses
  Ref re_values;           // ... and their values then
  Ref dialect_bases;       // (csv.Dialect,)
  Ref dialect_name;        // "dialect"
  Ref dialect_namespace;   // the class body's namespace and the four below, in order
  Ref dialect_attributes;  // names set after the body: doublequote, delimiter, ...
};

// What the last full check of the sniffer found original: the versions of
// the namespaces it read (csv, built-ins, Sniffer, Dialect, re; see
// dict_version) and the five methods (borrowed: Sniffer's namespace holds
// them while its version stays the same).
struct SnifferCheck {
  bool verified = false;
  uint64_t versions[5] = {};
  PyObject* methods[kSnifferMethods] = {};
};

struct Registry {
  std::unique_ptr<const Names> names;
  std::unique_ptr<const ReaderOriginals> reader;
  std::unique_ptr<const SnifferOriginals> sniffer;
  SnifferCheck last_sniffer_check;
};

extern Registry& registry;

// The names, interned on first use; null with an error set when they cannot
// be made.
const Names* interned_names();

// The reader's section, captured now when it is not yet. Null when the
// objects are not the interpreter's own: an error is then set only when one
// was raised on the way, and the caller gives up (common/fast_path.hpp).
const ReaderOriginals* reader_originals();

// csv.field_size_limit() now, from the reader section's function; false, with
// the error set, when it cannot be read.
bool current_field_size_limit(const ReaderOriginals& reader, int64_t& limit);

// Sets a section captured whole into the registry, unless another thread
// (while the capture ran Python code) set it first: what is set stays, since
// calls may be using it. Returns the section in the registry.
template <typename Section>
const Section* set_once(std::unique_ptr<const Section>& slot, std::unique_ptr<Section> made) {
  if (!slot) slot = std::move(made);
  return slot.get();
}

}  // namespace delimited
