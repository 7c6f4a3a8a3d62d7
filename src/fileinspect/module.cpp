// Initialisation of veltrane.corvalest.datareader.fileInspect.
//
// Single-phase initialisation that runs the module body in a fixed order: the
// module enters itself in sys.modules before importing its siblings (which may
// import it back), holds the built-ins `print` and `open`, records in
// `KOmagic` whether `magic` could be imported, imports its siblings and
// publishes its three functions. A failure ends the import with a traceback
// entry for the failing line and leaves no half-built module behind.
#include "compat.hpp"
#include "functions.hpp"
#include "lookup.hpp"
#include "ops.hpp"
#include "strings.hpp"
#include "traceback.hpp"

namespace fileinspect {

namespace {

// `ml_doc` carries only the text signature, so that `__doc__` is None while
// inspect.signature shows the parameters.
template <PyObject* (*Function)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyMethodDef function_def(const char* name, const char* signature) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(Function)),
          METH_FASTCALL | METH_KEYWORDS, signature};
}

PyMethodDef getfiletype_def =
    function_def<getfiletype>("getfiletype", "getfiletype(filename)\n--\n\n");
PyMethodDef getDataFileRanges_def = function_def<getDataFileRanges>(
    "getDataFileRanges", "getDataFileRanges(filename, ftype='')\n--\n\n");
PyMethodDef inspectFile_def = function_def<inspectFile>(
    "inspectFile", "inspectFile(filename, ftype='', arange='', forceTitles=False)\n--\n\n");

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "fileInspect",
    "Tells what kind of data file a path names and how it is laid out.",
    -1,       // no per-module state
    nullptr,  // the functions are placed in the namespace by initialisation
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The module once its initialisation succeeded; it lives as long as the process.
PyObject* initialised_module;

// One run of the module body, on a module object it owns until it succeeds.
class Initialisation {
 public:
  PyObject* run();

 private:
  int run_body();
  int fail(int line) {
    add_traceback_entry(Function::init, line);
    return -1;
  }
  int bind(PyObject* name, PyObject* value) { return PyDict_SetItem(dict_, name, value); }

  int create_module();
  int enter_in_sys_modules();
  int hold_builtins();
  int import_os();
  int import_magic();
  int import_names(PyObject* module_name, int level, PyObject* first, PyObject* second);
  int bind_function(PyMethodDef* def, int line);
  void forget_partial_module();

  Ref module_;
  PyObject* dict_ = nullptr;  // borrowed from module_
  Ref name_;
  bool entered_ = false;  // this run put module_ in sys.modules
};

int Initialisation::create_module() {
  module_ = steal(PyModule_Create(&module_def));
  if (!module_) {
    if (!PyErr_Occurred())
      PyErr_SetString(PyExc_ImportError, "init veltrane.corvalest.datareader.fileInspect");
    return fail(1);
  }
  dict_ = PyModule_GetDict(module_.get());
  name_ = steal(PyModule_GetNameObject(module_.get()));
  if (!name_) return fail(1);
  Ref builtins = steal(PyImport_ImportModule("builtins"));
  if (!builtins || bind(strings.dunder_builtins, builtins.get()) < 0) return fail(1);
  set_namespaces(dict_, PyModule_GetDict(builtins.get()));
  // The package, so that the relative import below resolves without the
  // module spec, which the importer only sets after initialisation.
  Ref package = steal(PyUnicode_RPartition(name_.get(), strings.dot));
  if (!package || bind(strings.dunder_package, PyTuple_GET_ITEM(package.get(), 0)) < 0)
    return fail(1);
  return 0;
}

int Initialisation::enter_in_sys_modules() {
  PyObject* modules = PyImport_GetModuleDict();
  int present = PyDict_Contains(modules, name_.get());
  if (present < 0) return fail(1);
  if (present) return 0;
  if (PyDict_SetItem(modules, name_.get(), module_.get()) < 0) return fail(1);
  entered_ = true;
  return 0;
}

