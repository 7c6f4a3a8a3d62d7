#include "sniffer_guard.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "common/call.hpp"

namespace delimited {

namespace {

// The methods that has_header() and sniff() reach, in the order of
// SnifferOriginals::method_names.
const char* const kMethodNames[kSnifferMethods] = {
    "__init__", "sniff", "_guess_quote_and_delimiter", "_guess_delimiter", "has_header"};
constexpr int kSniffIndex = 1;
constexpr int kHasHeaderIndex = 4;

// Globals of csv that the methods and the dialect's class body read, and the
// places in SnifferOriginals::csv_values of those looked at below.
const char* const kCsvGlobals[] = {"re",     "Dialect",  "Error",    "QUOTE_MINIMAL",
                                   "reader", "StringIO", "__name__", "__builtins__"};
enum CsvGlobal { kRe, kDialect, kError, kQuoteMinimal, kReader, kStringIO, kName, kBuiltinsDict };

// Built-ins that the methods of any version from 3.7 read.
const char* const kBuiltins[] = {"len",        "max",        "min",          "sum",   "chr",
                                 "next",       "isinstance", "type",         "int",   "float",
                                 "complex",    "list",       "filter",       "range", "KeyError",
                                 "ValueError", "TypeError",  "OverflowError"};

// What `re` offers that the methods call or read; the first three are functions.
const char* const kReNames[] = {"compile", "_compile", "escape", "DOTALL", "MULTILINE"};
constexpr int kReFunctions = 3;

// The attributes sniff() sets on its dialect after the class body, in its order.
const char* const kDialectAttributes[] = {"doublequote", "delimiter", "quotechar",
                                          "skipinitialspace"};

template <std::size_t N>
Ref interned_tuple(const char* const (&names)[N]) {
  Ref tuple = steal(PyTuple_New(N));
  for (std::size_t i = 0; tuple && i < N; ++i) {
    PyObject* name = PyUnicode_InternFromString(names[i]);
    if (!name) return Ref();
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), name);
  }
  return tuple;
}

// dict[name] (borrowed); null when absent, with an error set only when the
// lookup raised.
PyObject* dict_value(PyObject* dict, PyObject* name) {
  return PyDict_GetItemWithError(dict, name);
}

PyObject* dict_value(PyObject* dict, const char* name) {
  Ref key = steal(PyUnicode_InternFromString(name));
  return key ? dict_value(dict, key.get()) : nullptr;
}

// Whether dict holds no `name`; false also when the lookup raised.
bool lacks(PyObject* dict, PyObject* name) {
  return !dict_value(dict, name) && !PyErr_Occurred();
}

bool text_is(PyObject* object, const char* text) {
  return object && PyUnicode_Check(object) && PyUnicode_CompareWithASCIIString(object, text) == 0;
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
  Ref items = steal(PyDict_Items(type_namespace(type)));
  if (!items) return items;
  return steal(PyList_AsTuple(items.get()));
}

bool items_unchanged(PyObject* type, PyObject* items) {
  if (!is_plain_class(type)) return false;
  PyObject* dict = type_namespace(type);
  if (PyDict_GET_SIZE(dict) != PyTuple_GET_SIZE(items)) return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items); ++i) {
    PyObject* pair = PyTuple_GET_ITEM(items, i);
    if (dict_value(dict, PyTuple_GET_ITEM(pair, 0)) != PyTuple_GET_ITEM(pair, 1)) return false;
  }
  return true;
}

bool values_unchanged(PyObject* dict, PyObject* names, PyObject* values) {
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i)
    if (dict_value(dict, PyTuple_GET_ITEM(names, i)) != PyTuple_GET_ITEM(values, i)) return false;
  return true;
}

// The values of `names` in `dict`, all present.
Ref values_of(PyObject* dict, PyObject* names) {
  Ref values = steal(PyTuple_New(PyTuple_GET_SIZE(names)));
  for (Py_ssize_t i = 0; values && i < PyTuple_GET_SIZE(names); ++i) {
    PyObject* value = dict_value(dict, PyTuple_GET_ITEM(names, i));
    if (!value) return Ref();
    PyTuple_SET_ITEM(values.get(), i, borrow(value).release());
  }
  return values;
}

