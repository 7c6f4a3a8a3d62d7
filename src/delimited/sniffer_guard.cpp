#include "sniffer_guard.hpp"

#include <cstring>
#include <iterator>
#include <utility>

#include "code_digest.hpp"
#include "common/call.hpp"

namespace delimited {

namespace {

constexpr int kSniffIndex = 1;  // in kSnifferMethodNames

// Globals of csv that the methods and the dialect's class body read, and
// csv.Sniffer itself; `re` (last) only where the methods do not import it.
const char* const kCsvGlobals[] = {"Sniffer",       "Dialect",      "Error",
                                   "QUOTE_MINIMAL", "reader",       "StringIO",
                                   "__name__",      "__builtins__", "re"};
enum CsvGlobal {
  kSniffer,
  kDialect,
  kError,
  kQuoteMinimal,
  kReader,
  kStringIO,
  kName,
  kBuiltinsDict
};

// Built-ins that the methods of any known variant read, with the class
// statement's __build_class__; __import__ (last) only where they import.
const char* const kBuiltins[] = {"len",        "max",       "min",           "sum",
                                 "any",        "chr",       "next",          "isinstance",
                                 "type",       "int",       "float",         "complex",
                                 "list",       "filter",    "range",         "KeyError",
                                 "ValueError", "TypeError", "OverflowError", "__build_class__",
                                 "__import__"};

// What the methods import (sys.modules' entries): re, then collections.
const char* const kImported[] = {"re", "collections"};

// What `re` offers that the methods call or read; the first three are Python
// functions (compile calls _compile).
const char* const kReNames[] = {"compile", "_compile", "escape", "DOTALL", "MULTILINE"};
constexpr int kReFunctions = 3;

// What _guess_delimiter takes from collections, and what Counter's methods
// read of their module.
const char* const kCollectionsNames[] = {"Counter", "defaultdict", "_count_elements",
                                         "_collections_abc"};
enum CollectionsName { kCounter, kDefaultdict, kCountElements, kCollectionsAbc };

// The methods of Counter that Counter(line) and the counting run.
const char* const kCounterMethods[] = {"__init__", "update", "__missing__"};

// The attributes sniff() sets on its dialect after the class body, in its order.
const char* const kDialectAttributes[] = {"doublequote", "delimiter", "quotechar",
                                          "skipinitialspace"};

// The first `count` of `names`, interned, as a tuple.
template <std::size_t N>
Ref interned_tuple(const char* const (&names)[N], std::size_t count = N) {
  Ref tuple = steal(PyTuple_New(static_cast<Py_ssize_t>(count)));
  for (std::size_t i = 0; tuple && i < count; ++i) {
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

PyObject* value_at(const NamespaceValues& captured, int i) {
  return PyTuple_GET_ITEM(captured.values.get(), i);
}

// Captures dict's values of the first `count` of `names`, all present.
template <std::size_t N>
bool capture_values(NamespaceValues& into, PyObject* dict, const char* const (&names)[N],
                    std::size_t count = N) {
  into.dict = borrow(dict);
  into.names = interned_tuple(names, count);
  if (!into.names) return false;
  into.values = steal(PyTuple_New(PyTuple_GET_SIZE(into.names.get())));
  for (Py_ssize_t i = 0; into.values && i < PyTuple_GET_SIZE(into.names.get()); ++i) {
    PyObject* value = dict_value(dict, PyTuple_GET_ITEM(into.names.get(), i));
    if (!value) return false;
    PyTuple_SET_ITEM(into.values.get(), i, borrow(value).release());
  }
  return bool(into.values);
}

bool values_unchanged(const NamespaceValues& captured) {
  if (!captured.dict) return true;
  PyObject* names = captured.names.get();
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i)
    if (dict_value(captured.dict.get(), PyTuple_GET_ITEM(names, i)) != value_at(captured, i))
      return false;
  return true;
}

// A class made by a class statement (its metaclass `type`) whose method
// resolution order holds the classes of `mro`.
bool keeps_mro(PyObject* type, PyObject* mro) {
  if (!type || Py_TYPE(type) != &PyType_Type) return false;
  PyObject* now = type_mro(type);
  if (!now || PyTuple_GET_SIZE(now) != PyTuple_GET_SIZE(mro)) return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i)
    if (PyTuple_GET_ITEM(now, i) != PyTuple_GET_ITEM(mro, i)) return false;
  return true;
}

// Captures a class whose method resolution order must be (type, base,
// object), or (type, object) without a base, and its whole namespace.
bool capture_class(ClassNamespace& into, PyObject* type, PyObject* base) {
  PyObject* object = reinterpret_cast<PyObject*>(&PyBaseObject_Type);
  into.mro =
      base ? steal(PyTuple_Pack(3, type, base, object)) : steal(PyTuple_Pack(2, type, object));
  if (!into.mro || !keeps_mro(type, into.mro.get())) return false;
  into.type = borrow(type);
  Ref items = steal(PyDict_Items(type_namespace(type)));
  into.items = items ? steal(PyList_AsTuple(items.get())) : Ref();
  return bool(into.items);
}

bool items_unchanged(const ClassNamespace& captured) {
  if (!captured.type) return true;
  PyObject* dict = type_namespace(captured.type.get());
  PyObject* items = captured.items.get();
  if (PyDict_GET_SIZE(dict) != PyTuple_GET_SIZE(items)) return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items); ++i) {
    PyObject* pair = PyTuple_GET_ITEM(items, i);
    if (dict_value(dict, PyTuple_GET_ITEM(pair, 0)) != PyTuple_GET_ITEM(pair, 1)) return false;
  }
  return true;
}

