#include "sniff_guard.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "base.hpp"
#include "ops.hpp"
#include "state.hpp"

namespace fileinspect {

namespace {

// The methods that has_header() and sniff() reach, in the order of
// SnifferOriginals::method_names.
const char* const kSnifferMethods[] = {"__init__", "sniff", "_guess_quote_and_delimiter",
                                       "_guess_delimiter", "has_header"};
constexpr int kSniffIndex = 1;
constexpr int kHasHeaderIndex = 4;

// Globals of csv that the methods and the dialect's class body read.
const char* const kCsvGlobals[] = {"re",     "Dialect",  "Error",    "QUOTE_MINIMAL",
                                   "reader", "StringIO", "__name__", "__builtins__"};

// Built-ins that the methods of any version from 3.7 read.
const char* const kBuiltins[] = {"len",        "max",        "min",          "sum",   "chr",
                                 "next",       "isinstance", "type",         "int",   "float",
                                 "complex",    "list",       "filter",       "range", "KeyError",
                                 "ValueError", "TypeError",  "OverflowError"};

// What `re` offers that the methods call or read.
const char* const kReNames[] = {"compile", "_compile", "escape", "DOTALL", "MULTILINE"};

template <std::size_t N>
Ref interned_names(const char* const (&names)[N]) {
  Ref tuple = steal(PyTuple_New(N));
  for (std::size_t i = 0; tuple && i < N; ++i) {
    PyObject* name = PyUnicode_InternFromString(names[i]);
    if (!name) return Ref();
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), name);
  }
  return tuple;
}

// dict[name], borrowed; null (no error) when absent or on error.
PyObject* entry(PyObject* dict, PyObject* name) {
  PyObject* value = PyDict_GetItemWithError(dict, name);
  if (!value) PyErr_Clear();
  return value;
}

PyObject* entry(PyObject* dict, const char* name) {
  Ref key = steal(PyUnicode_InternFromString(name));
  return key ? entry(dict, key.get()) : (PyErr_Clear(), nullptr);
}

bool text_is(PyObject* object, const char* text) {
  return object && PyUnicode_Check(object) && PyUnicode_CompareWithASCIIString(object, text) == 0;
}

PyObject* class_dict(PyObject* type) {
  return type_namespace(type);
}

// A class made by a class statement of plain Python, deriving from object alone.
bool is_plain_class(PyObject* object) {
  if (!object || Py_TYPE(object) != &PyType_Type) return false;
  PyObject* mro = type_mro(object);
  return mro && PyTuple_GET_SIZE(mro) == 2 && PyTuple_GET_ITEM(mro, 0) == object &&
         PyTuple_GET_ITEM(mro, 1) == reinterpret_cast<PyObject*>(&PyBaseObject_Type);
}

// (name, value) pairs of a class's namespace, in order.
Ref items_of(PyObject* type) {
  Ref items = steal(PyDict_Items(class_dict(type)));
  if (!items) return items;
  return steal(PyList_AsTuple(items.get()));
}

bool items_unchanged(PyObject* type, PyObject* items) {
  if (!is_plain_class(type)) return false;
  PyObject* dict = class_dict(type);
  if (PyDict_GET_SIZE(dict) != PyTuple_GET_SIZE(items)) return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items); ++i) {
    PyObject* pair = PyTuple_GET_ITEM(items, i);
    if (entry(dict, PyTuple_GET_ITEM(pair, 0)) != PyTuple_GET_ITEM(pair, 1)) return false;
  }
  return true;
}

bool values_unchanged(PyObject* dict, PyObject* names, PyObject* values) {
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i)
    if (entry(dict, PyTuple_GET_ITEM(names, i)) != PyTuple_GET_ITEM(values, i)) return false;
  return true;
}

// The values of `names` in `dict`, all present.
Ref values_of(PyObject* dict, PyObject* names) {
  Ref values = steal(PyTuple_New(PyTuple_GET_SIZE(names)));
  for (Py_ssize_t i = 0; values && i < PyTuple_GET_SIZE(names); ++i) {
    PyObject* value = entry(dict, PyTuple_GET_ITEM(names, i));
    if (!value) return Ref();
    PyTuple_SET_ITEM(values.get(), i, borrow(value).release());
  }
  return values;
}

