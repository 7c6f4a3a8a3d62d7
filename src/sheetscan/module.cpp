// veltrane.corvalest.datareader._sheetscan: the native workbook scanner that
// `excelsource` uses for .xlsx and .xlsm workbooks (transitional or strict).
// Private; its two functions take an open file's descriptor:
//
//   ranges(fd, sample_rows) -> ([(sheet name, used area or None, analysis)], styles)
//   analyse(fd, choose, area, sample_rows) -> (analysis, styles)
//
// An area is (first row, first column, last row, last column); an analysis
// (non-empty rows, first column, last column, first rows), the first
// non-empty rows (at most sample_rows + 1) as lists of None or (type, text,
// style id) from the area's first column on (column A for a whole sheet);
// styles are (date1904, number format id per cell format, [(custom id, code)]).
// `choose(names)` returns the index of the worksheet to analyse; `area` is
// None for the whole sheet. The .xls reader's functions (xls_ranges,
// xls_analyse, content_digest) are described in xls/python_api.hpp.
//
// A refusal raises Unreadable (a ValueError): the file is not read here, and
// another reader may try it. Its subclass Rejected says that the file is
// damaged, hostile or beyond a limit: the refusal is final, and no other
// reader may try.
#include <map>
#include <new>
#include <stdexcept>

#include "common/compat.hpp"
#include "common/exception_boundary.hpp"
#include "package.hpp"
#include "sheet_pass.hpp"
#include "xls/python_api.hpp"

namespace sheetscan {

namespace {

constexpr uint64_t kNoLimit = UINT64_MAX;

struct Area {
  uint64_t first_row = 1, first_column = 1, last_row = kNoLimit, last_column = kNoLimit;
};

class RangeSink : public RowSink {
 public:
  RangeSink(const Area& area, size_t sample_rows) : area_(area), kept_rows_(sample_rows + 1) {}
  bool wants_texts() const override { return rows.size() < kept_rows_; }
  bool row(uint64_t number, const std::vector<Cell>& filled) override {
    if (number < area_.first_row) return true;
    if (number > area_.last_row) return false;
    std::vector<Cell> inside;
    bool keep = rows.size() < kept_rows_;
    uint64_t first = 0, last = 0;
    for (const Cell& cell : filled) {
      if (cell.column < area_.first_column || cell.column > area_.last_column) continue;
      uint64_t position = cell.column - area_.first_column + 1;
      if (!first) first = position;
      last = position;
      if (keep) inside.push_back(cell);
    }
    if (!first) return true;
    if (!filled_rows) first_row = number;
    last_row = number;
    ++filled_rows;
    if (first < first_column) first_column = first;
    if (last > last_column) last_column = last;
    if (keep) rows.push_back(std::move(inside));
    return true;
  }
  uint64_t filled_rows = 0, first_row = 0, last_row = 0, first_column = kNoLimit, last_column = 0;
  std::vector<std::vector<Cell>> rows;

