// A private module for the test suite and the benchmarks, made by the same
// shared object through a second entry point, so that it shares the fast
// paths' switches and registry without adding a name to fileInspect's
// namespace:
//
//   loader = importlib.machinery.ExtensionFileLoader("_fileinspect_knobs", fileInspect.__file__)
//
// It switches the fast paths (to compare them with the plain path, or to
// force the portable code on machines with vector units), reports how often
// each was taken, and lets the tests call pieces of the native sniff on
// their own. Nothing here is part of the published interface; the pieces
// that only the tests call are defined here, not in the component's headers.
#include "base.hpp"
#include "common/exception_boundary.hpp"
#include "common/fast_path.hpp"
#include "number_prefilter.hpp"
#include "originals.hpp"
#include "sample_split.hpp"
#include "sniff.hpp"
#include "sniffer_guard.hpp"
#include "sniffer_variants.hpp"
#include "switches.hpp"

namespace delimited {

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
  switches.count_natively = enabled;
  switches.scalar_only = scalar;
  switches.block_size = static_cast<size_t>(block_size);
  Py_RETURN_NONE;
}

// native_count_stats(): how often rows were counted natively, how often the
// call was not one the native count reproduces, and how often its scan gave up.
PyObject* native_count_stats(PyObject*, PyObject*) {
  const Switches::CountCounters& counters = switches.count;
  return Py_BuildValue("{sKsKsK}", "counted", counters.counted, "declined", counters.declined,
                       "fell_back", counters.fell_back);
}

// native_sniff(on): switches the native sniff of delimited samples; returns
// the previous setting.
PyObject* native_sniff(PyObject*, PyObject* on) {
  int enable = PyObject_IsTrue(on);
  if (enable < 0) return nullptr;
  bool was_on = switches.sniff_natively;
  switches.sniff_natively = enable;
  return borrow(was_on ? Py_True : Py_False).release();
}

// sniff_counts() -> (native, fallback): calls answered natively, calls left
// to the sniffer.
PyObject* sniff_counts(PyObject*, PyObject*) {
  return Py_BuildValue("(KK)", switches.sniff.native, switches.sniff.fallback);
}

// The csv module from sys.modules (borrowed), as inspectFile has it: an
// import here would cost as much as a fifth of what the benchmark measures.
PyObject* imported_csv() {
  const Names* names = interned_names();
  PyObject* csv =
      names ? PyDict_GetItemWithError(PyImport_GetModuleDict(), names->csv.get()) : nullptr;
  if (!csv && !PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "import csv first");
  return csv;
}

// sniff_sample(sample, want_header) -> (has_header or None, dialect), or None
// when the sniffer itself would have to run.
PyObject* sniff_sample_knob(PyObject*, PyObject* args) {
  PyObject* sample;
  int want_header;
  if (!PyArg_ParseTuple(args, "Op", &sample, &want_header)) return nullptr;
  PyObject* csv = imported_csv();
  if (!csv) return nullptr;
  SniffAnswers answers;
  int answered = sniff_sample(csv, sample, want_header, answers);
  if (answered < 0) return nullptr;
  if (answered == 0) return borrow(Py_None).release();
  PyObject* title_first = answers.title_first ? answers.title_first.get() : Py_None;
  return PyTuple_Pack(2, title_first, answers.dialect.get());
}

// sniffer_variant() -> (digest, proven_on): the digest of csv.Sniffer's
// methods now, as 16 hexadecimal digits, and the interpreter the variant was
// proven on, or None for a variant the native sniff does not know.
PyObject* sniffer_variant(PyObject*, PyObject*) {
  PyObject* csv = imported_csv();
  Ref sniffer = csv ? steal(PyObject_GetAttrString(csv, "Sniffer")) : Ref();
  if (!sniffer) return nullptr;
  if (!PyType_Check(sniffer.get())) return PyErr_Format(PyExc_TypeError, "csv.Sniffer is no class");
  uint64_t digest;
  if (!sniffer_digest(sniffer.get(), digest))
    return PyErr_Occurred() ? nullptr
                            : PyErr_Format(PyExc_TypeError, "a method of csv.Sniffer is missing");
  const SnifferVariant* variant = known_variant(digest);
  char hex[17];
  PyOS_snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(digest));
  return Py_BuildValue("(sz)", hex, variant ? variant->proven_on : nullptr);
}