// A function defined in the module whose namespace is `globals`, from the
// source file `filename`, under `name`, without keyword defaults.
bool is_module_function(PyObject* function, PyObject* globals, PyObject* filename,
                        const char* name) {
  if (!function || !PyFunction_Check(function)) return false;
  if (PyFunction_GET_GLOBALS(function) != globals || PyFunction_GET_KW_DEFAULTS(function))
    return false;
  PyObject* code = PyFunction_GET_CODE(function);
  if (!text_is(code_name(code), name)) return false;
  if (!filename) return true;
  PyObject* builtins = function_builtins(function);
  if (builtins && builtins != state.builtins_dict) return false;
  PyObject* code_file = code_filename(code);
  return PyUnicode_Check(code_file) && PyUnicode_Compare(code_file, filename) == 0;
}

// The standard library's csv.py: beside the os module's own file.
Ref standard_csv_path() {
  Ref os = steal(PyImport_GetModule(constants.os));
  Ref file = os ? steal(PyModule_GetFilenameObject(os.get())) : Ref();
  Ref parts = file ? steal(PyUnicode_RPartition(file.get(), constants.slash)) : Ref();
  if (!parts) return parts;
  return steal(PyUnicode_FromFormat("%U/csv.py", PyTuple_GET_ITEM(parts.get(), 0)));
}

// sys.modules[module], without importing it; null (no error) when absent.
Ref loaded_module(const char* module) {
  Ref name = steal(PyUnicode_FromString(module));
  Ref found = name ? steal(PyImport_GetModule(name.get())) : Ref();
  if (!found) PyErr_Clear();
  return found;
}

// A value of an already imported module, borrowed (the module holds it).
PyObject* module_attribute(const char* module, const char* name) {
  Ref found = loaded_module(module);
  return found ? entry(PyModule_GetDict(found.get()), name) : nullptr;
}

// The names a code object reads, for the version check below.
bool code_reads(PyObject* code, const char* name) {
  PyObject* names = code_names(code);
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i)
    if (text_is(PyTuple_GET_ITEM(names, i), name)) return true;
  return false;
}

// has_header converts cells with int, float, complex up to 3.9, complex
// alone from 3.10, and tests lengths with isinstance from 3.12: the csv.py
// found must be the one the native vote follows.
bool has_header_of_this_version(PyObject* code) {
  return code_reads(code, "complex") && code_reads(code, "float") == kHasHeaderTriesIntAndFloat &&
         code_reads(code, "isinstance") == kHasHeaderUsesIsinstance;
}

// The interpreter's own built-in named `name`.
bool is_original_builtin(const char* name, PyObject* value) {
  struct Known {
    const char* name;
    PyObject* object;
  };
  const Known known[] = {
      {"type", reinterpret_cast<PyObject*>(&PyType_Type)},
      {"int", reinterpret_cast<PyObject*>(&PyLong_Type)},
      {"float", reinterpret_cast<PyObject*>(&PyFloat_Type)},
      {"complex", reinterpret_cast<PyObject*>(&PyComplex_Type)},
      {"list", reinterpret_cast<PyObject*>(&PyList_Type)},
      {"filter", reinterpret_cast<PyObject*>(&PyFilter_Type)},
      {"range", reinterpret_cast<PyObject*>(&PyRange_Type)},
      {"KeyError", PyExc_KeyError},
      {"ValueError", PyExc_ValueError},
      {"TypeError", PyExc_TypeError},
      {"OverflowError", PyExc_OverflowError},
  };
  for (const Known& k : known)
    if (std::strcmp(k.name, name) == 0) return value == k.object;
  // A function of the builtins module itself.
  Ref builtins = loaded_module("builtins");
  return builtins && PyCFunction_Check(value) && PyCFunction_GET_SELF(value) == builtins.get() &&
         std::strcmp(builtin_function_name(value), name) == 0;
}

