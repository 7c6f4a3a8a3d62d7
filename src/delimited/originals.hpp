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
//   and the globals, built-ins and modules the methods read; captured and
//   checked by sniffer_guard.cpp.
//
// A section whose objects are not the interpreter's own is not set; a later
// call tries again. The registry lives until the process ends and is never
// destroyed: releasing its references from a static destructor would touch
// objects after the interpreter has finalised.
#pragma once

#include "base.hpp"

#include <cstdint>
#include <memory>
#include <utility>

#include "sniffer_variants.hpp"

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

// What a namespace held when it was captured: dict[names[i]] is values[i]
// (`names` interned). Empty, with no dict, where nothing is read.
struct NamespaceValues {
  Ref dict;
  Ref names;
  Ref values;
};

// A class and its whole namespace as captured: its (name, value) pairs in
// order, and the method resolution order it must keep.
struct ClassNamespace {
  Ref type;  // null where the variant uses no such class
  Ref items;
  Ref mro;
};

// The sniffer's section. The methods reach `re` as a global of csv, or by
// importing it (then through the built-in __import__, which finds it in
// sys.modules), and from 3.15 also collections' Counter and defaultdict.
struct SnifferOriginals {
  const SnifferVariant* variant;  // which csv.py the methods are, and its rules
  Ref csv_module;                 // the module the sniffer was found in
  NamespaceValues csv;            // csv's globals the methods and the dialect's body read
  NamespaceValues builtins;       // the built-ins they read (csv.__builtins__)
  NamespaceValues imported;       // sys.modules' entries for what they import
  NamespaceValues re;             // re's functions and flags they use
  NamespaceValues collections;    // Counter, defaultdict and what Counter reads of its module
  Ref modules;                    // csv, re and collections (when used): plain modules
  ClassNamespace sniffer;         // csv.Sniffer
  ClassNamespace dialect;         // csv.Dialect
  ClassNamespace counter;         // collections.Counter
  Ref methods;                    // the five methods, in the order of kSnifferMethodNames
  Ref method_codes;               // ... and their code objects
  Ref sniff_defaults;             // Sniffer.sniff.__defaults__, (None,)
  Ref called;                     // Python functions the methods call: re's, Counter's
  Ref called_codes;               // ... and their code objects
  Ref dialect_bases;              // (csv.Dialect,)
  Ref dialect_name;               // "dialect"
  Ref dialect_namespace;          // the class body's namespace and the four below, in order
  Ref dialect_attributes;         // names set after the body: doublequote, delimiter, ...
};

struct Registry {
  std::unique_ptr<const Names> names;
  std::unique_ptr<const ReaderOriginals> reader;
  std::unique_ptr<const SnifferOriginals> sniffer;
  // Whether the namespaces the sniffer's section holds changed since they
  // were last found as captured.
  DictChanges sniffer_namespaces;
  // The code objects of the methods last digested, and their digest: a
  // capture that fails is tried again at the next call, and the digest need
  // not be worked out again for the same code.
  Ref digested_codes;
  uint64_t digest = 0;
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
