// The Python objects that the module's functions return (see module.cpp).
#pragma once

#include "common/pyref.hpp"

#include <cstdint>
#include <string>

#include "sheetscan/area_scan.hpp"
#include "sheetscan/package/part_contents.hpp"
#include "sheetscan/package/shared_strings.hpp"

namespace sheetscan {

// (first row, first column, last row, last column) of the used cells that `scan` saw.
common::Ref used_area_object(const AreaScan& scan);

// (non-empty rows, first column, last column, first rows) of what `scan` saw;
// `shared` holds the texts of the shared strings its first rows use.
common::Ref analysis_object(const AreaScan& scan, const SharedTexts& shared);

// (date1904, number format id per cell format, [(custom id, code)]).
common::Ref styles_object(bool date1904, const NumberFormats& formats);

// A text of UTF-8 as a str.
common::Ref text_object(const std::string& text);

// The index of the worksheet that `choose(names)` picks, `names` being the
// .name (UTF-8) of each of `sheets`; false with the error set.
template <typename Sheets>
bool chosen_sheet(PyObject* choose, const Sheets& sheets, size_t* index) {
  common::Ref names = common::steal(PyList_New(static_cast<Py_ssize_t>(sheets.size())));
  if (!names) return false;
  for (size_t i = 0; i < sheets.size(); ++i) {
    common::Ref name = text_object(sheets[i].name);
    if (!name) return false;
    PyList_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), name.release());
  }
  common::Ref chosen = common::steal(PyObject_CallFunctionObjArgs(choose, names.get(), nullptr));
  if (!chosen) return false;
  Py_ssize_t value = PyNumber_AsSsize_t(chosen.get(), PyExc_IndexError);
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < 0 || static_cast<size_t>(value) >= sheets.size()) {
    PyErr_SetString(PyExc_IndexError, "no such worksheet");
    return false;
  }
  *index = static_cast<size_t>(value);
  return true;
}

}  // namespace sheetscan
