#include "sheetscan/xls/python_api.hpp"

#include <algorithm>
#include <cerrno>
#include <map>

#include "sheetscan/xls/file_digest.hpp"
#include "sheetscan/xls/range_collector.hpp"
#include "sheetscan/xls/workbook.hpp"

namespace sheetscan::xls {

namespace {

using common::borrow;
using common::Ref;
using common::steal;

// The texts of an analysis's first rows may come to this much in all.
constexpr size_t kMaxFirstRowsText = RangeCollector::kMaxKeptText;

// The shared strings of one call's first rows may come to this much in all
// (each string made once, however many cells show it).
constexpr size_t kMaxSharedText = size_t{64} << 20;

// The text xlrd's error_text_from_code gives excelsource for an error code.
const char* error_text(uint32_t code) {
  switch (code) {
    case 0x00:
      return "#NULL!";
    case 0x07:
      return "#DIV/0!";
    case 0x0F:
      return "#VALUE!";
    case 0x17:
      return "#REF!";
    case 0x1D:
      return "#NAME?";
    case 0x24:
      return "#NUM!";
    case 0x2A:
      return "#N/A";
    default:
      return "#ERROR";
  }
}

// Raises the module's exception for `problem`; returns null.
PyObject* raise(PyObject* module, const Problem& problem) {
  if (problem.kind() == StopKind::kOsError) {
    errno = problem.error_number();
    return PyErr_SetFromErrno(PyExc_OSError);
  }
  const char* name = problem.kind() == StopKind::kUnsupported ? "Unreadable" : "Rejected";
  Ref error = steal(PyObject_GetAttrString(module, name));
  if (!error) return nullptr;
  const std::string& text = problem.message();
  Ref message =
      steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(error.get(), message.get());
  return nullptr;
}

Ref text_object(const std::string& text) {
  return steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
}

// The first rows of a range, as the collector keeps them.
struct RangeRows {
  UsedCells used;
  std::vector<KeptRow> rows;
};

// The shared strings that first rows show, each made into a str once.
class SharedTexts {
 public:
  // Reads the texts of the strings that `ranges` show.
  bool read(Workbook* book, const std::vector<RangeRows>& ranges, Problem* problem) {
    for (const RangeRows& range : ranges) {
      for (const KeptRow& row : range.rows) {
        for (const KeptCell& cell : row.cells) {
          if (cell.kind == CellValue::Kind::kSharedText) texts_[cell.code];
        }
      }
    }
    return texts_.empty() ||
           book->strings().texts(book->records(), &texts_, kMaxSharedText, problem);
  }
  Ref object(uint32_t index) {
    Ref& made = objects_[index];
    if (!made) made = text_object(texts_.at(index));
    return made.share();
  }

 private:
  std::map<uint32_t, std::string> texts_;
  std::map<uint32_t, Ref> objects_;
};

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
  return steal(PyUnicode_FromString(error_text(cell.code)));
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

// (non-empty rows, first column, last column, first rows), the columns
// counted from the range's first (`first_column`, 1-based), as for .xlsx.
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

// The rows kept: as many as the title heuristic samples, and the first.
bool kept_rows(Py_ssize_t sample_rows, size_t* kept) {
  if (sample_rows < 0) {
    PyErr_SetString(PyExc_ValueError, "sample_rows is negative");
    return false;
  }
  *kept = static_cast<size_t>(std::min<Py_ssize_t>(sample_rows, kSheetRows - 1)) + 1;
  return true;
}

// The area (1-based, inclusive; None for the whole sheet) within the
// worksheet's limits, and its first column.
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

// The index of the worksheet that `choose(names)` picks.
bool chosen_sheet(PyObject* choose, const Workbook& book, size_t* index) {
  const std::vector<SheetEntry>& sheets = book.worksheets();
  Ref names = steal(PyList_New(static_cast<Py_ssize_t>(sheets.size())));
  if (!names) return false;
  for (size_t i = 0; i < sheets.size(); ++i) {
    Ref name = text_object(sheets[i].name);
    if (!name) return false;
    PyList_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), name.release());
  }
  Ref chosen = steal(PyObject_CallFunctionObjArgs(choose, names.get(), nullptr));
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

Ref area_object(const UsedCells& used) {
  if (!used.filled_rows) return borrow(Py_None);
  return steal(Py_BuildValue("(kkkk)", static_cast<unsigned long>(used.first_row) + 1,
                             static_cast<unsigned long>(used.first_column) + 1,
                             static_cast<unsigned long>(used.last_row) + 1,
                             static_cast<unsigned long>(used.last_column) + 1));
}

}  // namespace

