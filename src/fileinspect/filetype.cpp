// getfiletype(filename): the type name of a data file.
//
// With `magic` available (KOmagic false) the MIME type decides, and plain text
// is sniffed on its first two lines for a ";" or tab layout. Without it the
// answer is the file name's extension, and the file is not touched.
#include "binding.hpp"
#include "functions.hpp"
#include "ops.hpp"
#include "traceback.hpp"
#include "withblock.hpp"

namespace fileinspect {

namespace {

// Adds this function's traceback entry for `line`; returns the null result.
Ref fail(int line) {
  add_traceback_entry(Function::getfiletype, line);
  return Ref();
}

// The same, for helpers that return a status.
int fail_status(int line) {
  add_traceback_entry(Function::getfiletype, line);
  return -1;
}

// The second of exactly two items of `pair` (`_, ext = pair`).
Ref second_of_two(PyObject* pair) {
  Ref iterator = steal(PyObject_GetIter(pair));
  if (!iterator) return iterator;
  Ref first = steal(PyIter_Next(iterator.get()));
  Ref second = first ? steal(PyIter_Next(iterator.get())) : Ref();
  if (!second) return second;
  Ref extra = steal(PyIter_Next(iterator.get()));
  if (extra || PyErr_Occurred()) return Ref();
  return second;
}

// posixpath.splitext and its code object as found at initialisation (strong
// references kept for the process's lifetime); null when it was not the
// interpreter's own function.
PyObject* posix_splitext;
PyObject* posix_splitext_code;

// True when `function` is a Python function defined by `module` as `name`
// (not one put there in its place by other code).
bool is_own_function(PyObject* function, PyObject* module, PyObject* name) {
  if (!PyFunction_Check(function)) return false;
  if (PyFunction_GET_GLOBALS(function) != PyModule_GetDict(module)) return false;
  PyObject* code_name = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(function))->co_name;
  return PyUnicode_Compare(code_name, name) == 0;
}

// True when `splitext` is still the function remembered at initialisation,
// running the same code, so that its result on an exact str can be worked
// out here without the cost of calling it through the interpreter.
bool is_posix_splitext(PyObject* splitext) {
  return splitext == posix_splitext && PyFunction_GET_CODE(splitext) == posix_splitext_code;
}

// posixpath.splitext(path)[1][1:] for an exact str: the text after the last
// "." of the final component, unless only dots come before that "." in it.
Ref posix_extension_without_dot(PyObject* path) {
  Py_ssize_t length = PyUnicode_GetLength(path);
  if (length < 0) return Ref();
  Py_ssize_t slash = PyUnicode_FindChar(path, '/', 0, length, -1);
  Py_ssize_t dot = PyUnicode_FindChar(path, '.', 0, length, -1);
  if (slash == -2 || dot == -2) return Ref();
  for (Py_ssize_t i = slash + 1; i < dot; ++i) {
    if (PyUnicode_READ_CHAR(path, i) != '.')
      return steal(PyUnicode_Substring(path, dot + 1, length));
  }
  return borrow(strings.empty);
}

// os.path.splitext(filename)[1][1:]
Ref extension_without_dot(PyObject* filename) {
  Ref os = lookup_global(strings.os);
  Ref path = os ? steal(PyObject_GetAttr(os.get(), strings.path)) : Ref();
  Ref splitext = path ? steal(PyObject_GetAttr(path.get(), strings.splitext)) : Ref();
  if (!splitext) return splitext;
  if (PyUnicode_CheckExact(filename) && is_posix_splitext(splitext.get()))
    return posix_extension_without_dot(filename);
  Ref parts = call(splitext.get(), {filename});
  Ref ext = parts ? second_of_two(parts.get()) : Ref();
  return ext ? steal(PyObject_GetItem(ext.get(), strings.one_to_end)) : Ref();
}

// Extension mode: whatever goes wrong while computing the extension, the
// answer is "unknown".
Ref type_from_extension(PyObject* filename) {
  Ref ftype = extension_without_dot(filename);
  if (ftype) return ftype;
  PyErr_Clear();
  return borrow(strings.unknown);
}

// `with open(filename, "r") as f: l1 = f.readline(); l2 = f.readline()`.
// Returns 0, or -1 with the error set and its entries added.
int read_first_two_lines(PyObject* filename, Ref& l1, Ref& l2) {
  Ref file = call(held_open(), {filename, strings.mode_read});
  if (!file) return fail_status(47);
  WithBlock block;
  Ref f = block.enter(file.get());
  if (!f) return fail_status(47);

  int failed_line = 0;
  l1 = call_method(f.get(), strings.readline, {});
  if (!l1) {
    failed_line = 48;
  } else {
    l2 = call_method(f.get(), strings.readline, {});
    if (!l2) failed_line = 49;
  }
  if (failed_line) {
    fail(failed_line);
    if (block.exit_with_exception() < 0) return fail_status(47);
    return 0;  // swallowed by __exit__: the line stays unbound
  }
  if (block.exit_normally() < 0) return fail_status(47);
  return 0;
}

// Both lines split at `separator`: 1 when the first has more than one field
// and the second exactly as many, else 0; -1 on error.
int same_fields(PyObject* l1, PyObject* l2, PyObject* separator, int first_line) {
  Ref lt1 = split(l1, separator);
  if (!lt1) return fail_status(first_line);
  Ref lt2 = split(l2, separator);
  if (!lt2) return fail_status(first_line + 1);
  Py_ssize_t count1 = PyObject_Size(lt1.get());
  Py_ssize_t count2 = count1 > 1 ? PyObject_Size(lt2.get()) : 0;
  if (count1 < 0 || count2 < 0) return fail_status(first_line + 2);
  return count1 > 1 && count1 == count2;
}

// "csv" or "txt" for a ";" or tab layout of the first two lines; a null Ref
// without error for neither.
Ref delimited_type(PyObject* filename) {
  Ref l1, l2;
  if (read_first_two_lines(filename, l1, l2) < 0) return Ref();
  // A read whose error __exit__ swallowed leaves its line unbound.
  if (!l1) return raise_unbound_local("l1"), fail(50);
  if (!l2) return raise_unbound_local("l2"), fail(51);
  int semicolons = same_fields(l1.get(), l2.get(), strings.semicolon, 50);
  if (semicolons) return semicolons > 0 ? borrow(strings.csv_type) : Ref();
  int tabs = same_fields(l1.get(), l2.get(), strings.tab, 54);
  if (tabs) return tabs > 0 ? borrow(strings.txt_type) : Ref();
  return borrow(strings.unknown);
}

// sequence[index] == text; an index past the end counts as no match.
// Returns 1, 0, or -1 with the error set.
int item_equals(PyObject* sequence, Py_ssize_t index, PyObject* text) {
  Ref value = item(sequence, index);
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_IndexError)) return -1;
    PyErr_Clear();
    return 0;
  }
  return equals_text(value.get(), text);
}