// sys.modules[module], without importing it; null when absent (an error set
// only when the lookup raised).
Ref loaded_module(const char* module) {
  Ref name = steal(PyUnicode_FromString(module));
  return name ? steal(PyImport_GetModule(name.get())) : Ref();
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

// The sniffer's section, captured whole from the csv module (see
// sniffer_guard.hpp). Each step gives false when what it finds is not the
// interpreter's own, with an error set only when one was raised.
class SnifferCapture {
 public:
  SnifferCapture(PyObject* csv, const Names& names, const ReaderOriginals& reader)
      : csv_(csv), csv_dict_(PyModule_GetDict(csv)), names_(names), reader_(reader) {}

  std::unique_ptr<SnifferOriginals> run() {
    made_->csv_module = borrow(csv_);
    if (!find_builtins() || !capture_csv_globals() || !capture_builtins() || !capture_methods() ||
        !capture_dialect())
      return nullptr;
    return std::move(made_);
  }

 private:
  PyObject* csv_value(CsvGlobal which) const {
    return PyTuple_GET_ITEM(made_->csv_values.get(), which);
  }

  // The interpreter's built-ins: the namespace of the `builtins` module.
  bool find_builtins() {
    builtins_module_ = loaded_module("builtins");
    if (!builtins_module_ || !PyModule_CheckExact(builtins_module_.get())) return false;
    made_->builtins_dict = borrow(PyModule_GetDict(builtins_module_.get()));
    return true;
  }

  // The interpreter's own built-in named `name`.
  bool is_original_builtin(const char* name, PyObject* value) const {
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
    for (const Known& candidate : known)
      if (std::strcmp(candidate.name, name) == 0) return value == candidate.object;
    // A function of the builtins module itself.
    return PyCFunction_Check(value) && PyCFunction_GET_SELF(value) == builtins_module_.get() &&
           std::strcmp(builtin_function_name(value), name) == 0;
  }

  // A function defined in the module whose namespace is `globals`, from the
  // source file `filename` (when given), under `name`, without keyword defaults.
  bool is_module_function(PyObject* function, PyObject* globals, PyObject* filename,
                          const char* name) const {
    if (!function || !PyFunction_Check(function)) return false;
    if (PyFunction_GET_GLOBALS(function) != globals || PyFunction_GET_KW_DEFAULTS(function))
      return false;
    PyObject* code = PyFunction_GET_CODE(function);
    if (!text_is(code_name(code), name)) return false;
    if (!filename) return true;
    PyObject* builtins = function_builtins(function);
    if (builtins && builtins != made_->builtins_dict.get()) return false;
    PyObject* code_file = code_filename(code);
    return PyUnicode_Check(code_file) && PyUnicode_Compare(code_file, filename) == 0;
  }

  // The standard library's csv.py: beside the os module's own file.
  Ref standard_csv_path() const {
    Ref os = steal(PyImport_GetModule(names_.os.get()));
    Ref file = os ? steal(PyModule_GetFilenameObject(os.get())) : Ref();
    Ref parts = file ? steal(PyUnicode_RPartition(file.get(), names_.slash.get())) : Ref();
    if (!parts) return parts;
    return steal(PyUnicode_FromFormat("%U/csv.py", PyTuple_GET_ITEM(parts.get(), 0)));
  }

  bool capture_csv_globals() {
    made_->csv_names = interned_tuple(kCsvGlobals);
    made_->csv_values = made_->csv_names ? values_of(csv_dict_, made_->csv_names.get()) : Ref();
    if (!made_->csv_values) return false;
    PyObject* re = csv_value(kRe);
    PyObject* quote_minimal = csv_value(kQuoteMinimal);
    Ref re_module = loaded_module("re");
    if (!re_module && PyErr_Occurred()) return false;
    bool original =
        re == re_module.get() && PyModule_Check(re) && csv_value(kError) == reader_.error.get() &&
        PyLong_CheckExact(quote_minimal) && PyLong_AsLong(quote_minimal) == 0 &&
        csv_value(kReader) == reader_.reader.get() &&
        csv_value(kStringIO) == reader_.string_io_type.get() && text_is(csv_value(kName), "csv") &&
        csv_value(kBuiltinsDict) == made_->builtins_dict.get();
    if (!original) return false;
    made_->re_dict = borrow(PyModule_GetDict(re));
    made_->re_names = interned_tuple(kReNames);
    made_->re_values =
        made_->re_names ? values_of(made_->re_dict.get(), made_->re_names.get()) : Ref();
    if (!made_->re_values) return false;
    for (int i = 0; i < kReFunctions; ++i)
      if (!is_module_function(PyTuple_GET_ITEM(made_->re_values.get(), i), made_->re_dict.get(),
                              nullptr, kReNames[i]))
        return false;
    return true;
  }

  bool capture_builtins() {
    made_->builtin_names = interned_tuple(kBuiltins);
    made_->builtin_values = made_->builtin_names
                                ? values_of(made_->builtins_dict.get(), made_->builtin_names.get())
                                : Ref();
    if (!made_->builtin_values) return false;
    for (std::size_t i = 0; i < std::size(kBuiltins); ++i) {
      Py_ssize_t at = static_cast<Py_ssize_t>(i);
      // Not shadowed by a global of csv.
      if (!lacks(csv_dict_, PyTuple_GET_ITEM(made_->builtin_names.get(), at))) return false;
      if (!is_original_builtin(kBuiltins[i], PyTuple_GET_ITEM(made_->builtin_values.get(), at)))
        return false;
    }
    return true;
  }

  bool capture_methods() {
    sniffer_ = dict_value(csv_dict_, names_.Sniffer.get());
    Ref csv_path = sniffer_ ? standard_csv_path() : Ref();
    if (!csv_path || !is_plain_class(sniffer_)) return false;
    made_->method_names = interned_tuple(kMethodNames);
    made_->method_codes = steal(PyTuple_New(kSnifferMethods));
    if (!made_->method_names || !made_->method_codes) return false;
    for (int i = 0; i < kSnifferMethods; ++i) {
      PyObject* method = dict_value(type_namespace(sniffer_), kMethodNames[i]);
      if (!is_module_function(method, csv_dict_, csv_path.get(), kMethodNames[i])) return false;
      PyObject* defaults = PyFunction_GET_DEFAULTS(method);
      bool expected = i == kSniffIndex ? defaults && PyTuple_GET_SIZE(defaults) == 1 &&
                                             PyTuple_GET_ITEM(defaults, 0) == Py_None
                                       : defaults == nullptr;
      if (!expected) return false;
      if (i == kSniffIndex) made_->sniff_defaults = borrow(defaults);
      PyObject* code = PyFunction_GET_CODE(method);
      if (i == kHasHeaderIndex && !has_header_of_this_version(code)) return false;
      PyTuple_SET_ITEM(made_->method_codes.get(), i, borrow(code).release());
    }
    made_->sniffer_class = borrow(sniffer_);
    made_->sniffer_items = items_of(sniffer_);
    return bool(made_->sniffer_items);
  }

  bool capture_dialect() {
    PyObject* dialect = csv_value(kDialect);
    if (!is_plain_class(dialect)) return false;
    PyObject* init = dict_value(type_namespace(dialect), "__init__");
    if (!is_module_function(init, csv_dict_, nullptr, "__init__")) return false;
    made_->dialect_class = borrow(dialect);
    made_->dialect_items = items_of(dialect);
    made_->dialect_bases = steal(PyTuple_Pack(1, dialect));
    made_->dialect_name = steal(PyUnicode_InternFromString("dialect"));
    made_->dialect_attributes = interned_tuple(kDialectAttributes);
    if (!made_->dialect_items || !made_->dialect_bases || !made_->dialect_name ||
        !made_->dialect_attributes)
      return false;
    made_->dialect_namespace = dialect_namespace(dialect);
    if (!made_->dialect_namespace) return false;
    // The attributes sniff() sets after the body, in its order, with values
    // that each call replaces: a copy then takes them without growing.
    PyObject* attributes = made_->dialect_attributes.get();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(attributes); ++i)
      if (PyDict_SetItem(made_->dialect_namespace.get(), PyTuple_GET_ITEM(attributes, i), Py_None) <
          0)
        return false;
    return true;
  }

  // The class that `class dialect(Dialect): ...` in sniff() makes, as the
  // interpreter makes it, and its namespace (plus __qualname__) as a template.
  Ref dialect_namespace(PyObject* dialect) const {
    PyObject* sniff = dict_value(type_namespace(sniffer_), kMethodNames[kSniffIndex]);
    PyObject* consts = sniff ? code_constants(PyFunction_GET_CODE(sniff)) : nullptr;
    PyObject* body = nullptr;
    for (Py_ssize_t i = 0; consts && i < PyTuple_GET_SIZE(consts); ++i) {
      PyObject* item = PyTuple_GET_ITEM(consts, i);
      if (PyCode_Check(item) && text_is(code_name(item), "dialect")) body = item;
    }
    PyObject* build_class =
        body ? dict_value(made_->builtins_dict.get(), "__build_class__") : nullptr;
    if (!build_class || !is_original_builtin("__build_class__", build_class)) return Ref();
    Ref function = steal(PyFunction_New(body, csv_dict_));
    Ref made =
        function ? call(build_class, {function.get(), made_->dialect_name.get(), dialect}) : Ref();
    Ref proxy = made ? steal(PyObject_GetAttrString(made.get(), "__dict__")) : Ref();
    Ref qualname = proxy ? steal(PyObject_GetAttrString(made.get(), "__qualname__")) : Ref();
    Ref namespace_ = qualname ? steal(PyDict_New()) : Ref();
    if (!namespace_ || PyDict_Merge(namespace_.get(), proxy.get(), 1) < 0 ||
        PyDict_SetItemString(namespace_.get(), "__qualname__", qualname.get()) < 0)
      return Ref();
    return namespace_;
  }

  PyObject* const csv_;
  PyObject* const csv_dict_;  // borrowed from csv_
  const Names& names_;
  const ReaderOriginals& reader_;
  Ref builtins_module_;
  PyObject* sniffer_ = nullptr;  // csv.Sniffer (borrowed from csv's namespace)
  std::unique_ptr<SnifferOriginals> made_ = std::make_unique<SnifferOriginals>();
};

