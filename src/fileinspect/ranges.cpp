// getDataFileRanges(filename, ftype=""): the data ranges a file holds.
//
// Delimited text has none (a new empty list); a workbook's are whatever the
// sibling `getranges` lists, passed on unchanged; any other type gets None.
#include "binding.hpp"
#include "functions.hpp"
#include "ops.hpp"
#include "traceback.hpp"

#include <utility>

namespace fileinspect {

namespace {

namespace line = ranges_line;

Ref data_ranges(PyObject* filename, PyObject* ftype_arg) {
  Ref ftype = borrow(ftype_arg);
  int given = PyObject_IsTrue(ftype.get());
  if (given < 0) return fail(line::test_ftype);
  if (!given) {
    ftype = call_global(constants.getfiletype, {filename});
    if (!ftype) return fail(line::detect);
  }

  int delimited = equals_either(ftype.get(), constants.csv, constants.txt);
  if (delimited < 0) return fail(line::test_delimited);
  if (delimited) {
    Ref none_listed = steal(PyList_New(0));
    return none_listed ? std::move(none_listed) : fail(line::new_list);
  }

  int workbook = equals_either(ftype.get(), constants.xls, constants.xlsx);
  if (workbook < 0) return fail(line::test_workbook);
  if (workbook) {
    Ref ranges = call_global(constants.getranges, {filename, ftype.get()});
    return ranges ? std::move(ranges) : fail(line::getranges);
  }
  return borrow(Py_None);
}

}  // namespace

PyObject* getDataFileRanges(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* const params[] = {constants.filename, constants.ftype};
  PyObject* values[] = {nullptr, constants.empty};
  if (bind_arguments("getDataFileRanges", params, 2, args, nargs, kwnames, values) < 0)
    return fail(line::bind).release();
  return data_ranges(values[0], values[1]).release();
}

}  // namespace fileinspect
