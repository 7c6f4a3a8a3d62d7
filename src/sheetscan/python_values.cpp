#include "sheetscan/python_values.hpp"

#include <cstring>

namespace sheetscan {

using common::borrow;
using common::Ref;
using common::steal;

namespace {

// (type, text, style id); the type as the "t" attribute writes it.
Ref cell_object(const Cell& cell, const SharedTexts& shared) {
  const std::string& text =
      cell.type == CellType::kSharedString ? shared.at(cell.shared_index) : cell.text;
  const char* type =
      cell.type == CellType::kOther ? cell.other_type.c_str() : cell_type_name(cell.type);
  size_t type_length = cell.type == CellType::kOther ? cell.other_type.size() : std::strlen(type);
  return steal(Py_BuildValue("(s#s#l)", type, static_cast<Py_ssize_t>(type_length), text.data(),
                             static_cast<Py_ssize_t>(text.size()), cell.style));
}

// One list per first row, from the area's first column to the row's last cell,
// None where a cell is empty.
Ref rows_object(const AreaScan& scan, const SharedTexts& shared) {
  uint64_t first_column = scan.area().first_column;
  Ref rows = steal(PyList_New(0));
  if (!rows) return rows;
  for (const std::vector<Cell>& cells : scan.rows) {
    uint64_t width = cells.back().column - first_column + 1;
    Ref row = steal(PyList_New(static_cast<Py_ssize_t>(width)));
    if (!row) return row;
    auto cell = cells.begin();
    for (uint64_t position = 0; position < width; ++position) {
      Ref item = borrow(Py_None);
      if (cell != cells.end() && cell->column - first_column == position) {
        item = cell_object(*cell++, shared);
        if (!item) return item;
      }
      PyList_SET_ITEM(row.get(), static_cast<Py_ssize_t>(position), item.release());
    }
    if (PyList_Append(rows.get(), row.get()) < 0) return Ref();
  }
  return rows;
}

Ref format_ids_object(const NumberFormats& formats) {
  Ref ids = steal(PyTuple_New(static_cast<Py_ssize_t>(formats.style_format_ids.size())));
  if (!ids) return ids;
  for (size_t i = 0; i < formats.style_format_ids.size(); ++i) {
    PyObject* id = PyLong_FromLong(formats.style_format_ids[i]);
    if (!id) return Ref();
    PyTuple_SET_ITEM(ids.get(), static_cast<Py_ssize_t>(i), id);
  }
  return ids;
}

Ref custom_formats_object(const NumberFormats& formats) {
  Ref custom = steal(PyList_New(0));
  if (!custom) return custom;
  for (const auto& format : formats.custom) {
    Ref entry = steal(Py_BuildValue("(ls#)", format.first, format.second.data(),
                                    static_cast<Py_ssize_t>(format.second.size())));
    if (!entry || PyList_Append(custom.get(), entry.get()) < 0) return Ref();
  }
  return custom;
}

}  // namespace

Ref used_area_object(const AreaScan& scan) {
  return steal(Py_BuildValue("(KKKK)", static_cast<unsigned long long>(scan.first_row),
                             static_cast<unsigned long long>(scan.first_column),
                             static_cast<unsigned long long>(scan.last_row),
                             static_cast<unsigned long long>(scan.last_column)));
}

Ref analysis_object(const AreaScan& scan, const SharedTexts& shared) {
  Ref rows = rows_object(scan, shared);
  if (!rows) return rows;
  unsigned long long first_column = scan.filled_rows ? scan.first_column : 0;
  return steal(Py_BuildValue("(KKKO)", static_cast<unsigned long long>(scan.filled_rows),
                             first_column, static_cast<unsigned long long>(scan.last_column),
                             rows.get()));
}

Ref styles_object(bool date1904, const NumberFormats& formats) {
  Ref ids = format_ids_object(formats);
  Ref custom = ids ? custom_formats_object(formats) : Ref();
  if (!custom) return custom;
  return steal(Py_BuildValue("(OOO)", date1904 ? Py_True : Py_False, ids.get(), custom.get()));
}

Ref text_object(const std::string& text) {
  return steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
}

}  // namespace sheetscan