// guarded_names() -> {"csv": names, "builtins": names, "imports": names}: the
// globals of csv, the built-ins and the sys.modules entries the sniffer's
// guard checks; None while the native sniff has not taken the sniffer.
PyObject* guarded_names(PyObject*, PyObject*) {
  const SnifferOriginals* sniffer = registry.sniffer.get();
  if (!sniffer) return borrow(Py_None).release();
  Ref empty = steal(PyTuple_New(0));
  PyObject* imports = sniffer->imported.names ? sniffer->imported.names.get() : empty.get();
  return empty ? Py_BuildValue("{sOsOsO}", "csv", sniffer->csv.names.get(), "builtins",
                               sniffer->builtins.names.get(), "imports", imports)
               : nullptr;
}

// may_be_number(text) -> (for int, for all three): False where the header
// vote skips converting `text` because int (or int, float and complex) raise
// ValueError on it.
PyObject* may_be_number(PyObject*, PyObject* text) {
  if (!PyUnicode_Check(text) || ready_text(text) < 0)
    return PyErr_Format(PyExc_TypeError, "a str is required");
  return Py_BuildValue("(OO)", may_be_int_in(StrText(text)) ? Py_True : Py_False,
                       may_be_number_in(StrText(text)) ? Py_True : Py_False);
}

// Every row of the sample (a str, `points` its code points) split natively
// as the header vote splits them, as lists of str; None where the split
// leaves the sample to the reader.
Ref split_rows(PyObject* sample, const CodePoints& points, const SniffedLayout& layout,
               int64_t field_limit) {
  SampleSplit split(sample, points, layout, field_limit);
  SplitTable table(points, 0);
  int got;
  while ((got = split.next(table)) > 0) {
  }
  if (got < 0) return borrow(Py_None);
  Ref rows = steal(PyList_New(static_cast<Py_ssize_t>(table.rows())));
  for (std::size_t row = 0; rows && row < table.rows(); ++row) {
    Ref cells = steal(PyList_New(table.count(row)));
    if (!cells) return cells;
    for (Py_ssize_t col = 0; col < table.count(row); ++col) {
      Ref text = table.text(row, col);
      if (!text) return text;
      PyList_SET_ITEM(cells.get(), col, text.release());
    }
    PyList_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(row), cells.release());
  }
  return rows;
}

// sample_rows(sample) -> the rows the header vote splits natively from the
// sample with the dialect sniff() finds, or None where it leaves them to the
// csv reader (or finds no delimiter, or the native sniff does not take the
// sniffer).
PyObject* sample_rows(PyObject*, PyObject* sample) {
  if (!PyUnicode_Check(sample) || ready_text(sample) < 0)
    return PyErr_Format(PyExc_TypeError, "a str is required");
  PyObject* csv = imported_csv();
  if (!csv) return nullptr;
  const SnifferOriginals* sniffer = original_sniffer(csv);
  if (!sniffer) return give_up_fast_path() < 0 ? nullptr : borrow(Py_None).release();
  const CodePoints points = code_points_of(sample);
  SniffedLayout layout = sniff_layout(points, sniffer->variant->rules);
  const ReaderOriginals* reader = layout.found ? registry.reader.get() : nullptr;
  int64_t field_limit;
  if (!reader || !current_field_size_limit(*reader, field_limit))
    return give_up_fast_path() < 0 ? nullptr : borrow(Py_None).release();
  return split_rows(sample, points, layout, field_limit).release();
}

PyMethodDef knob_methods[] = {
    {"native_count", without_exceptions<native_count>, METH_VARARGS, nullptr},
    {"native_count_stats", without_exceptions<native_count_stats>, METH_NOARGS, nullptr},
    {"may_be_number", without_exceptions<may_be_number>, METH_O, nullptr},
    {"native_sniff", without_exceptions<native_sniff>, METH_O, nullptr},
    {"sniff_counts", without_exceptions<sniff_counts>, METH_NOARGS, nullptr},
    {"sniff_sample", without_exceptions<sniff_sample_knob>, METH_VARARGS, nullptr},
    {"sniffer_variant", without_exceptions<sniffer_variant>, METH_NOARGS, nullptr},
    {"guarded_names", without_exceptions<guarded_names>, METH_NOARGS, nullptr},
    {"sample_rows", without_exceptions<sample_rows>, METH_O, nullptr},
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

PyObject* create_knobs_module() {
  return PyModule_Create(&knobs_def);
}

}  // namespace

}  // namespace delimited

EXTENSION_MODINIT PyInit__fileinspect_knobs() {
  return delimited::without_exceptions<delimited::create_knobs_module>();
}
