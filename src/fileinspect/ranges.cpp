// getDataFileRanges(filename, ftype=""): the data ranges a file holds.
//
// Delimited text has none (a new empty list); a workbook's are whatever the
// sibling `getranges` lists, passed on unchanged; any other type gets None.
#include "binding.hpp"
#include "functions.hpp"
#include "ops.hpp"
#include "traceback.hpp"

namespace fileinspect {

namespace {

Ref fail(int line) {
  add_traceback_entry(Function::getDataFileRanges, line);
  return Ref();
}

Ref data_ranges(PyObject* filename, PyObject* ftype_arg) {
  Ref ftype = borrow(ftype_arg);
  int given = PyObject_IsTrue(ftype.get());
  if (given < 0) return fail(73);
  if (!given) {
    ftype = call_global(strings.getfiletype, {filename});
    if (!ftype) return fail(74);
  }

  int delimited = equals_either(ftype.get(), strings.csv_type, strings.txt_type);
  if (delimited < 0) return fail(75);
  if (delimited) {
    Ref none_listed = steal(PyList_New(0));
    return none_listed ? std::move(none_listed) : fail(76);
  }

  int workbook = equals_either(ftype.get(), strings.xls_type, strings.xlsx_type);
  if (workbook < 0) return fail(77);
  if (workbook) {
    Ref ranges = call_global(strings.getranges, {filename, ftype.get()});
    return ranges ? std::move(ranges) : fail(78);
  }
  return borrow(Py_None);
}

}  // namespace

PyObject* getDataFileRanges(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* const params[] = {strings.filename, strings.ftype};
  PyObject* values[] = {nullptr, strings.empty};
  if (bind_arguments("getDataFileRanges", params, 2, args, nargs, kwnames, values) < 0)
    return fail(72).release();
  return data_ranges(values[0], values[1]).release();
}

}  // namespace fileinspect
