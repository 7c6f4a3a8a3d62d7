// inspectFile(filename, ftype="", arange="", forceTitles=False): how a data
// file is laid out.
//
// Delimited text is sniffed with the standard `csv` module on its first 1024
// characters and then read once, row by row; a workbook is analysed range by
// range by the sibling `analyseRangeData`; any other type gets a fixed result.
#include "binding.hpp"
#include "functions.hpp"
#include "ops.hpp"
#include "traceback.hpp"
#include "withblock.hpp"

namespace fileinspect {

namespace {

Ref fail(int line) {
  add_traceback_entry(Function::inspectFile, line);
  return Ref();
}

int fail_status(int line) {
  add_traceback_entry(Function::inspectFile, line);
  return -1;
}

// What the delimited-text branch reports; starts as the default result.
struct Layout {
  Ref ftype;
  Ref title_first;  // forceTitles, or the sniffer's answer
  Ref titles;       // the title row, or an empty list
  Ref dialect;      // None until sniffed
  long long line_count = 0;

  Ref as_result() const {
    Ref count = steal(PyLong_FromLongLong(line_count));
    if (!count) return count;
    return steal(
        PyTuple_Pack(5, ftype.get(), count.get(), title_first.get(), titles.get(), dialect.get()));
  }
};

// print("debug file {0} -> type{1}".format(filename, ftype)) with the held print.
int print_debug_line(PyObject* filename, PyObject* ftype) {
  Ref text = call_method(strings.debug_line, strings.format, {filename, ftype});
  Ref printed = text ? call(held_print(), {text.get()}) : Ref();
  return printed ? 0 : -1;
}

// csv.Sniffer().<method>(sample), on a new sniffer.
Ref ask_new_sniffer(PyObject* csv, PyObject* method, PyObject* sample) {
  Ref sniffer = call_method(csv, strings.Sniffer, {});
  if (!sniffer) return sniffer;
  return call_method(sniffer.get(), method, {sample});
}

// 1 when the row holds at least one field, else 0; -1 on error.
int has_fields(PyObject* row) {
  if (PyList_CheckExact(row)) return PyList_GET_SIZE(row) > 0;
  int truth = PyObject_IsTrue(row);
  if (truth <= 0) return truth;
  Py_ssize_t size = PyObject_Size(row);
  return size < 0 ? -1 : size > 0;
}

// Counts the rows that hold fields; with a true title flag the first of them
// is kept as the title row (a blank line before it is not a title). No other
// row is kept, so memory does not grow with the file.
int count_rows(PyObject* reader, Layout& layout) {
  Ref rows = steal(PyObject_GetIter(reader));
  if (!rows) return fail_status(106);
  int keep_title = PyObject_IsTrue(layout.title_first.get());
  if (keep_title < 0) return fail_status(107);
  while (Ref row = steal(PyIter_Next(rows.get()))) {
    int fields = has_fields(row.get());
    if (fields < 0) return fail_status(109);
    if (!fields) continue;
    if (keep_title) {
      layout.titles = std::move(row);
      keep_title = 0;
    }
    ++layout.line_count;
  }
  return PyErr_Occurred() ? fail_status(106) : 0;
}

// The body of the with-block around the open file `csvfile`. Returns 0, or
// -1 with the failing line's entry added.
int read_layout(PyObject* csv, PyObject* csvfile, PyObject* forceTitles, Layout& layout) {
  Ref sample = call_method(csvfile, strings.read, {strings.sample_size});
  if (!sample) return fail_status(97);
  if (!call_method(csvfile, strings.seek, {strings.zero})) return fail_status(98);

  int forced = PyObject_IsTrue(forceTitles);
  if (forced < 0) return fail_status(99);
  layout.title_first =
      forced ? borrow(forceTitles) : ask_new_sniffer(csv, strings.has_header, sample.get());
  if (!layout.title_first) return fail_status(99);

  layout.dialect = ask_new_sniffer(csv, strings.sniff, sample.get());
  if (!layout.dialect) return fail_status(100);
  Ref delimiter = steal(PyObject_GetAttr(layout.dialect.get(), strings.delimiter));
  int semicolon = delimiter ? equals_text(delimiter.get(), strings.semicolon) : -1;
  if (semicolon < 0) return fail_status(101);
  layout.ftype = borrow(semicolon ? strings.csv_type : strings.txt_type);

  Ref reader = call_method(csv, strings.reader, {csvfile, layout.dialect.get()});
  if (!reader) return fail_status(105);
  return count_rows(reader.get(), layout);
}

// The delimited-text branch: the file is open in a with-block while its
// layout is read, and closed on every way out.
Ref inspect_delimited(PyObject* csv, PyObject* filename, PyObject* forceTitles, Layout& layout) {
  PyObject* open_args[] = {filename, strings.mode_read, strings.utf_8_sig};
  Ref file = call_vector(held_open(), open_args, 2, strings.encoding_kwnames);
  if (!file) return fail(96);
  WithBlock block;
  Ref csvfile = block.enter(file.get());
  if (!csvfile) return fail(96);
  if (read_layout(csv, csvfile.get(), forceTitles, layout) < 0) {
    if (block.exit_with_exception() < 0) return fail(96);
  } else if (block.exit_normally() < 0) {
    return fail(96);
  }

  int title_first = PyObject_IsTrue(layout.title_first.get());
  if (title_first < 0) return fail(112);
  if (title_first) --layout.line_count;
  Ref result = layout.as_result();
  return result ? std::move(result) : fail(127);
}

// One nested analysis, as an entry of the workbook result: the items of
// inspectFile(filename, ftype, arange, titleFirst) with the first replaced
// by the range designation.
Ref range_entry(PyObject* filename, PyObject* ftype, PyObject* arange, PyObject* titleFirst) {
  Ref nested;
  if (Py_EnterRecursiveCall(" while calling a Python object") == 0) {
    nested = call_global(strings.inspectFile, {filename, ftype, arange, titleFirst});
    Py_LeaveRecursiveCall();
  }
  Ref res = nested ? steal(PySequence_List(nested.get())) : Ref();
  if (!res) return fail(122);
  Py_INCREF(arange);
  if (PyList_SetItem(res.get(), 0, arange) < 0) return fail(123);
  Ref entry = steal(PyList_AsTuple(res.get()));
  return entry ? std::move(entry) : fail(124);
}

// The workbook branch: one range's analysis, or the analyses of all ranges.
Ref inspect_workbook(PyObject* filename, PyObject* ftype, PyObject* arange, PyObject* titleFirst) {
  int ranged = PyObject_IsTrue(arange);
  if (ranged < 0) return fail(115);
  if (ranged) {
    Ref analysis = call_global(strings.analyseRangeData, {filename, ftype, arange});
    return analysis ? std::move(analysis) : fail(116);
  }

  Ref ranges = call_global(strings.getDataFileRanges, {filename, ftype});
  if (!ranges) return fail(118);
  Ref lst = steal(PyList_New(1));
  if (!lst) return fail(120);
  Py_INCREF(ftype);
  PyList_SET_ITEM(lst.get(), 0, ftype);
  Ref designations = steal(PyObject_GetIter(ranges.get()));
  if (!designations) return fail(121);
  while (Ref designation = steal(PyIter_Next(designations.get()))) {
    Ref entry = range_entry(filename, ftype, designation.get(), titleFirst);
    if (!entry) return entry;
    if (PyList_Append(lst.get(), entry.get()) < 0) return fail(124);
  }
  if (PyErr_Occurred()) return fail(121);
  Ref result = steal(PyList_AsTuple(lst.get()));
  return result ? std::move(result) : fail(125);
}

Ref inspect(PyObject* filename, PyObject* ftype_arg, PyObject* arange, PyObject* forceTitles) {
  Ref csv = import_module(strings.csv);
  if (!csv) return fail(83);
  Layout layout;
  layout.dialect = borrow(Py_None);
  layout.titles = steal(PyList_New(0));
  if (!layout.titles) return fail(85);

  layout.ftype = borrow(ftype_arg);
  int given = PyObject_IsTrue(ftype_arg);
  if (given < 0) return fail(86);
  if (!given) {
    layout.ftype = call_global(strings.getfiletype, {filename});
    if (!layout.ftype) return fail(87);
  }
  PyObject* ftype = layout.ftype.get();
  int unknown = equals_text(ftype, strings.unknown);
  if (unknown < 0) return fail(88);
  if (unknown && print_debug_line(filename, ftype) < 0) return fail(89);
  layout.title_first = borrow(forceTitles);

  Ref simple_types = lookup_global(strings.simpleRangeType);
  int delimited = simple_types ? PySequence_Contains(simple_types.get(), ftype) : -1;
  if (delimited < 0) return fail(92);
  if (delimited) return inspect_delimited(csv.get(), filename, forceTitles, layout);

  int workbook = equals_either(ftype, strings.xls_type, strings.xlsx_type);
  if (workbook < 0) return fail(114);
  if (workbook) return inspect_workbook(filename, ftype, arange, forceTitles);

  Ref result = layout.as_result();
  return result ? std::move(result) : fail(127);
}

}  // namespace

PyObject* inspectFile(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* const params[] = {strings.filename, strings.ftype, strings.arange, strings.forceTitles};
  PyObject* values[] = {nullptr, strings.empty, strings.empty, Py_False};
  if (bind_arguments("inspectFile", params, 4, args, nargs, kwnames, values) < 0)
    return fail(82).release();
  return inspect(values[0], values[1], values[2], values[3]).release();
}

}  // namespace fileinspect