PyObject* ranges(PyObject* module, PyObject* args) {
  int fd;
  Py_ssize_t sample_rows;
  size_t kept;
  if (!PyArg_ParseTuple(args, "in:xls_ranges", &fd, &sample_rows) ||
      !kept_rows(sample_rows, &kept)) {
    return nullptr;
  }
  Problem problem;
  Workbook book;
  if (!book.open(fd, &problem)) return raise(module, problem);
  const std::vector<SheetEntry>& worksheets = book.worksheets();
  std::vector<RangeRows> ranges(worksheets.size());
  for (size_t index = 0; index < worksheets.size(); ++index) {
    const SheetEntry& sheet = worksheets[index];
    if (!collect_range(book.records(), book.strings(), sheet.offset, sheet.name, CellArea(), kept,
                       &problem, &ranges[index].used, &ranges[index].rows)) {
      return raise(module, problem);
    }
  }
  SharedTexts shared;
  if (!shared.read(&book, ranges, &problem)) return raise(module, problem);
  Ref sheets = steal(PyList_New(static_cast<Py_ssize_t>(worksheets.size())));
  if (!sheets) return nullptr;
  for (size_t index = 0; index < worksheets.size(); ++index) {
    Ref name = text_object(worksheets[index].name);
    Ref area = name ? area_object(ranges[index].used) : Ref();
    Ref analysis = area ? analysis_object(ranges[index], 1, &shared) : Ref();
    Ref entry = analysis ? steal(PyTuple_Pack(3, name.get(), area.get(), analysis.get())) : Ref();
    if (!entry) return nullptr;
    PyList_SET_ITEM(sheets.get(), static_cast<Py_ssize_t>(index), entry.release());
  }
  return sheets.release();
}

PyObject* analyse(PyObject* module, PyObject* args) {
  int fd;
  PyObject *choose, *area_object;
  Py_ssize_t sample_rows;
  CellArea area;
  uint64_t first_column;
  size_t kept;
  if (!PyArg_ParseTuple(args, "iOOn:xls_analyse", &fd, &choose, &area_object, &sample_rows) ||
      !parse_area(area_object, &area, &first_column) || !kept_rows(sample_rows, &kept)) {
    return nullptr;
  }
  Problem problem;
  Workbook book;
  if (!book.open(fd, &problem)) return raise(module, problem);
  size_t index;
  if (!chosen_sheet(choose, book, &index)) return nullptr;
  const SheetEntry& sheet = book.worksheets()[index];
  std::vector<RangeRows> range(1);
  SharedTexts shared;
  if (!collect_range(book.records(), book.strings(), sheet.offset, sheet.name, area, kept, &problem,
                     &range[0].used, &range[0].rows) ||
      !shared.read(&book, range, &problem)) {
    return raise(module, problem);
  }
  return analysis_object(range[0], first_column, &shared).release();
}

PyObject* content_digest(PyObject* module, PyObject* args) {
  int fd;
  if (!PyArg_ParseTuple(args, "i:content_digest", &fd)) return nullptr;
  Problem problem;
  uint64_t digest;
  if (!file_digest(fd, &digest, &problem)) return raise(module, problem);
  return PyLong_FromUnsignedLongLong(digest);
}

}  // namespace sheetscan::xls