// sys.modules[module], without importing it; null when absent (an error set
// only when the lookup raised).
Ref loaded_module(const char* module) {
  Ref name = steal(PyUnicode_FromString(module));
  return name ? steal(PyImport_GetModule(name.get())) : Ref();
}

// The module `name` from sys.modules when C code made it from a definition
// of that name (not a stand-in put there in its place).
Ref c_module(const char* name) {
  Ref module = loaded_module(name);
  const char* defined = module ? module_definition_name(module.get()) : nullptr;
  return defined && std::strcmp(defined, name) == 0 ? std::move(module) : Ref();
}

// A tuple of the code objects of the functions in `functions`.
Ref codes_of(PyObject* functions) {
  Ref codes = steal(PyTuple_New(PyTuple_GET_SIZE(functions)));
  for (Py_ssize_t i = 0; codes && i < PyTuple_GET_SIZE(functions); ++i)
    PyTuple_SET_ITEM(codes.get(), i,
                     borrow(PyFunction_GET_CODE(PyTuple_GET_ITEM(functions, i))).release());
  return codes;
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
    if (!find_builtins() || !capture_methods() || !capture_csv_globals() || !capture_builtins() ||
        !capture_re() || !capture_collections() || !capture_dialect())
      return nullptr;
    made_->called = steal(PyList_AsTuple(called_.get()));
    made_->called_codes = made_->called ? codes_of(made_->called.get()) : Ref();
    made_->modules = steal(PyList_AsTuple(modules_.get()));
    if (!made_->called_codes || !made_->modules) return nullptr;
    return std::move(made_);
  }

 private:
  PyObject* csv_value(CsvGlobal which) const { return value_at(made_->csv, which); }
  SnifferImports imports() const { return made_->variant->imports; }

  // The interpreter's built-ins: the namespace of the `builtins` module.
  bool find_builtins() {
    builtins_module_ = loaded_module("builtins");
    if (!builtins_module_ || !PyModule_CheckExact(builtins_module_.get())) return false;
    builtins_dict_ = PyModule_GetDict(builtins_module_.get());
    called_ = steal(PyList_New(0));
    modules_ = called_ ? steal(PyList_New(0)) : Ref();
    return modules_ && PyList_Append(modules_.get(), csv_) == 0;
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
    if (builtins && builtins != builtins_dict_) return false;
    PyObject* code_file = code_filename(code);
    return PyUnicode_Check(code_file) && PyUnicode_Compare(code_file, filename) == 0;
  }

  // A Python function the methods call, whose code must stay.
  bool add_called(PyObject* function, PyObject* globals, const char* name) {
    return is_module_function(function, globals, nullptr, name) &&
           PyList_Append(called_.get(), function) == 0;
  }

  // The standard library's csv.py: beside the os module's own file.
  Ref standard_csv_path() const {
    Ref os = steal(PyImport_GetModule(names_.os.get()));
    Ref file = os ? steal(PyModule_GetFilenameObject(os.get())) : Ref();
    Ref parts = file ? steal(PyUnicode_RPartition(file.get(), names_.slash.get())) : Ref();
    if (!parts) return parts;
    return steal(PyUnicode_FromFormat("%U/csv.py", PyTuple_GET_ITEM(parts.get(), 0)));
  }

  // The five methods, from csv.py, and the variant their code is.
  bool capture_methods() {
    sniffer_ = dict_value(csv_dict_, names_.Sniffer.get());
    Ref csv_path = sniffer_ ? standard_csv_path() : Ref();
    if (!csv_path || !capture_class(made_->sniffer, sniffer_, nullptr)) return false;
    made_->methods = steal(PyTuple_New(kSnifferMethods));
    if (!made_->methods) return false;
    for (int i = 0; i < kSnifferMethods; ++i) {
      PyObject* method = dict_value(type_namespace(sniffer_), kSnifferMethodNames[i]);
      if (!is_module_function(method, csv_dict_, csv_path.get(), kSnifferMethodNames[i]))
        return false;
      PyObject* defaults = PyFunction_GET_DEFAULTS(method);
      bool expected = i == kSniffIndex ? defaults && PyTuple_GET_SIZE(defaults) == 1 &&
                                             PyTuple_GET_ITEM(defaults, 0) == Py_None
                                       : defaults == nullptr;
      if (!expected) return false;
      if (i == kSniffIndex) made_->sniff_defaults = borrow(defaults);
      PyTuple_SET_ITEM(made_->methods.get(), i, borrow(method).release());
    }
    made_->method_codes = codes_of(made_->methods.get());
    uint64_t digest;
    if (!made_->method_codes || !digest_of(made_->method_codes.get(), digest)) return false;
    made_->variant = known_variant(digest);
    return made_->variant != nullptr;
  }

  // The digest of `codes`, remembered for the next capture.
  static bool digest_of(PyObject* codes, uint64_t& digest) {
    PyObject* last = registry.digested_codes.get();
    bool same = last != nullptr;
    for (Py_ssize_t i = 0; same && i < kSnifferMethods; ++i)
      same = PyTuple_GET_ITEM(last, i) == PyTuple_GET_ITEM(codes, i);
    if (!same) {
      if (!digest_of_codes(codes, registry.digest)) return false;
      registry.digested_codes = borrow(codes);
    }
    digest = registry.digest;
    return true;
  }

  bool capture_csv_globals() {
    std::size_t count = std::size(kCsvGlobals) - (imports() == SnifferImports::none ? 0 : 1);
    if (!capture_values(made_->csv, csv_dict_, kCsvGlobals, count)) return false;
    PyObject* quote_minimal = csv_value(kQuoteMinimal);
    return csv_value(kSniffer) == sniffer_ && csv_value(kError) == reader_.error.get() &&
           PyLong_CheckExact(quote_minimal) && PyLong_AsLong(quote_minimal) == 0 &&
           csv_value(kReader) == reader_.reader.get() &&
           csv_value(kStringIO) == reader_.string_io_type.get() &&
           text_is(csv_value(kName), "csv") && csv_value(kBuiltinsDict) == builtins_dict_;
  }

  bool capture_builtins() {
    std::size_t count = std::size(kBuiltins) - (imports() == SnifferImports::none ? 1 : 0);
    if (!capture_values(made_->builtins, builtins_dict_, kBuiltins, count)) return false;
    for (std::size_t i = 0; i < count; ++i) {
      int at = static_cast<int>(i);
      // Not shadowed by a global of csv.
      if (!lacks(csv_dict_, PyTuple_GET_ITEM(made_->builtins.names.get(), at))) return false;
      if (!is_original_builtin(kBuiltins[i], value_at(made_->builtins, at))) return false;
    }
    return true;
  }

  // `re`, the module in sys.modules: csv's global, or what `import re` finds.
  bool capture_re() {
    Ref re = loaded_module("re");
    if (!re || !PyModule_CheckExact(re.get())) return false;
    if (imports() == SnifferImports::none) {
      if (value_at(made_->csv, static_cast<int>(std::size(kCsvGlobals)) - 1) != re.get())
        return false;
    } else {
      std::size_t count = imports() == SnifferImports::re ? 1 : 2;
      if (!capture_values(made_->imported, PyImport_GetModuleDict(), kImported, count) ||
          value_at(made_->imported, 0) != re.get())
        return false;
    }
    PyObject* re_dict = PyModule_GetDict(re.get());
    if (!capture_values(made_->re, re_dict, kReNames)) return false;
    for (int i = 0; i < kReFunctions; ++i)
      if (!add_called(value_at(made_->re, i), re_dict, kReNames[i])) return false;
    return PyList_Append(modules_.get(), re.get()) == 0;
  }

  // What `from collections import Counter, defaultdict` finds, where the
  // methods import it: the module's Counter class with the methods that
  // counting runs, and C code of _collections.
  bool capture_collections() {
    if (imports() != SnifferImports::re_and_collections) return true;
    PyObject* collections = value_at(made_->imported, 1);
    Ref helpers = c_module("_collections");
    Ref abc = loaded_module("_collections_abc");
    if (!PyModule_CheckExact(collections) || !helpers || !abc) return false;
    PyObject* dict = PyModule_GetDict(collections);
    if (!capture_values(made_->collections, dict, kCollectionsNames)) return false;
    PyObject* counter = value_at(made_->collections, kCounter);
    PyObject* count_elements = value_at(made_->collections, kCountElements);
    bool original =
        value_at(made_->collections, kDefaultdict) ==
            dict_value(PyModule_GetDict(helpers.get()), "defaultdict") &&
        PyCFunction_Check(count_elements) &&
        PyCFunction_GET_SELF(count_elements) == helpers.get() &&
        value_at(made_->collections, kCollectionsAbc) == abc.get() &&
        capture_class(made_->counter, counter, reinterpret_cast<PyObject*>(&PyDict_Type));
    if (!original) return false;
    for (const char* name : kCounterMethods)
      if (!add_called(dict_value(type_namespace(counter), name), dict, name)) return false;
    return PyList_Append(modules_.get(), collections) == 0;
  }

  bool capture_dialect() {
    PyObject* dialect = csv_value(kDialect);
    if (!capture_class(made_->dialect, dialect, nullptr)) return false;
    PyObject* init = dict_value(type_namespace(dialect), "__init__");
    if (!is_module_function(init, csv_dict_, nullptr, "__init__")) return false;
    made_->dialect_bases = steal(PyTuple_Pack(1, dialect));
    made_->dialect_name = steal(PyUnicode_InternFromString("dialect"));
    made_->dialect_attributes = interned_tuple(kDialectAttributes);
    if (!made_->dialect_bases || !made_->dialect_name || !made_->dialect_attributes) return false;
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
    PyObject* sniff = value_at_method(kSniffIndex);
    PyObject* consts = code_constants(PyFunction_GET_CODE(sniff));
    PyObject* body = nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts); ++i) {
      PyObject* item = PyTuple_GET_ITEM(consts, i);
      if (PyCode_Check(item) && text_is(code_name(item), "dialect")) body = item;
    }
    PyObject* build_class = body ? dict_value(builtins_dict_, "__build_class__") : nullptr;
    if (!build_class || !is_original_builtin("__build_class__", build_class)) return Ref();
    Ref function = steal(PyFunction_New(body, csv_dict_));
    Ref made =
        function ? call(build_class, {function.get(), made_->dialect_name.get(), dialect}) : Ref();
    if (!made || !reads_as_split(made.get())) return Ref();
    Ref proxy = steal(PyObject_GetAttrString(made.get(), "__dict__"));
    Ref qualname = proxy ? steal(PyObject_GetAttrString(made.get(), "__qualname__")) : Ref();
    Ref namespace_ = qualname ? steal(PyDict_New()) : Ref();
    if (!namespace_ || PyDict_Merge(namespace_.get(), proxy.get(), 1) < 0 ||
        PyDict_SetItemString(namespace_.get(), "__qualname__", qualname.get()) < 0)
      return Ref();
    return namespace_;
  }

  // The made dialect reads as the native split and count assume: no escape
  // character, strict off (csv.Dialect could have been given either before
  // the capture; after it, its namespace is checked).
  static bool reads_as_split(PyObject* made) {
    Ref escapechar = steal(PyObject_GetAttrString(made, "escapechar"));
    return escapechar.get() == Py_None && !PyObject_HasAttrString(made, "strict");
  }

  PyObject* value_at_method(int i) const { return PyTuple_GET_ITEM(made_->methods.get(), i); }

  PyObject* const csv_;
  PyObject* const csv_dict_;  // borrowed from csv_
  const Names& names_;
  const ReaderOriginals& reader_;
  Ref builtins_module_;
  PyObject* builtins_dict_ = nullptr;  // borrowed from builtins_module_
  PyObject* sniffer_ = nullptr;        // csv.Sniffer (borrowed from csv's namespace)
  Ref called_;                         // a list, until the end
  Ref modules_;                        // a list, until the end
  std::unique_ptr<SnifferOriginals> made_ = std::make_unique<SnifferOriginals>();
};