// The registry's sniffer section, captured from `csv` now when it is not yet.
const SnifferOriginals* sniffer_section(PyObject* csv) {
  if (registry.sniffer) return registry.sniffer.get();
  if (!PyModule_CheckExact(csv)) return nullptr;
  const Names* names = interned_names();
  const ReaderOriginals* reader = names ? reader_originals() : nullptr;
  std::unique_ptr<SnifferOriginals> made =
      reader ? SnifferCapture(csv, *names, *reader).run() : nullptr;
  return made ? set_once(registry.sniffer, std::move(made)) : nullptr;
}

// The method in place `i` of kMethodNames still runs its original code,
// with sniff's default.
bool is_original_method(const SnifferOriginals& sniffer, PyObject* method, int i) {
  if (!method || !PyFunction_Check(method)) return false;
  if (PyFunction_GET_CODE(method) != PyTuple_GET_ITEM(sniffer.method_codes.get(), i)) return false;
  PyObject* defaults = PyFunction_GET_DEFAULTS(method);
  if (defaults != (i == kSniffIndex ? sniffer.sniff_defaults.get() : nullptr)) return false;
  return !PyFunction_GET_KW_DEFAULTS(method);
}

// The five methods in Sniffer's namespace, each original.
bool methods_unchanged(const SnifferOriginals& sniffer, PyObject* (&methods)[kSnifferMethods]) {
  PyObject* dict = type_namespace(sniffer.sniffer_class.get());
  for (int i = 0; i < kSnifferMethods; ++i) {
    methods[i] = dict_value(dict, PyTuple_GET_ITEM(sniffer.method_names.get(), i));
    if (!is_original_method(sniffer, methods[i], i)) return false;
  }
  return true;
}

