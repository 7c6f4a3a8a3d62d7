// A private module for the test suite and the benchmarks, made by the same
// shared object through a second entry point, so that it shares the
// extension's state without adding a name to fileInspect's namespace:
//
//   loader = importlib.machinery.ExtensionFileLoader("_fileinspect_knobs", fileInspect.__file__)
//
// It switches the fast paths (to compare them with the plain path, or to
// force the portable code on machines with vector units) and reports how
// often each was taken. Nothing here is part of the published interface.
#include "base.hpp"
#include "header_vote.hpp"
#include "native_sniff.hpp"
#include "nativecount.hpp"
#include "state.hpp"

namespace fileinspect {

namespace {

// native_count(enabled, scalar=False, block_size=0): switches the native row
// count of delimited files, forces its portable scanner, sets its block size
// (0: the default).
PyObject* native_count(PyObject*, PyObject* args) {
  int enabled, scalar = 0;
  Py_ssize_t block_size = 0;
  if (!PyArg_ParseTuple(args, "p|pn:native_count", &enabled, &scalar, &block_size)) return nullptr;
  if (block_size < 0) {
    PyErr_SetString(PyExc_ValueError, "block_size must not be negative");
    return nullptr;
  }
  native_count_knobs.enabled = enabled;
  native_count_knobs.scalar_only = scalar;
  native_count_knobs.block_size = static_cast<size_t>(block_size);
  Py_RETURN_NONE;
}

// native_count_stats(): how often rows were counted natively, how often the
// call was not one the native count reproduces, and how often its scan gave up.
PyObject* native_count_stats(PyObject*, PyObject*) {
  const NativeCountKnobs& knobs = native_count_knobs;
  return Py_BuildValue("{sKsKsK}", "counted", knobs.counted, "declined", knobs.declined,
                       "fell_back", knobs.fell_back);
}

// native_sniff(on): switches the native sniff of delimited samples; returns
// the previous setting.
PyObject* native_sniff(PyObject*, PyObject* on) {
  int enable = PyObject_IsTrue(on);
  if (enable < 0) return nullptr;
  bool was_on = !state.sniff_counters.disabled;
  state.sniff_counters.disabled = !enable;
  return borrow(was_on ? Py_True : Py_False).release();
}

// sniff_counts() -> (native, fallback): calls answered natively, calls left
// to the sniffer.
PyObject* sniff_counts(PyObject*, PyObject*) {
  return Py_BuildValue("(KK)", state.sniff_counters.native, state.sniff_counters.fallback);
}

// sniff_sample(sample, want_header) -> (has_header or None, dialect), or None
// when the sniffer itself would have to run.
PyObject* sniff_sample(PyObject*, PyObject* args) {
  PyObject* sample;
  int want_header;
  if (!PyArg_ParseTuple(args, "Op", &sample, &want_header)) return nullptr;
  // From sys.modules, as inspectFile has it: an import here would cost as
  // much as a fifth of what the benchmark measures.
  static PyObject* const csv_name = PyUnicode_InternFromString("csv");  // kept for good
  PyObject* csv = csv_name ? PyDict_GetItem(PyImport_GetModuleDict(), csv_name) : nullptr;
  if (!csv) return PyErr_Format(PyExc_RuntimeError, "import csv first");
  Ref title_first, dialect;
  if (!sniff_natively(csv, sample, want_header, title_first, dialect))
    return borrow(Py_None).release();
  return PyTuple_Pack(2, title_first ? title_first.get() : Py_None, dialect.get());
}

// may_be_number(text) -> (for int, for all three): False where the header
// vote skips converting `text` because int (or int, float and complex) raise
// ValueError on it.
PyObject* may_be_number_knob(PyObject*, PyObject* text) {
  if (!PyUnicode_Check(text) || ready_text(text) < 0)
    return PyErr_Format(PyExc_TypeError, "a str is required");
  return Py_BuildValue("(OO)", may_be_int(text) ? Py_True : Py_False,
                       may_be_number(text) ? Py_True : Py_False);
}

// sample_rows(sample) -> the rows the header vote splits natively from the
// sample with the dialect sniff() finds, or None where it leaves them to the
// csv reader (or finds no delimiter).
PyObject* sample_rows(PyObject*, PyObject* sample) {
  if (!PyUnicode_Check(sample) || ready_text(sample) < 0)
    return PyErr_Format(PyExc_TypeError, "a str is required");
  const CodePoints points = code_points_of(sample);
  SniffedLayout layout = sniff_layout(points);
  int64_t field_limit = -1;
  if (!layout.found || !current_field_size_limit(field_limit)) return borrow(Py_None).release();
  Ref rows = split_sample_rows(sample, points, layout, field_limit);
  if (!rows && PyErr_Occurred()) return nullptr;
  return borrow(rows ? rows.get() : Py_None).release();
}

PyMethodDef knob_methods[] = {
    {"native_count", native_count, METH_VARARGS, nullptr},
    {"native_count_stats", native_count_stats, METH_NOARGS, nullptr},
    {"may_be_number", may_be_number_knob, METH_O, nullptr},
    {"native_sniff", native_sniff, METH_O, nullptr},
    {"sniff_counts", sniff_counts, METH_NOARGS, nullptr},
    {"sniff_sample", sniff_sample, METH_VARARGS, nullptr},
    {"sample_rows", sample_rows, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef knobs_def = {
    PyModuleDef_HEAD_INIT,
    "_fileinspect_knobs",
    "Private switches of the fast paths.",
    -1,
    knob_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace fileinspect

EXTENSION_MODINIT PyInit__fileinspect_knobs() {
  return PyModule_Create(&fileinspect::knobs_def);
}