int Initialisation::hold_builtins() {
  Ref print = lookup_builtin(strings.print);
  Ref open = print ? lookup_builtin(strings.open) : Ref();
  Ref enumerate = open ? lookup_builtin(strings.enumerate) : Ref();
  if (!enumerate) return fail(1);
  hold_print_and_open(print.get(), open.get());
  return 0;
}

int Initialisation::import_os() {
  Ref os = import_module(strings.os);
  if (!os || bind(strings.os, os.get()) < 0) return fail(25);
  remember_posix_splitext();
  return 0;
}

// `try: import magic; KOmagic = False  except: KOmagic = True`: every kind of
// exception counts as "no magic", and the exception that was being handled
// before the attempt is the one being handled after it.
int Initialisation::import_magic() {
  PyObject *handled_type, *handled_value, *handled_traceback;
  PyErr_GetExcInfo(&handled_type, &handled_value, &handled_traceback);
  Ref magic = import_module(strings.magic);
  bool imported =
      magic && bind(strings.magic, magic.get()) == 0 && bind(strings.KOmagic, Py_False) == 0;
  if (imported) {
    Py_XDECREF(handled_type);
    Py_XDECREF(handled_value);
    Py_XDECREF(handled_traceback);
    return 0;
  }
  PyErr_Clear();
  PyErr_SetExcInfo(handled_type, handled_value, handled_traceback);
  return bind(strings.KOmagic, Py_True) < 0 ? fail(30) : 0;
}

// `from <module_name> import first, second` at import level `level`.
int Initialisation::import_names(PyObject* module_name, int level, PyObject* first,
                                 PyObject* second) {
  int line = level ? 31 : 32;
  Ref fromlist = steal(PyTuple_Pack(2, first, second));
  Ref module = fromlist ? import_name(module_name, fromlist.get(), level) : Ref();
  if (!module) return fail(line);
  for (PyObject* name : {first, second}) {
    Ref value = steal(PyObject_GetAttr(module.get(), name));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError))
      PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    if (!value || bind(name, value.get()) < 0) return fail(line);
  }
  return 0;
}

int Initialisation::bind_function(PyMethodDef* def, int line) {
  Ref function = steal(PyCFunction_NewEx(def, nullptr, name_.get()));
  if (!function || PyDict_SetItemString(dict_, def->ml_name, function.get()) < 0) return fail(line);
  return 0;
}

// After a failure the next import runs initialisation afresh, so the module
// must not stay in sys.modules half-built.
void Initialisation::forget_partial_module() {
  if (!entered_) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (PyDict_DelItem(PyImport_GetModuleDict(), name_.get()) < 0) PyErr_Clear();
  PyErr_Restore(type, value, traceback);
}

PyObject* Initialisation::run() {
  if (run_body() < 0) {
    forget_partial_module();
    return nullptr;
  }
  return module_.release();
}

int Initialisation::run_body() {
  if (init_strings() < 0) return fail(1);
  if (create_module() < 0 || enter_in_sys_modules() < 0 || hold_builtins() < 0) return -1;
  if (import_os() < 0 || import_magic() < 0) return -1;
  if (import_names(strings.excelsource, 1, strings.getranges, strings.analyseRangeData) < 0)
    return -1;
  if (import_names(strings.excelutils_module, 0, strings.simpleRangeType, strings.multiRangesType) <
      0)
    return -1;
  if (bind_function(&getfiletype_def, 34) < 0 || bind_function(&getDataFileRanges_def, 72) < 0 ||
      bind_function(&inspectFile_def, 82) < 0)
    return -1;
  return 0;
}

}  // namespace

}  // namespace fileinspect

FILEINSPECT_MODINIT PyInit_fileInspect() {
  using fileinspect::initialised_module;
  if (initialised_module) {
    Py_INCREF(initialised_module);
    return initialised_module;
  }
  PyObject* module = fileinspect::Initialisation().run();
  if (module) {
    Py_INCREF(module);
    initialised_module = module;
  }
  return module;
}