bool builtins_unshadowed(PyObject* csv_dict, PyObject* names) {
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i)
    if (!lacks(csv_dict, PyTuple_GET_ITEM(names, i))) return false;
  return true;
}

// Every namespace the sniffer reads holds what was captured.
bool namespaces_unchanged(const SnifferOriginals& sniffer, const Names& names, PyObject* csv_dict,
                          PyObject* (&methods)[kSnifferMethods]) {
  return values_unchanged(csv_dict, sniffer.csv_names.get(), sniffer.csv_values.get()) &&
         dict_value(csv_dict, names.Sniffer.get()) == sniffer.sniffer_class.get() &&
         builtins_unshadowed(csv_dict, sniffer.builtin_names.get()) &&
         values_unchanged(sniffer.builtins_dict.get(), sniffer.builtin_names.get(),
                          sniffer.builtin_values.get()) &&
         items_unchanged(sniffer.sniffer_class.get(), sniffer.sniffer_items.get()) &&
         methods_unchanged(sniffer, methods) &&
         items_unchanged(sniffer.dialect_class.get(), sniffer.dialect_items.get()) &&
         values_unchanged(sniffer.re_dict.get(), sniffer.re_names.get(), sniffer.re_values.get());
}

// The versions of the namespaces namespaces_unchanged reads; false when one
// is not known.
bool namespace_versions(const SnifferOriginals& sniffer, PyObject* csv_dict,
                        uint64_t (&versions)[5]) {
  PyObject* const dicts[] = {csv_dict, sniffer.builtins_dict.get(),
                             type_namespace(sniffer.sniffer_class.get()),
                             type_namespace(sniffer.dialect_class.get()), sniffer.re_dict.get()};
  bool known = true;
  for (int i = 0; i < 5; ++i) known &= (versions[i] = dict_version(dicts[i])) != 0;
  return known;
}

}  // namespace