// The class that `class dialect(Dialect): ...` in sniff() makes, as the
// interpreter makes it, and its namespace (plus __qualname__) as a template.
Ref dialect_namespace(PyObject* sniff, PyObject* csv_dict, PyObject* dialect) {
  PyObject* consts = code_constants(PyFunction_GET_CODE(sniff));
  PyObject* body = nullptr;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts); ++i) {
    PyObject* item = PyTuple_GET_ITEM(consts, i);
    if (PyCode_Check(item) && text_is(code_name(item), "dialect")) body = item;
  }
  PyObject* build_class = entry(state.builtins_dict, "__build_class__");
  if (!body || !build_class || !is_original_builtin("__build_class__", build_class)) return Ref();
  Ref function = steal(PyFunction_New(body, csv_dict));
  Ref name = steal(PyUnicode_FromString("dialect"));
  Ref made = function && name ? call(build_class, {function.get(), name.get(), dialect}) : Ref();
  Ref proxy = made ? steal(PyObject_GetAttrString(made.get(), "__dict__")) : Ref();
  Ref qualname = made ? steal(PyObject_GetAttrString(made.get(), "__qualname__")) : Ref();
  Ref namespace_ = proxy && qualname ? steal(PyDict_New()) : Ref();
  if (!namespace_ || PyDict_Merge(namespace_.get(), proxy.get(), 1) < 0 ||
      PyDict_SetItemString(namespace_.get(), "__qualname__", qualname.get()) < 0)
    return Ref();
  return namespace_;
}

// Everything captured, before it is kept in the state.
struct Capture {
  Ref csv_names, csv_values, builtin_names, builtin_values, sniffer_items, dialect_items,
      method_names, method_codes, sniff_defaults, re_names, re_values, dialect_bases, dialect_name,
      dialect_namespace, dialect_attributes;
  PyObject* re_dict = nullptr;
};

bool capture_methods(PyObject* csv_dict, PyObject* sniffer, Capture& c) {
  Ref csv_path = standard_csv_path();
  if (!csv_path || !is_plain_class(sniffer)) return false;
  c.method_names = interned_names(kSnifferMethods);
  c.method_codes = steal(PyTuple_New(5));
  if (!c.method_names || !c.method_codes) return false;
  for (int i = 0; i < 5; ++i) {
    PyObject* method = entry(class_dict(sniffer), kSnifferMethods[i]);
    if (!is_module_function(method, csv_dict, csv_path.get(), kSnifferMethods[i])) return false;
    PyObject* defaults = PyFunction_GET_DEFAULTS(method);
    bool expected = i == kSniffIndex ? defaults && PyTuple_GET_SIZE(defaults) == 1 &&
                                           PyTuple_GET_ITEM(defaults, 0) == Py_None
                                     : defaults == nullptr;
    if (!expected) return false;
    if (i == kSniffIndex) c.sniff_defaults = borrow(defaults);
    PyObject* code = PyFunction_GET_CODE(method);
    if (i == kHasHeaderIndex && !has_header_of_this_version(code)) return false;
    PyTuple_SET_ITEM(c.method_codes.get(), i, borrow(code).release());
  }
  c.sniffer_items = items_of(sniffer);
  return bool(c.sniffer_items);
}

bool capture_csv_globals(PyObject* csv_dict, Capture& c) {
  c.csv_names = interned_names(kCsvGlobals);
  c.csv_values = c.csv_names ? values_of(csv_dict, c.csv_names.get()) : Ref();
  if (!c.csv_values) return false;
  auto value = [&](int i) { return PyTuple_GET_ITEM(c.csv_values.get(), i); };
  PyObject* re = value(0);
  PyObject* quote_minimal = value(3);
  Ref re_module = loaded_module("re");
  bool original = re == re_module.get() && PyModule_Check(re) &&
                  value(2) == module_attribute("_csv", "Error") &&
                  PyLong_CheckExact(quote_minimal) && PyLong_AsLong(quote_minimal) == 0 &&
                  value(4) == module_attribute("_csv", "reader") &&
                  value(5) == module_attribute("_io", "StringIO") && text_is(value(6), "csv") &&
                  value(7) == state.builtins_dict;
  if (!original) return PyErr_Clear(), false;
  c.re_dict = PyModule_GetDict(re);
  c.re_names = interned_names(kReNames);
  c.re_values = c.re_names ? values_of(c.re_dict, c.re_names.get()) : Ref();
  if (!c.re_values) return false;
  for (int i = 0; i < 3; ++i)
    if (!is_module_function(PyTuple_GET_ITEM(c.re_values.get(), i), c.re_dict, nullptr,
                            kReNames[i]))
      return false;
  return true;
}