// The dicts whose changes the per-call check must see.
void follow_namespaces(const SnifferOriginals& sniffer) {
  auto class_dict = [](const ClassNamespace& captured) {
    return captured.type ? type_namespace(captured.type.get()) : nullptr;
  };
  registry.sniffer_namespaces.follow({sniffer.csv.dict.get(), sniffer.builtins.dict.get(),
                                      sniffer.imported.dict.get(), sniffer.re.dict.get(),
                                      sniffer.collections.dict.get(), class_dict(sniffer.sniffer),
                                      class_dict(sniffer.dialect), class_dict(sniffer.counter)});
}

// The registry's sniffer section, captured from `csv` now when it is not yet.
const SnifferOriginals* sniffer_section(PyObject* csv) {
  if (registry.sniffer) return registry.sniffer.get();
  if (!PyModule_CheckExact(csv)) return nullptr;
  const Names* names = interned_names();
  const ReaderOriginals* reader = names ? reader_originals() : nullptr;
  std::unique_ptr<SnifferOriginals> made =
      reader ? SnifferCapture(csv, *names, *reader).run() : nullptr;
  // (another thread may have set it while the capture ran Python code)
  if (!made || registry.sniffer) return registry.sniffer.get();
  registry.sniffer = std::move(made);
  follow_namespaces(*registry.sniffer);
  return registry.sniffer.get();
}