// The type name of a MIME type that is not "text/plain", from its parts
// `lst` (the MIME text split at "/"). A missing subtype or a missing second
// component counts as an unknown kind rather than as an error.
Ref type_from_mime_parts(PyObject* lst) {
  int application = item_equals(lst, 0, strings.application);
  if (application < 0) return fail(58);
  if (!application) return borrow(strings.unknown);

  Ref subtype = item(lst, 1);
  if (!subtype) {
    if (!PyErr_ExceptionMatches(PyExc_IndexError)) return fail(59);
    PyErr_Clear();
    return borrow(strings.unknown_application);
  }
  Ref ltx = split(subtype.get(), strings.dot);
  if (!ltx) return fail(59);
  int vendor = item_equals(ltx.get(), 0, strings.vnd);
  if (vendor < 0) return fail(60);
  if (!vendor) return borrow(strings.unknown_application);

  int old_workbook = item_equals(ltx.get(), 1, strings.ms_excel);
  if (old_workbook < 0) return fail(61);
  if (old_workbook) return borrow(strings.xls_type);
  int open_xml = item_equals(ltx.get(), 1, strings.openxmlformats);
  if (open_xml < 0) return fail(63);
  return borrow(open_xml ? strings.xlsx_type : strings.unknown_spreadsheet);
}

// MIME mode.
Ref type_from_mime(PyObject* filename) {
  Ref magic = lookup_global(strings.magic);
  Ref res = magic ? call_method(magic.get(), strings.from_file, {filename, Py_True}) : Ref();
  if (!res) return fail(44);
  Ref lst = split(res.get(), strings.slash);
  if (!lst) return fail(45);
  int plain_text = equals_text(res.get(), strings.text_plain);
  if (plain_text < 0) return fail(46);
  if (plain_text) return delimited_type(filename);
  return type_from_mime_parts(lst.get());
}

}  // namespace

void remember_posix_splitext() {
  if (posix_splitext) return;  // kept from an earlier initialisation
  Ref posixpath = steal(PyImport_GetModule(strings.posixpath));
  Ref splitext = posixpath ? steal(PyObject_GetAttr(posixpath.get(), strings.splitext)) : Ref();
  PyErr_Clear();
  if (!splitext || !is_own_function(splitext.get(), posixpath.get(), strings.splitext)) return;
  posix_splitext_code = PyFunction_GET_CODE(splitext.get());
  Py_INCREF(posix_splitext_code);
  posix_splitext = splitext.release();
}

PyObject* getfiletype(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (bind_one_positional("getfiletype", nargs, kwnames) < 0) return nullptr;
  PyObject* filename = args[0];

  Ref ko_magic = lookup_global(strings.KOmagic);
  int extension_mode = ko_magic ? PyObject_IsTrue(ko_magic.get()) : -1;
  if (extension_mode < 0) return fail(36).release();
  if (extension_mode) return type_from_extension(filename).release();
  return type_from_mime(filename).release();
}

}  // namespace fileinspect