bool capture_builtins(PyObject* csv_dict, Capture& c) {
  c.builtin_names = interned_names(kBuiltins);
  c.builtin_values =
      c.builtin_names ? values_of(state.builtins_dict, c.builtin_names.get()) : Ref();
  if (!c.builtin_values) return false;
  for (std::size_t i = 0; i < sizeof kBuiltins / sizeof *kBuiltins; ++i) {
    Py_ssize_t at = static_cast<Py_ssize_t>(i);
    if (entry(csv_dict, PyTuple_GET_ITEM(c.builtin_names.get(), at))) return false;  // shadowed
    if (!is_original_builtin(kBuiltins[i], PyTuple_GET_ITEM(c.builtin_values.get(), at)))
      return false;
  }
  return true;
}

bool capture_dialect(PyObject* csv_dict, PyObject* sniffer, Capture& c) {
  PyObject* dialect = PyTuple_GET_ITEM(c.csv_values.get(), 1);
  if (!is_plain_class(dialect)) return false;
  PyObject* init = entry(class_dict(dialect), "__init__");
  if (!is_module_function(init, csv_dict, nullptr, "__init__")) return false;
  c.dialect_items = items_of(dialect);
  c.dialect_bases = steal(PyTuple_Pack(1, dialect));
  c.dialect_name = steal(PyUnicode_InternFromString("dialect"));
  const char* const attributes[] = {"doublequote", "delimiter", "quotechar", "skipinitialspace"};
  c.dialect_attributes = interned_names(attributes);
  PyObject* sniff = entry(class_dict(sniffer), "sniff");
  c.dialect_namespace = dialect_namespace(sniff, csv_dict, dialect);
  if (!c.dialect_items || !c.dialect_bases || !c.dialect_name || !c.dialect_attributes ||
      !c.dialect_namespace)
    return false;
  // The attributes sniff() sets after the body, in its order, with values
  // that each call replaces: a copy then takes them without growing.
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(c.dialect_attributes.get()); ++i)
    if (PyDict_SetItem(c.dialect_namespace.get(), PyTuple_GET_ITEM(c.dialect_attributes.get(), i),
                       Py_None) < 0)
      return false;
  return true;
}

void keep_capture(PyObject* csv, PyObject* sniffer, Capture& c) {
  SnifferOriginals& o = state.sniffer;
  // The class body run by the capture may let another thread capture first:
  // what that thread keeps is in use and stays.
  if (o.captured) return;
  keep(o.csv_module, csv);
  keep(o.csv_names, c.csv_names.get());
  keep(o.csv_values, c.csv_values.get());
  keep(o.builtin_names, c.builtin_names.get());
  keep(o.builtin_values, c.builtin_values.get());
  keep(o.builtins_dict, state.builtins_dict);
  keep(o.sniffer_class, sniffer);
  keep(o.sniffer_items, c.sniffer_items.get());
  keep(o.dialect_class, PyTuple_GET_ITEM(c.csv_values.get(), 1));
  keep(o.dialect_items, c.dialect_items.get());
  keep(o.method_names, c.method_names.get());
  keep(o.method_codes, c.method_codes.get());
  keep(o.sniff_defaults, c.sniff_defaults.get());
  keep(o.re_dict, c.re_dict);
  keep(o.re_names, c.re_names.get());
  keep(o.re_values, c.re_values.get());
  keep(o.reader, PyTuple_GET_ITEM(c.csv_values.get(), 4));
  keep(o.string_io, PyTuple_GET_ITEM(c.csv_values.get(), 5));
  keep(o.dialect_bases, c.dialect_bases.get());
  keep(o.dialect_name, c.dialect_name.get());
  keep(o.dialect_namespace, c.dialect_namespace.get());
  keep(o.dialect_attributes, c.dialect_attributes.get());
  o.captured = true;
}

