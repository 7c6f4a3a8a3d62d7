// getfiletype(filename): the type name of a data file.
//
// With `magic` available (KOmagic false) the MIME type decides, and plain text
// is sniffed on its first two lines for a ";" or tab layout. Without it the
// answer is the file name's extension, and the file is not touched.
#include "binding.hpp"
#include "common/fast_path.hpp"
#include "functions.hpp"
#include "ops.hpp"
#include "traceback.hpp"
#include "withblock.hpp"

namespace fileinspect {

namespace {

namespace line = getfiletype_line;

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

// True when `function` is a Python function defined by `module` as `name`
// (not one put there in its place by other code).
bool is_own_function(PyObject* function, PyObject* module, PyObject* name) {
  if (!PyFunction_Check(function)) return false;
  if (PyFunction_GET_GLOBALS(function) != PyModule_GetDict(module)) return false;
  return PyUnicode_Compare(code_name(PyFunction_GET_CODE(function)), name) == 0;
}

// 1 when `splitext` is still the function remembered at initialisation,
// running the same code, and the helper it calls for text,
// genericpath._splitext, is still the one it found then, so that its result
// on an exact str can be worked out here without the cost of calling it
// through the interpreter; 0 when the call must be made; -1 when the step
// fails (common/fast_path.hpp). The check costs two dictionary lookups
// (about 10 ns). The other names it reads (os.fspath, isinstance, bytes)
// decide nothing for an exact str unless replaced by code that means to break
// the interpreter, and checking them would cost as much as the rest of the
// call.
int is_posix_splitext(PyObject* splitext) {
  if (splitext != state.posix_splitext.function) return 0;
  if (PyFunction_GET_CODE(splitext) != state.posix_splitext.code) return 0;
  PyObject* genericpath = PyDict_GetItemWithError(PyFunction_GET_GLOBALS(splitext),
                                                  constants.genericpath);  // borrowed
  PyObject* helper = genericpath && PyModule_CheckExact(genericpath)
                         ? PyDict_GetItemWithError(PyModule_GetDict(genericpath),
                                                   constants.private_splitext)  // borrowed
                         : nullptr;
  if (helper && helper == state.posix_splitext.generic_helper) return 1;
  return give_up_fast_path();
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
  return borrow(constants.empty);
}

// os.path.splitext(filename)[1][1:]
Ref extension_without_dot(PyObject* filename) {
  Ref os = lookup_global(constants.os);
  Ref path = os ? steal(PyObject_GetAttr(os.get(), constants.path)) : Ref();
  Ref splitext = path ? steal(PyObject_GetAttr(path.get(), constants.splitext)) : Ref();
  if (!splitext) return splitext;
  int native = PyUnicode_CheckExact(filename) ? is_posix_splitext(splitext.get()) : 0;
  if (native < 0) return Ref();
  if (native) return posix_extension_without_dot(filename);
  Ref parts = call(splitext.get(), {filename});
  Ref ext = parts ? second_of_two(parts.get()) : Ref();
  return ext ? steal(PyObject_GetItem(ext.get(), constants.one_to_end)) : Ref();
}

// Extension mode: whatever goes wrong while computing the extension, the
// answer is "unknown".
Ref type_from_extension(PyObject* filename) {
  Ref ftype = extension_without_dot(filename);
  if (ftype) return ftype;
  PyErr_Clear();
  return borrow(constants.unknown);
}

// `with open(filename, "r") as f: l1 = f.readline(); l2 = f.readline()`.
// Returns 0, or -1 with the error set and its entries added.
int read_first_two_lines(PyObject* filename, Ref& l1, Ref& l2) {
  Ref file = call(state.held.open, {filename, constants.mode_read});
  if (!file) return fail_status(line::open_file);
  WithBlock block;
  Ref f = block.enter(file.get());
  if (!f) return fail_status(line::open_file);

  const Line* failed = nullptr;
  l1 = call_method(f.get(), constants.readline, {});
  if (!l1) {
    failed = &line::read_l1;
  } else {
    l2 = call_method(f.get(), constants.readline, {});
    if (!l2) failed = &line::read_l2;
  }
  if (failed) {
    add_traceback_entry(*failed);
    if (block.exit_with_exception() < 0) return fail_status(line::open_file);
    return 0;  // swallowed by __exit__: the line stays unbound
  }
  if (block.exit_normally() < 0) return fail_status(line::open_file);
  return 0;
}

// Both lines split at `separator`: 1 when the first has more than one field
// and the second exactly as many, else 0; -1 on error.
int same_fields(PyObject* l1, PyObject* l2, PyObject* separator, const line::FieldSplit& lines) {
  Ref lt1 = split(l1, separator);
  if (!lt1) return fail_status(lines.split_l1);
  Ref lt2 = split(l2, separator);
  if (!lt2) return fail_status(lines.split_l2);
  Py_ssize_t count1 = PyObject_Size(lt1.get());
  Py_ssize_t count2 = count1 > 1 ? PyObject_Size(lt2.get()) : 0;
  if (count1 < 0 || count2 < 0) return fail_status(lines.compare_counts);
  return count1 > 1 && count1 == count2;
}

// "csv" or "txt" for a ";" or tab layout of the first two lines, "unknown"
// for neither; null with the error set and its entries added on failure.
Ref delimited_type(PyObject* filename) {
  Ref l1, l2;
  if (read_first_two_lines(filename, l1, l2) < 0) return Ref();
  // A read whose error __exit__ swallowed leaves its line unbound.
  if (!l1) return raise_unbound_local("l1"), fail(line::semicolon_split.split_l1);
  if (!l2) return raise_unbound_local("l2"), fail(line::semicolon_split.split_l2);
  int semicolons = same_fields(l1.get(), l2.get(), constants.semicolon, line::semicolon_split);
  if (semicolons) return semicolons > 0 ? borrow(constants.csv) : Ref();
  int tabs = same_fields(l1.get(), l2.get(), constants.tab, line::tab_split);
  if (tabs) return tabs > 0 ? borrow(constants.txt) : Ref();
  return borrow(constants.unknown);
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
  int application = item_equals(lst, 0, constants.application);
  if (application < 0) return fail(line::test_application);
  if (!application) return borrow(constants.unknown);

  Ref subtype = item(lst, 1);
  if (!subtype) {
    if (!PyErr_ExceptionMatches(PyExc_IndexError)) return fail(line::split_subtype);
    PyErr_Clear();
    return borrow(constants.unknown_application);
  }
  Ref ltx = split(subtype.get(), constants.dot);
  if (!ltx) return fail(line::split_subtype);
  int vendor = item_equals(ltx.get(), 0, constants.vnd);
  if (vendor < 0) return fail(line::test_vnd);
  if (!vendor) return borrow(constants.unknown_application);

  int old_workbook = item_equals(ltx.get(), 1, constants.ms_excel);
  if (old_workbook < 0) return fail(line::test_ms_excel);
  if (old_workbook) return borrow(constants.xls);
  int open_xml = item_equals(ltx.get(), 1, constants.openxmlformats);
  if (open_xml < 0) return fail(line::test_openxml);
  return borrow(open_xml ? constants.xlsx : constants.unknown_spreadsheet);
}

// MIME mode.
Ref type_from_mime(PyObject* filename) {
  Ref magic = lookup_global(constants.magic);
  Ref res = magic ? call_method(magic.get(), constants.from_file, {filename, Py_True}) : Ref();
  if (!res) return fail(line::mime_type);
  Ref lst = split(res.get(), constants.slash);
  if (!lst) return fail(line::split_mime);
  int plain_text = equals_text(res.get(), constants.text_plain);
  if (plain_text < 0) return fail(line::test_text_plain);
  if (plain_text) return delimited_type(filename);
  return type_from_mime_parts(lst.get());
}

}  // namespace

void remember_posix_splitext() {
  if (state.posix_splitext.function) return;  // kept from an earlier initialisation
  Ref posixpath = steal(PyImport_GetModule(constants.posixpath));
  Ref genericpath = steal(PyImport_GetModule(constants.genericpath));
  if (!posixpath || !genericpath) return PyErr_Clear();
  Ref splitext = steal(PyObject_GetAttr(posixpath.get(), constants.splitext));
  Ref helper = steal(PyObject_GetAttr(genericpath.get(), constants.private_splitext));
  PyErr_Clear();  // a module without these names simply has no fast path
  if (!splitext || !is_own_function(splitext.get(), posixpath.get(), constants.splitext)) return;
  if (!helper || !is_own_function(helper.get(), genericpath.get(), constants.private_splitext))
    return;
  hold(state.posix_splitext.code, PyFunction_GET_CODE(splitext.get()));
  hold(state.posix_splitext.generic_helper, helper.get());
  hold(state.posix_splitext.function, splitext.get());
}

PyObject* getfiletype(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (bind_one_positional("getfiletype", nargs, kwnames) < 0) return nullptr;
  PyObject* filename = args[0];

  Ref ko_magic = lookup_global(constants.KOmagic);
  int extension_mode = ko_magic ? PyObject_IsTrue(ko_magic.get()) : -1;
  if (extension_mode < 0) return fail(line::test_KOmagic).release();
  if (extension_mode) return type_from_extension(filename).release();
  return type_from_mime(filename).release();
}

}  // namespace fileinspect
