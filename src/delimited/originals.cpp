#include "originals.hpp"

#include <cstring>
#include <utility>

#include "common/call.hpp"

namespace delimited {

Registry& registry = *new Registry;  // never destroyed (see originals.hpp)

namespace {

int intern(Ref& slot, const char* text) {
  slot = steal(PyUnicode_InternFromString(text));
  return slot ? 0 : -1;
}

// module.name (borrowed); null when absent, with an error set only when the
// lookup raised.
PyObject* module_value(PyObject* module, const char* name) {
  Ref key = steal(PyUnicode_FromString(name));
  return key ? PyDict_GetItemWithError(PyModule_GetDict(module), key.get()) : nullptr;
}

// The module `name` from sys.modules when it is a module made by C code from
// a definition named `defined_name` or `name` (not a stand-in put there in its
// place); null otherwise. Never imports. (The `_io` module is defined under
// the name "io".)
Ref own_module(const char* name, const char* defined_name) {
  Ref key = steal(PyUnicode_FromString(name));
  Ref module = key ? steal(PyImport_GetModule(key.get())) : Ref();
  if (!module) return module;
  const char* defined = module_definition_name(module.get());
  if (!defined || (std::strcmp(defined, defined_name) != 0 && std::strcmp(defined, name) != 0))
    return Ref();
  return module;
}

// module.name when it is a built-in function bound to that module.
Ref own_function(PyObject* module, const char* name) {
  PyObject* function = module_value(module, name);
  if (!function || !PyCFunction_Check(function)) return Ref();
  return PyCFunction_GET_SELF(function) == module ? borrow(function) : Ref();
}

// module.name when it is a type.
Ref type_in(PyObject* module, const char* name) {
  PyObject* type = module_value(module, name);
  return type && PyType_Check(type) ? borrow(type) : Ref();
}

// The reader and dialect types, from a reader that the reader function makes
// over an empty list (which reads nothing).
bool capture_reader_types(const Names& names, ReaderOriginals& made) {
  Ref empty = steal(PyList_New(0));
  Ref probe = empty ? call(made.reader.get(), {empty.get()}) : Ref();
  Ref dialect = probe ? steal(PyObject_GetAttr(probe.get(), names.dialect.get())) : Ref();
  if (!dialect) return false;
  made.reader_type = borrow(reinterpret_cast<PyObject*>(Py_TYPE(probe.get())));
  made.dialect_type = borrow(reinterpret_cast<PyObject*>(Py_TYPE(dialect.get())));
  return true;
}

std::unique_ptr<ReaderOriginals> capture_reader(const Names& names) {
  Ref csv = own_module("_csv", "_csv");
  Ref io = csv ? own_module("_io", "io") : Ref();
  if (!io) return nullptr;
  auto made = std::make_unique<ReaderOriginals>();
  // Each lookup only while none before it failed (or raised).
  const bool found = (made->reader = own_function(csv.get(), "reader")) &&
                     (made->field_size_limit = own_function(csv.get(), "field_size_limit")) &&
                     (made->error = type_in(csv.get(), "Error")) &&
                     (made->open = own_function(io.get(), "open")) &&
                     (made->text_io_wrapper_type = type_in(io.get(), "TextIOWrapper")) &&
                     (made->buffered_reader_type = type_in(io.get(), "BufferedReader")) &&
                     (made->file_io_type = type_in(io.get(), "FileIO")) &&
                     (made->string_io_type = type_in(io.get(), "StringIO"));
  if (!found) return nullptr;
  if (!capture_reader_types(names, *made)) return nullptr;
  return made;
}

}  // namespace

const Names* interned_names() {
  if (registry.names) return registry.names.get();
  auto made = std::make_unique<Names>();
  const bool interned =
      intern(made->csv, "csv") == 0 && intern(made->os, "os") == 0 &&
      intern(made->Sniffer, "Sniffer") == 0 && intern(made->slash, "/") == 0 &&
      intern(made->dialect, "dialect") == 0 && intern(made->delimiter, "delimiter") == 0 &&
      intern(made->quotechar, "quotechar") == 0 && intern(made->doublequote, "doublequote") == 0 &&
      intern(made->skipinitialspace, "skipinitialspace") == 0 &&
      intern(made->strict, "strict") == 0 && intern(made->escapechar, "escapechar") == 0 &&
      intern(made->quoting, "quoting") == 0 && intern(made->encoding, "encoding") == 0 &&
      intern(made->errors, "errors") == 0 && intern(made->buffer, "buffer") == 0 &&
      intern(made->raw, "raw") == 0;
  return interned ? set_once(registry.names, std::move(made)) : nullptr;
}

const ReaderOriginals* reader_originals() {
  if (registry.reader) return registry.reader.get();
  const Names* names = interned_names();
  std::unique_ptr<ReaderOriginals> made = names ? capture_reader(*names) : nullptr;
  return made ? set_once(registry.reader, std::move(made)) : nullptr;
}

bool current_field_size_limit(const ReaderOriginals& reader, int64_t& limit) {
  Ref value = call_vector(reader.field_size_limit.get(), nullptr, 0);
  if (!value || !PyLong_Check(value.get())) return false;
  long long number = PyLong_AsLongLong(value.get());
  if (number == -1 && PyErr_Occurred()) return false;
  limit = number;
  return true;
}

}  // namespace delimited
