// inspectFile(filename, ftype="", arange="", forceTitles=False): how a data
// file is laid out.
//
// Delimited text is sniffed with the standard `csv` module on its first 1024
// characters and then read once, row by row; where the answers are provably
// the same, the native delimited-text paths (src/delimited/) give both the
// sniffer's answers and the row count. A workbook is analysed range by range
// by the sibling `analyseRangeData`; any other type gets a fixed result.
#include "binding.hpp"
#include "delimited/row_count.hpp"
#include "delimited/sniff.hpp"
#include "functions.hpp"
#include "ops.hpp"
#include "traceback.hpp"
#include "withblock.hpp"

#include <utility>

namespace fileinspect {

namespace {

namespace line = inspect_line;

// What the delimited-text branch reports; starts as the default result. A
// step that fails leaves each field as it was, as a failed assignment leaves
// a Python variable, so that when the file's __exit__ suppresses the error
// the function goes on with the last values.
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
  Ref text = call_method(constants.debug_line, constants.format, {filename, ftype});
  Ref printed = text ? call(state.held.print, {text.get()}) : Ref();
  return printed ? 0 : -1;
}

// csv.Sniffer().<method>(sample), on a new sniffer.
Ref ask_new_sniffer(PyObject* csv, PyObject* method, PyObject* sample) {
  Ref sniffer = call_method(csv, constants.Sniffer, {});
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
// row is kept, so memory does not grow with the file. The rows are counted
// natively from the file's bytes where that gives the reader's own result.
int count_rows(PyObject* reader_function, PyObject* csvfile, PyObject* reader,
               const delimited::OpenedTextFile& opened, Layout& layout) {
  Ref rows = steal(PyObject_GetIter(reader));
  if (!rows) return fail_status(line::row_loop);
  int want_title = PyObject_IsTrue(layout.title_first.get());
  if (want_title < 0) return fail_status(line::test_title_row);
  delimited::CountedRows counted;
  int native = delimited::count_rows(reader_function, csvfile, reader, opened, want_title, counted);
  if (native < 0) return fail_status(line::row_loop);
  if (native) {
    if (counted.title) layout.titles = std::move(counted.title);
    layout.line_count = counted.count;
    return 0;
  }
  while (Ref row = steal(PyIter_Next(rows.get()))) {
    int fields = has_fields(row.get());
    if (fields < 0) return fail_status(line::test_row);
    if (!fields) continue;
    if (want_title) {
      layout.titles = std::move(row);
      want_title = 0;
    }
    ++layout.line_count;
  }
  return PyErr_Occurred() ? fail_status(line::row_loop) : 0;
}

// The body of the with-block around `csvfile`, which `opened` describes.
// Returns 0, or -1 with the failing line's entry added.
int read_layout(PyObject* csv, PyObject* csvfile, PyObject* forceTitles,
                delimited::OpenedTextFile& opened, Layout& layout) {
  Ref sample = call_method(csvfile, constants.read, {constants.sample_size});
  if (!sample) return fail_status(line::read_sample);
  if (!call_method(csvfile, constants.seek, {constants.zero})) return fail_status(line::rewind);
  opened.rewound = true;

  int forced = PyObject_IsTrue(forceTitles);
  if (forced < 0) return fail_status(line::has_header);
  // Both answers from one native pass, or both from the sniffer.
  delimited::SniffAnswers sniffed;
  int native = delimited::sniff_sample(csv, sample.get(), !forced, sniffed);
  if (native < 0) return fail_status(forced ? line::sniff : line::has_header);
  Ref title_first = forced   ? borrow(forceTitles)
                    : native ? std::move(sniffed.title_first)
                             : ask_new_sniffer(csv, constants.has_header, sample.get());
  if (!title_first) return fail_status(line::has_header);
  layout.title_first = std::move(title_first);

  Ref dialect =
      native ? std::move(sniffed.dialect) : ask_new_sniffer(csv, constants.sniff, sample.get());
  if (!dialect) return fail_status(line::sniff);
  layout.dialect = std::move(dialect);
  Ref delimiter = steal(PyObject_GetAttr(layout.dialect.get(), constants.delimiter));
  int semicolon = delimiter ? equals_text(delimiter.get(), constants.semicolon) : -1;
  if (semicolon < 0) return fail_status(line::test_delimiter);
  layout.ftype = borrow(semicolon ? constants.csv : constants.txt);

  Ref reader_function = steal(PyObject_GetAttr(csv, constants.reader));
  Ref reader =
      reader_function ? call(reader_function.get(), {csvfile, layout.dialect.get()}) : Ref();
  if (!reader) return fail_status(line::new_reader);
  return count_rows(reader_function.get(), csvfile, reader.get(), opened, layout);
}

// The delimited-text branch: the file is open in a with-block while its
// layout is read, and closed on every way out.
Ref inspect_delimited(PyObject* csv, PyObject* filename, PyObject* forceTitles, Layout& layout) {
  // open(filename, "r", encoding="utf-8-sig") with the held open: strict
  // errors and universal newlines, as the native row count must be told.
  delimited::OpenedTextFile opened{
      state.held.open, constants.mode_read, constants.utf_8_sig, true, true, false};
  PyObject* open_args[] = {filename, opened.mode, opened.encoding};
  Ref file = call_vector(opened.open, open_args, 2, constants.encoding_kwnames);
  if (!file) return fail(line::with_open);
  WithBlock block;
  Ref csvfile = block.enter(file.get());
  if (!csvfile) return fail(line::with_open);
  if (read_layout(csv, csvfile.get(), forceTitles, opened, layout) < 0) {
    if (block.exit_with_exception() < 0) return fail(line::with_open);
  } else if (block.exit_normally() < 0) {
    return fail(line::with_open);
  }

  int title_first = PyObject_IsTrue(layout.title_first.get());
  if (title_first < 0) return fail(line::test_title_first);
  if (title_first) --layout.line_count;
  Ref result = layout.as_result();
  return result ? std::move(result) : fail(line::result);
}

// One nested analysis, as an entry of the workbook result: the items of
// inspectFile(filename, ftype, arange, titleFirst) with the first replaced
// by the range designation.
Ref range_entry(PyObject* filename, PyObject* ftype, PyObject* arange, PyObject* titleFirst) {
  Ref nested;
  if (Py_EnterRecursiveCall(" while calling a Python object") == 0) {
    nested = call_global(constants.inspectFile, {filename, ftype, arange, titleFirst});
    Py_LeaveRecursiveCall();
  }
  Ref res = nested ? steal(PySequence_List(nested.get())) : Ref();
  if (!res) return fail(line::nested_inspect);
  if (PyList_SetItem(res.get(), 0, borrow(arange).release()) < 0) return fail(line::replace_item);
  Ref entry = steal(PyList_AsTuple(res.get()));
  return entry ? std::move(entry) : fail(line::append_entry);
}

// The workbook branch: one range's analysis, or the analyses of all ranges.
Ref inspect_workbook(PyObject* filename, PyObject* ftype, PyObject* arange, PyObject* titleFirst) {
  int ranged = PyObject_IsTrue(arange);
  if (ranged < 0) return fail(line::test_arange);
  if (ranged) {
    Ref analysis = call_global(constants.analyseRangeData, {filename, ftype, arange});
    return analysis ? std::move(analysis) : fail(line::analyse_range);
  }

  Ref ranges = call_global(constants.getDataFileRanges, {filename, ftype});
  if (!ranges) return fail(line::list_ranges);
  Ref lst = steal(PyList_New(1));
  if (!lst) return fail(line::new_lst);
  PyList_SET_ITEM(lst.get(), 0, borrow(ftype).release());
  Ref designations = steal(PyObject_GetIter(ranges.get()));
  if (!designations) return fail(line::range_loop);
  while (Ref designation = steal(PyIter_Next(designations.get()))) {
    Ref entry = range_entry(filename, ftype, designation.get(), titleFirst);
    if (!entry) return entry;
    if (PyList_Append(lst.get(), entry.get()) < 0) return fail(line::append_entry);
  }
  if (PyErr_Occurred()) return fail(line::range_loop);
  Ref result = steal(PyList_AsTuple(lst.get()));
  return result ? std::move(result) : fail(line::workbook_result);
}

Ref inspect(PyObject* filename, PyObject* ftype_arg, PyObject* arange, PyObject* forceTitles) {
  Ref csv = import_module(constants.csv);
  if (!csv) return fail(line::import_csv);
  Layout layout;
  layout.dialect = borrow(Py_None);
  layout.titles = steal(PyList_New(0));
  if (!layout.titles) return fail(line::new_titles);

  layout.ftype = borrow(ftype_arg);
  int given = PyObject_IsTrue(ftype_arg);
  if (given < 0) return fail(line::test_ftype);
  if (!given) {
    layout.ftype = call_global(constants.getfiletype, {filename});
    if (!layout.ftype) return fail(line::detect);
  }
  PyObject* ftype = layout.ftype.get();
  int unknown = equals_text(ftype, constants.unknown);
  if (unknown < 0) return fail(line::test_unknown);
  if (unknown && print_debug_line(filename, ftype) < 0) return fail(line::print_debug);
  layout.title_first = borrow(forceTitles);

  Ref simple_types = lookup_global(constants.simpleRangeType);
  int delimited = simple_types ? PySequence_Contains(simple_types.get(), ftype) : -1;
  if (delimited < 0) return fail(line::test_delimited);
  if (delimited) return inspect_delimited(csv.get(), filename, forceTitles, layout);

  int workbook = equals_either(ftype, constants.xls, constants.xlsx);
  if (workbook < 0) return fail(line::test_workbook);
  if (workbook) return inspect_workbook(filename, ftype, arange, forceTitles);

  Ref result = layout.as_result();
  return result ? std::move(result) : fail(line::result);
}

}  // namespace

PyObject* inspectFile(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* const params[] = {constants.filename, constants.ftype, constants.arange,
                              constants.forceTitles};
  PyObject* values[] = {nullptr, constants.empty, constants.empty, Py_False};
  if (bind_arguments("inspectFile", params, 4, args, nargs, kwnames, values) < 0)
    return fail(line::bind).release();
  return inspect(values[0], values[1], values[2], values[3]).release();
}

}  // namespace fileinspect
