#include "sheetscan/xls/python_values.hpp"

#include <algorithm>
#include <cerrno>

#include "sheetscan/module_state.hpp"
#include "sheetscan/python_values.hpp"
#include "sheetscan/rows/cell.hpp"

namespace sheetscan::xls {

namespace {

using common::borrow;
using common::Ref;
using common::steal;

// The shared strings of one call's first rows may come to this much in all
// (each string made once, however many cells show it).
constexpr size_t kMaxSharedText = size_t{64} << 20;

// The text xlrd's error_text_from_code gives excelsource for an error code:
// a cell's, but for #GETTING_DATA (0x2B), which xlrd does not know.
const char* xlrd_error_text(uint32_t code) {
  return code == 0x2B ? "#ERROR" : error_text(code);
}

Ref value_object(const KeptCell& cell, SharedTexts* shared) {
  switch (cell.kind) {
    case CellValue::Kind::kText:
      return text_object(cell.text);
    case CellValue::Kind::kSharedText:
      return shared->object(cell.code);
    case CellValue::Kind::kNumber:
      return steal(PyFloat_FromDouble(cell.number));
    case CellValue::Kind::kBoolean:
      return steal(PyLong_FromUnsignedLong(cell.code));
    case CellValue::Kind::kError:
      break;
  }
  return steal(PyUnicode_FromString(xlrd_error_text(cell.code)));
}

// Each kept row as a list from the range's first column to its last value,
// None where a cell holds none.
Ref rows_object(const std::vector<KeptRow>& rows, uint32_t first_column, SharedTexts* shared) {
  Ref list = steal(PyList_New(static_cast<Py_ssize_t>(rows.size())));
  if (!list) return list;
  for (size_t index = 0; index < rows.size(); ++index) {
    const std::vector<KeptCell>& cells = rows[index].cells;
    size_t width = cells.back().column - first_column + 1;
    Ref row = steal(PyList_New(static_cast<Py_ssize_t>(width)));
    if (!row) return row;
    for (size_t position = 0; position < width; ++position) {
      PyList_SET_ITEM(row.get(), static_cast<Py_ssize_t>(position), borrow(Py_None).release());
    }
    for (const KeptCell& cell : cells) {
      Ref value = value_object(cell, shared);
      if (!value) return value;
      PyList_SetItem(row.get(), static_cast<Py_ssize_t>(cell.column - first_column),
                     value.release());
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(index), row.release());
  }
  return list;
}

}  // namespace

PyObject* raise(PyObject* module, const Problem& problem) {
  if (problem.kind() == StopKind::kOsError) {
    errno = problem.error_number();
    return PyErr_SetFromErrno(PyExc_OSError);
  }
  const ModuleState* state = module_state(module);
  PyObject* error = problem.kind() == StopKind::kUnsupported ? state->unreadable : state->rejected;
  const std::string& text = problem.message();
  Ref message =
      steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(error, message.get());
  return nullptr;
}

bool kept_rows(Py_ssize_t sample_rows, size_t* kept) {
  if (sample_rows < 0) {
    PyErr_SetString(PyExc_ValueError, "sample_rows is negative");
    return false;
  }
  *kept = static_cast<size_t>(std::min<Py_ssize_t>(sample_rows, kSheetRows - 1)) + 1;
  return true;
}

bool parse_area(PyObject* object, CellArea* area, uint64_t* first_column) {
  *first_column = 1;
  if (object == Py_None) return true;
  unsigned long long first_row, first, last_row, last;
  if (!PyArg_ParseTuple(object, "KKKK", &first_row, &first, &last_row, &last)) return false;
  if (first_row < 1 || first < 1) {
    PyErr_SetString(PyExc_ValueError, "rows and columns count from 1");
    return false;
  }
  auto clamp = [](unsigned long long value, uint32_t limit) {
    return static_cast<uint32_t>(std::min<unsigned long long>(value - 1, limit));
  };
  area->first_row = clamp(first_row, kSheetRows);
  area->first_column = clamp(first, kSheetColumns);
  area->last_row = clamp(last_row, kSheetRows - 1);
  area->last_column = clamp(last, kSheetColumns - 1);
  *first_column = first;
  return true;
}

bool SharedTexts::read(Workbook* book, const std::vector<RangeRows>& ranges, Problem* problem) {
  for (const RangeRows& range : ranges) {
    for (const KeptRow& row : range.rows) {
      for (const KeptCell& cell : row.cells) {
        if (cell.kind == CellValue::Kind::kSharedText) texts_[cell.code];
      }
    }
  }
  return texts_.empty() || book->strings().texts(book->records(), &texts_, kMaxSharedText, problem);
}

Ref SharedTexts::object(uint32_t index) {
  Ref& made = objects_[index];
  if (!made) made = text_object(texts_.at(index));
  return made.share();
}

Ref area_object(const UsedCells& used) {
  if (!used.filled_rows) return borrow(Py_None);
  return steal(Py_BuildValue("(kkkk)", static_cast<unsigned long>(used.first_row) + 1,
                             static_cast<unsigned long>(used.first_column) + 1,
                             static_cast<unsigned long>(used.last_row) + 1,
                             static_cast<unsigned long>(used.last_column) + 1));
}

Ref analysis_object(const RangeRows& range, uint64_t first_column, SharedTexts* shared) {
  uint32_t first_index = static_cast<uint32_t>(first_column - 1);
  Ref list = rows_object(range.rows, first_index, shared);
  if (!list) return list;
  const UsedCells& used = range.used;
  unsigned long long first = used.filled_rows ? used.first_column - first_index + 1 : 0;
  unsigned long long last = used.filled_rows ? used.last_column - first_index + 1 : 0;
  return steal(Py_BuildValue("(KKKO)", static_cast<unsigned long long>(used.filled_rows), first,
                             last, list.get()));
}

}  // namespace sheetscan::xls