// The method in place `i` of kSnifferMethodNames still runs its original
// code, with sniff's default.
bool is_original_method(const SnifferOriginals& sniffer, int i) {
  PyObject* method = PyTuple_GET_ITEM(sniffer.methods.get(), i);
  if (PyFunction_GET_CODE(method) != PyTuple_GET_ITEM(sniffer.method_codes.get(), i)) return false;
  PyObject* defaults = PyFunction_GET_DEFAULTS(method);
  if (defaults != (i == kSniffIndex ? sniffer.sniff_defaults.get() : nullptr)) return false;
  return !PyFunction_GET_KW_DEFAULTS(method);
}

// What no dict shows: the modules' class, the classes' bases, the functions'
// code and the methods' defaults.
bool identities_unchanged(const SnifferOriginals& sniffer) {
  PyObject* modules = sniffer.modules.get();
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(modules); ++i)
    if (!PyModule_CheckExact(PyTuple_GET_ITEM(modules, i))) return false;
  for (const ClassNamespace* captured : {&sniffer.sniffer, &sniffer.dialect, &sniffer.counter})
    if (captured->type && !keeps_mro(captured->type.get(), captured->mro.get())) return false;
  for (int i = 0; i < kSnifferMethods; ++i)
    if (!is_original_method(sniffer, i)) return false;
  PyObject* called = sniffer.called.get();
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(called); ++i)
    if (PyFunction_GET_CODE(PyTuple_GET_ITEM(called, i)) !=
        PyTuple_GET_ITEM(sniffer.called_codes.get(), i))
      return false;
  return true;
}