// The namespaces are read in full only when one of them changed since the
// last check that found them original; otherwise only what a namespace's
// version cannot show is checked again: the classes' bases and the methods'
// code and defaults, which are the functions' own attributes.
const SnifferOriginals* original_sniffer(PyObject* csv) {
  const SnifferOriginals* sniffer = sniffer_section(csv);
  if (!sniffer || csv != sniffer->csv_module.get()) return nullptr;
  if (!is_plain_class(sniffer->sniffer_class.get()) ||
      !is_plain_class(sniffer->dialect_class.get()))
    return nullptr;
  SnifferCheck& last = registry.last_sniffer_check;
  PyObject* csv_dict = PyModule_GetDict(csv);
  uint64_t versions[5];
  // (read before the check: a change made while it runs shows next time)
  bool known = namespace_versions(*sniffer, csv_dict, versions);
  if (known && last.verified &&
      std::equal(std::begin(versions), std::end(versions), std::begin(last.versions))) {
    for (int i = 0; i < kSnifferMethods; ++i)
      if (!is_original_method(*sniffer, last.methods[i], i)) return nullptr;
    return sniffer;
  }
  PyObject* methods[kSnifferMethods];
  bool original = namespaces_unchanged(*sniffer, *registry.names, csv_dict, methods);
  last.verified = original && known;
  if (last.verified) {
    std::copy(std::begin(versions), std::end(versions), std::begin(last.versions));
    std::copy(std::begin(methods), std::end(methods), std::begin(last.methods));
  }
  return original ? sniffer : nullptr;
}

}  // namespace delimited