 private:
  Area area_;
  size_t kept_rows_;
};

struct Workbook {
  ZipArchive archive;
  Package package;
  SharedStrings strings;
};

bool read_strings(Workbook* book) {
  return book->strings.read(book->archive, book->package.shared_strings_part,
                            book->package.main_namespace, book->package.binary);
}

bool open_workbook(int fd, Workbook* book) {
  return book->archive.open(fd) && read_package(book->archive, &book->package) &&
         read_strings(book);
}

bool scan(const Workbook& book, const SheetPart& sheet, RowSink* sink) {
  if (book.package.binary) {
    return scan_binary_sheet(book.archive, sheet.part, sheet.name, book.strings, sink);
  }
  return scan_sheet(book.archive, sheet.part, sheet.name, book.package.main_namespace, book.strings,
                    sink);
}

Ref area_tuple(uint64_t first_row, uint64_t first_column, uint64_t last_row, uint64_t last_column) {
  return steal(Py_BuildValue("(KKKK)", static_cast<unsigned long long>(first_row),
                             static_cast<unsigned long long>(first_column),
                             static_cast<unsigned long long>(last_row),
                             static_cast<unsigned long long>(last_column)));
}

bool parse_area(PyObject* object, Area* area) {
  if (object == Py_None) return true;
  unsigned long long first_row, first_column, last_row, last_column;
  if (!PyArg_ParseTuple(object, "KKKK", &first_row, &first_column, &last_row, &last_column)) {
    return false;
  }
  *area = Area{first_row, first_column, last_row, last_column};
  return true;
}

// The index of the worksheet that `choose(names)` picks.
bool chosen_sheet(PyObject* choose, const Package& package, size_t* index) {
  Ref names = steal(PyList_New(0));
  if (!names) return false;
  for (const SheetPart& sheet : package.worksheets) {
    Ref name = steal(PyUnicode_DecodeUTF8(sheet.name.data(),
                                          static_cast<Py_ssize_t>(sheet.name.size()), "strict"));
    if (!name || PyList_Append(names.get(), name.get()) < 0) return false;
  }
  Ref chosen = steal(PyObject_CallFunctionObjArgs(choose, names.get(), nullptr));
  if (!chosen) return false;
  Py_ssize_t value = PyNumber_AsSsize_t(chosen.get(), PyExc_IndexError);
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < 0 || static_cast<size_t>(value) >= package.worksheets.size()) {
    PyErr_SetString(PyExc_IndexError, "no such worksheet");
    return false;
  }
  *index = static_cast<size_t>(value);
  return true;
}

Ref cell_object(const Cell& cell, const std::map<size_t, std::string>& shared) {
  const std::string& text = cell.type == "s" ? shared.at(cell.shared_index) : cell.text;
  return steal(Py_BuildValue("(s#s#l)", cell.type.data(), static_cast<Py_ssize_t>(cell.type.size()),
                             text.data(), static_cast<Py_ssize_t>(text.size()), cell.style));
}

Ref rows_object(const RangeSink& sink, const Area& area,
                const std::map<size_t, std::string>& shared) {
  Ref rows = steal(PyList_New(0));
  if (!rows) return rows;
  for (const std::vector<Cell>& cells : sink.rows) {
    uint64_t width = cells.back().column - area.first_column + 1;
    Ref row = steal(PyList_New(static_cast<Py_ssize_t>(width)));
    if (!row) return row;
    auto cell = cells.begin();
    for (uint64_t position = 0; position < width; ++position) {
      Ref item = borrow(Py_None);
      if (cell != cells.end() && cell->column - area.first_column == position) {
        item = cell_object(*cell++, shared);
        if (!item) return item;
      }
      PyList_SET_ITEM(row.get(), static_cast<Py_ssize_t>(position), item.release());
    }
    if (PyList_Append(rows.get(), row.get()) < 0) return Ref();
  }
  return rows;
}

Ref formats_object(const NumberFormats& formats) {
  Ref ids = steal(PyTuple_New(static_cast<Py_ssize_t>(formats.style_format_ids.size())));
  if (!ids) return ids;
  for (size_t i = 0; i < formats.style_format_ids.size(); ++i) {
    PyObject* id = PyLong_FromLong(formats.style_format_ids[i]);
    if (!id) return Ref();
    PyTuple_SET_ITEM(ids.get(), static_cast<Py_ssize_t>(i), id);
  }
  Ref custom = steal(PyList_New(0));
  if (!custom) return custom;
  for (const auto& format : formats.custom) {
    Ref entry = steal(Py_BuildValue("(ls#)", format.first, format.second.data(),
                                    static_cast<Py_ssize_t>(format.second.size())));
    if (!entry || PyList_Append(custom.get(), entry.get()) < 0) return Ref();
  }
  return steal(PyTuple_Pack(2, ids.get(), custom.get()));
}

// (non-empty rows, first column, last column, first rows) of what `sink` saw.
Ref range_object(const Workbook& book, const RangeSink& sink, const Area& area) {
  std::map<size_t, std::string> shared;
  for (const auto& row : sink.rows) {
    for (const Cell& cell : row) {
      if (cell.type == "s") shared[cell.shared_index];
    }
  }
  if (!shared.empty() && !book.strings.texts(book.archive, &shared)) return Ref();
  Ref rows = rows_object(sink, area, shared);
  if (!rows) return rows;
  unsigned long long first_column = sink.filled_rows ? sink.first_column : 0;
  return steal(Py_BuildValue("(KKKO)", static_cast<unsigned long long>(sink.filled_rows),
                             first_column, static_cast<unsigned long long>(sink.last_column),
                             rows.get()));
}

// (date1904, number format id per cell format, custom formats) of the workbook.
Ref styles_object(const Workbook& book) {
  NumberFormats formats;
  if (!read_number_formats(book.archive, book.package, &formats)) return Ref();
  Ref value = formats_object(formats);
  if (!value) return value;
  return steal(Py_BuildValue("(OOO)", book.package.date1904 ? Py_True : Py_False,
                             PyTuple_GET_ITEM(value.get(), 0), PyTuple_GET_ITEM(value.get(), 1)));
}

// Each worksheet's used area, and the analysis of its whole sheet, from one pass.
PyObject* ranges_or_throw(PyObject* args) {
  int fd;
  Py_ssize_t sample_rows;
  if (!PyArg_ParseTuple(args, "in:ranges", &fd, &sample_rows)) return nullptr;
  if (sample_rows < 0) return PyErr_Format(PyExc_ValueError, "sample_rows is negative");
  Workbook book;
  if (!open_workbook(fd, &book)) return nullptr;
  Ref sheets = steal(PyList_New(0));
  if (!sheets) return nullptr;
  Area whole;
  for (const SheetPart& sheet : book.package.worksheets) {
    RangeSink sink(whole, static_cast<size_t>(sample_rows));
    if (!scan(book, sheet, &sink)) {
      return nullptr;
    }
    Ref area = sink.filled_rows
                   ? area_tuple(sink.first_row, sink.first_column, sink.last_row, sink.last_column)
                   : borrow(Py_None);
    Ref analysis = area ? range_object(book, sink, whole) : Ref();
    if (!analysis) return nullptr;
    Ref entry =
        steal(Py_BuildValue("(s#OO)", sheet.name.data(), static_cast<Py_ssize_t>(sheet.name.size()),
                            area.get(), analysis.get()));
    if (!entry || PyList_Append(sheets.get(), entry.get()) < 0) return nullptr;
  }
  Ref styles = styles_object(book);
  if (!styles) return nullptr;
  return PyTuple_Pack(2, sheets.get(), styles.get());
}

PyObject* analyse_or_throw(PyObject* args) {
  int fd;
  PyObject *choose, *area_object;
  Py_ssize_t sample_rows;
  if (!PyArg_ParseTuple(args, "iOOn:analyse", &fd, &choose, &area_object, &sample_rows)) {
    return nullptr;
  }
  Area area;
  if (!parse_area(area_object, &area)) return nullptr;
  if (sample_rows < 0) return PyErr_Format(PyExc_ValueError, "sample_rows is negative");
  Workbook book;
  size_t index;
  if (!book.archive.open(fd) || !read_package(book.archive, &book.package) ||
      !chosen_sheet(choose, book.package, &index) || !read_strings(&book)) {
    return nullptr;
  }
  const SheetPart& sheet = book.package.worksheets[index];
  RangeSink sink(area, static_cast<size_t>(sample_rows));
  if (!scan(book, sheet, &sink)) {
    return nullptr;
  }
  Ref analysis = range_object(book, sink, area);
  Ref styles = analysis ? styles_object(book) : Ref();
  if (!styles) return nullptr;
  return PyTuple_Pack(2, analysis.get(), styles.get());
}

// The containers of a scan allocate with operator new; running out of memory
// there becomes MemoryError rather than an exception crossing into CPython.
template <PyObject* (*Body)(PyObject*)>
PyObject* without_exceptions(PyObject*, PyObject* args) {
  try {
    return Body(args);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::length_error&) {
    return PyErr_NoMemory();
  }
}

PyMethodDef methods[] = {
    {"ranges", without_exceptions<ranges_or_throw>, METH_VARARGS,
     "ranges(fd, sample_rows): the used area and analysis of each worksheet."},
    {"analyse", without_exceptions<analyse_or_throw>, METH_VARARGS,
     "analyse(fd, choose, area, sample_rows): non-empty rows and first rows of one range."},
    {"xls_ranges", common::without_exceptions<xls::ranges>, METH_VARARGS,
     "xls_ranges(fd, sample_rows): the used area and analysis of each worksheet of an .xls."},
    {"xls_analyse", common::without_exceptions<xls::analyse>, METH_VARARGS,
     "xls_analyse(fd, choose, area, sample_rows): one range of an .xls workbook."},
    {"content_digest", common::without_exceptions<xls::content_digest>, METH_VARARGS,
     "content_digest(fd): a 64-bit digest of the whole file."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_sheetscan",
    "Native scanner of .xlsx workbooks (private).",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace sheetscan

EXTENSION_MODINIT PyInit__sheetscan() {
  using common::borrow;
  using common::Ref;
  using common::steal;
  Ref module = steal(PyModule_Create(&sheetscan::module_def));
  if (!module) return nullptr;
  if (!sheetscan::unreadable_error) {
    sheetscan::unreadable_error = PyErr_NewException(
        "veltrane.corvalest.datareader._sheetscan.Unreadable", PyExc_ValueError, nullptr);
    if (!sheetscan::unreadable_error) return nullptr;
  }
  Ref error = borrow(sheetscan::unreadable_error);
  if (PyModule_AddObject(module.get(), "Unreadable", error.get()) < 0) return nullptr;
  error.release();
  Ref rejected = steal(PyErr_NewException("veltrane.corvalest.datareader._sheetscan.Rejected",
                                          sheetscan::unreadable_error, nullptr));
  if (!rejected || PyModule_AddObject(module.get(), "Rejected", rejected.get()) < 0) {
    return nullptr;
  }
  rejected.release();
  return module.release();
}