bool builtins_unshadowed(PyObject* csv_dict, PyObject* names) {
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i)
    if (!lacks(csv_dict, PyTuple_GET_ITEM(names, i))) return false;
  return true;
}

// Every namespace the sniffer reads holds what was captured.
bool namespaces_unchanged(const SnifferOriginals& sniffer) {
  return values_unchanged(sniffer.csv) &&
         builtins_unshadowed(sniffer.csv.dict.get(), sniffer.builtins.names.get()) &&
         values_unchanged(sniffer.builtins) && values_unchanged(sniffer.imported) &&
         values_unchanged(sniffer.re) && values_unchanged(sniffer.collections) &&
         items_unchanged(sniffer.sniffer) && items_unchanged(sniffer.dialect) &&
         items_unchanged(sniffer.counter);
}

}  // namespace

const SnifferOriginals* original_sniffer(PyObject* csv) {
  const SnifferOriginals* sniffer = sniffer_section(csv);
  if (!sniffer || csv != sniffer->csv_module.get() || !identities_unchanged(*sniffer))
    return nullptr;
  DictChanges& changes = registry.sniffer_namespaces;
  if (changes.unchanged()) return sniffer;
  changes.start_check();
  if (!namespaces_unchanged(*sniffer)) return nullptr;
  changes.passed();
  return sniffer;
}

}  // namespace delimited