// Captures the originals from `csv`; false (no error set) when they are not
// the interpreter's own. A later call tries again.
bool capture(PyObject* csv) {
  if (!PyModule_CheckExact(csv) || !state.builtins_dict) return false;
  PyObject* csv_dict = PyModule_GetDict(csv);
  PyObject* sniffer = entry(csv_dict, constants.Sniffer);
  Capture c;
  bool original = capture_csv_globals(csv_dict, c) && capture_builtins(csv_dict, c) &&
                  capture_methods(csv_dict, sniffer, c) && capture_dialect(csv_dict, sniffer, c);
  if (original) keep_capture(csv, sniffer, c);
  PyErr_Clear();
  return original;
}

// The method in place `i` of kSnifferMethods still runs its original code,
// with sniff's default.
bool is_original_method(const SnifferOriginals& o, PyObject* method, int i) {
  if (!method || !PyFunction_Check(method)) return false;
  if (PyFunction_GET_CODE(method) != PyTuple_GET_ITEM(o.method_codes, i)) return false;
  PyObject* defaults = PyFunction_GET_DEFAULTS(method);
  if (defaults != (i == kSniffIndex ? o.sniff_defaults : nullptr)) return false;
  return !PyFunction_GET_KW_DEFAULTS(method);
}

// The five methods in Sniffer's namespace, each original.
bool methods_unchanged(const SnifferOriginals& o, PyObject* (&methods)[5]) {
  PyObject* dict = class_dict(o.sniffer_class);
  for (int i = 0; i < 5; ++i) {
    methods[i] = entry(dict, PyTuple_GET_ITEM(o.method_names, i));
    if (!is_original_method(o, methods[i], i)) return false;
  }
  return true;
}

bool builtins_unshadowed(PyObject* csv_dict, PyObject* names) {
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i)
    if (entry(csv_dict, PyTuple_GET_ITEM(names, i))) return false;
  return true;
}

// Every namespace the sniffer reads holds what was captured.
bool namespaces_unchanged(const SnifferOriginals& o, PyObject* csv_dict, PyObject* (&methods)[5]) {
  return values_unchanged(csv_dict, o.csv_names, o.csv_values) &&
         entry(csv_dict, constants.Sniffer) == o.sniffer_class &&
         builtins_unshadowed(csv_dict, o.builtin_names) &&
         values_unchanged(o.builtins_dict, o.builtin_names, o.builtin_values) &&
         items_unchanged(o.sniffer_class, o.sniffer_items) && methods_unchanged(o, methods) &&
         items_unchanged(o.dialect_class, o.dialect_items) &&
         values_unchanged(o.re_dict, o.re_names, o.re_values);
}

// The versions of the namespaces namespaces_unchanged reads; false when one
// is not known.
bool namespace_versions(const SnifferOriginals& o, PyObject* csv_dict, uint64_t (&versions)[5]) {
  PyObject* const dicts[] = {csv_dict, o.builtins_dict, class_dict(o.sniffer_class),
                             class_dict(o.dialect_class), o.re_dict};
  bool known = true;
  for (int i = 0; i < 5; ++i) known &= (versions[i] = dict_version(dicts[i])) != 0;
  return known;
}

}  // namespace

// The namespaces are read in full only when one of them changed since the
// last check that found them original; otherwise only what a namespace's
// version cannot show is checked again: the classes' bases and the methods'
// code and defaults, which are the functions' own attributes.
bool sniffer_is_original(PyObject* csv) {
  SnifferOriginals& o = state.sniffer;
  if (!o.captured && !capture(csv)) return false;
  if (csv != o.csv_module) return false;
  if (!is_plain_class(o.sniffer_class) || !is_plain_class(o.dialect_class)) return false;
  PyObject* csv_dict = PyModule_GetDict(csv);
  uint64_t versions[5];
  // (read before the check: a change made while it runs shows next time)
  bool known = namespace_versions(o, csv_dict, versions);
  if (known && o.verified &&
      std::equal(std::begin(versions), std::end(versions), std::begin(o.verified_versions))) {
    for (int i = 0; i < 5; ++i)
      if (!is_original_method(o, o.verified_methods[i], i)) return false;
    return true;
  }
  PyObject* methods[5];
  bool original = namespaces_unchanged(o, csv_dict, methods);
  o.verified = original && known;
  if (o.verified) {
    std::copy(std::begin(versions), std::end(versions), std::begin(o.verified_versions));
    std::copy(std::begin(methods), std::end(methods), std::begin(o.verified_methods));
  }
  return original;
}

}  // namespace fileinspect
