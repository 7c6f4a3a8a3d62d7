// Initialisation of veltrane.corvalest.datareader.fileInspect.
//
// Single-phase initialisation that runs the module body in a fixed order: the
// module enters itself in sys.modules before importing its siblings (which may
// import it back), holds the built-ins `print` and `open`, records in
// `KOmagic` whether `magic` could be imported, imports its siblings and
// publishes its three functions. A failure ends the import with a traceback
// entry for the failing line and leaves no half-built module behind.
#include "base.hpp"
#include "common/exception_boundary.hpp"
#include "functions.hpp"
#include "lookup.hpp"
#include "ops.hpp"
#include "state.hpp"
#include "traceback.hpp"

namespace fileinspect {

namespace {

// `ml_doc` carries only the text signature, so that `__doc__` is None while
// inspect.signature shows the parameters. The function is entered behind the
// C++ exception boundary.
template <PyObject* (*Function)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyMethodDef function_def(const char* name, const char* signature) {
  constexpr auto bounded = without_exceptions<Function>;
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(bounded)),
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
  int bind(PyObject* name, PyObject* value) { return PyDict_SetItem(dict_, name, value); }

  int create_module();
  int enter_in_sys_modules();
  int hold_builtins();
  int import_os();
  int import_magic();
  int import_names(PyObject* module_name, int level, PyObject* first, PyObject* second);
  int bind_function(PyMethodDef* def, Line line);
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
    return fail_status(init_line::setup);
  }
  dict_ = PyModule_GetDict(module_.get());
  name_ = steal(PyModule_GetNameObject(module_.get()));
  if (!name_) return fail_status(init_line::setup);
  Ref builtins = steal(PyImport_ImportModule("builtins"));
  if (!builtins || bind(constants.dunder_builtins, builtins.get()) < 0)
    return fail_status(init_line::setup);
  if (set_namespaces(dict_, PyModule_GetDict(builtins.get())) < 0)
    return fail_status(init_line::setup);
  // The package, so that the relative import below resolves without the
  // module spec, which the importer only sets after initialisation.
  Ref package = steal(PyUnicode_RPartition(name_.get(), constants.dot));
  if (!package || bind(constants.dunder_package, PyTuple_GET_ITEM(package.get(), 0)) < 0)
    return fail_status(init_line::setup);
  return 0;
}

int Initialisation::enter_in_sys_modules() {
  PyObject* modules = PyImport_GetModuleDict();
  int present = PyDict_Contains(modules, name_.get());
  if (present < 0) return fail_status(init_line::setup);
  if (present) return 0;
  if (PyDict_SetItem(modules, name_.get(), module_.get()) < 0) return fail_status(init_line::setup);
  entered_ = true;
  return 0;
}

int Initialisation::hold_builtins() {
  Ref print = lookup_builtin(constants.print);
  Ref open = print ? lookup_builtin(constants.open) : Ref();
  Ref enumerate = open ? lookup_builtin(constants.enumerate) : Ref();
  // `enumerate` is fetched only because its absence must fail the import,
  // as the module body's reading it would; it is not held.
  if (!enumerate) return fail_status(init_line::setup);
  hold(state.held.print, print.get());
  hold(state.held.open, open.get());
  return 0;
}

int Initialisation::import_os() {
  Ref os = import_module(constants.os);
  if (!os || bind(constants.os, os.get()) < 0) return fail_status(init_line::import_os);
  remember_posix_splitext();
  return 0;
}

// `try: import magic; KOmagic = False  except: KOmagic = True`: every kind of
// exception counts as "no magic", and the exception that was being handled
// before the attempt is the one being handled after it.
int Initialisation::import_magic() {
  HandledExceptionScope handled_before;
  Ref magic = import_module(constants.magic);
  bool imported =
      magic && bind(constants.magic, magic.get()) == 0 && bind(constants.KOmagic, Py_False) == 0;
  if (imported) return 0;
  PyErr_Clear();
  return bind(constants.KOmagic, Py_True) < 0 ? fail_status(init_line::magic_failed) : 0;
}

// `from <module_name> import first, second` at import level `level`.
int Initialisation::import_names(PyObject* module_name, int level, PyObject* first,
                                 PyObject* second) {
  Line line = level ? init_line::import_excelsource : init_line::import_excelutils;
  Ref fromlist = steal(PyTuple_Pack(2, first, second));
  Ref module = fromlist ? import_name(module_name, fromlist.get(), level) : Ref();
  if (!module) return fail_status(line);
  for (PyObject* name : {first, second}) {
    Ref value = steal(PyObject_GetAttr(module.get(), name));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError))
      PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    if (!value || bind(name, value.get()) < 0) return fail_status(line);
  }
  return 0;
}

int Initialisation::bind_function(PyMethodDef* def, Line line) {
  Ref function = steal(PyCFunction_NewEx(def, nullptr, name_.get()));
  if (!function || PyDict_SetItemString(dict_, def->ml_name, function.get()) < 0)
    return fail_status(line);
  return 0;
}

// After a failure the next import runs initialisation afresh, so the module
// must not stay in sys.modules half-built.
void Initialisation::forget_partial_module() {
  if (!entered_) return;
  PendingException pending;
  if (PyDict_DelItem(PyImport_GetModuleDict(), name_.get()) < 0) PyErr_Clear();
}

PyObject* Initialisation::run() {
  // The module body behind the C++ exception boundary: a C++ exception (no
  // memory) fails the import as any failing step does.
  int status;
  try {
    status = run_body();
  } catch (...) {
    raise_for_cxx_exception();
    status = fail_status(init_line::setup);
  }
  if (status < 0) {
    forget_partial_module();
    return nullptr;
  }
  return module_.release();
}

int Initialisation::run_body() {
  if (init_constants() < 0) return fail_status(init_line::setup);
  if (create_module() < 0 || enter_in_sys_modules() < 0 || hold_builtins() < 0) return -1;
  if (import_os() < 0 || import_magic() < 0) return -1;
  if (import_names(constants.excelsource, 1, constants.getranges, constants.analyseRangeData) < 0)
    return -1;
  if (import_names(constants.excelutils_module, 0, constants.simpleRangeType,
                   constants.multiRangesType) < 0)
    return -1;
  if (bind_function(&getfiletype_def, init_line::def_getfiletype) < 0 ||
      bind_function(&getDataFileRanges_def, init_line::def_getDataFileRanges) < 0 ||
      bind_function(&inspectFile_def, init_line::def_inspectFile) < 0)
    return -1;
  return 0;
}

}  // namespace

}  // namespace fileinspect

EXTENSION_MODINIT PyInit_fileInspect() {
  using fileinspect::initialised_module;
  if (initialised_module) return fileinspect::borrow(initialised_module).release();
  PyObject* module = fileinspect::Initialisation().run();
  if (module) initialised_module = fileinspect::borrow(module).release();
  return module;
}
