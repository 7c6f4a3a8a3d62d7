#include "header_vote.hpp"

#include <cstring>
#include <vector>

#include "ops.hpp"

namespace fileinspect {

namespace {

// Rows the sniffer checks after the first (`if checked > 20: break`).
constexpr int kRowsChecked = 21;

// What a column's cells are: unknown yet (None), a number type, or text of
// one length.
struct ColumnType {
  enum Kind { none, number, length } kind = none;
  PyObject* type = nullptr;  // for `number`
  Py_ssize_t size = 0;       // for `length`
  bool present = true;       // false once the sniffer deletes the column

  bool operator==(const ColumnType& other) const {
    if (kind != other.kind) return false;
    return kind == number ? type == other.type : kind == none || size == other.size;
  }
};

// Whether an ASCII character occurs in some spelling that int(), float() or
// complex() accepts: digits, signs, ".", "_", exponents, "j", parentheses,
// the letters of "inf", "infinity" and "nan", and (conservatively) every
// control character and the space.
bool in_number_spelling(Py_UCS4 c) {
  static const char kNumberCharacters[] = "0123456789+-._()eEjJiInNfFtTyYaA";
  if (c <= ' ') return true;
  return c < 0x80 && c != 0 && std::strchr(kNumberCharacters, static_cast<int>(c)) != nullptr;
}

}  // namespace

// False only when int(cell), float(cell) and complex(cell) all certainly
// raise ValueError, so that none of them needs to be called:
// - the cell holds an ASCII character that no accepted spelling contains; or
// - it holds no "j" and a sign that is neither leading (only white space or
//   "(" before it) nor an exponent's (right after "e"): without an imaginary
//   part a number has no other place for a sign.
// Anything else, non-ASCII text included, is converted by the types.
bool may_be_number(PyObject* cell) {
  Py_ssize_t length = PyUnicode_GET_LENGTH(cell);
  int kind = PyUnicode_KIND(cell);
  const void* data = PyUnicode_DATA(cell);
  bool imaginary = false, inner_sign = false, only_leading = true;
  Py_UCS4 previous = 0;
  for (Py_ssize_t i = 0; i < length; ++i) {
    Py_UCS4 c = PyUnicode_READ(kind, data, i);
    if (c >= 0x80) return true;
    if (!in_number_spelling(c)) return false;
    if (c == 'j' || c == 'J') imaginary = true;
    bool sign = c == '+' || c == '-';
    if (sign && !only_leading && previous != 'e' && previous != 'E') inner_sign = true;
    if (c > ' ' && c != '(') only_leading = false;
    previous = c;
  }
  return imaginary || !inner_sign;
}

// False only when int(cell) certainly raises ValueError: it holds an ASCII
// character other than digits, signs, "_" and white space, the only ones a
// base-10 integer is spelled with.
bool may_be_int(PyObject* cell) {
  Py_ssize_t length = PyUnicode_GET_LENGTH(cell);
  int kind = PyUnicode_KIND(cell);
  const void* data = PyUnicode_DATA(cell);
  for (Py_ssize_t i = 0; i < length; ++i) {
    Py_UCS4 c = PyUnicode_READ(kind, data, i);
    bool allowed =
        c <= ' ' || c >= 0x80 || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '_';
    if (!allowed) return false;
  }
  return true;
}

namespace {

// type(text): 1 when it converts, 0 when it raises one of the errors the
// sniffer catches (`caught`, two of them), -1 otherwise (error set).
int converts(PyObject* type, PyObject* text, PyObject* caught_a, PyObject* caught_b) {
  bool is_int = type == reinterpret_cast<PyObject*>(&PyLong_Type);
  if (!(is_int ? may_be_int(text) : may_be_number(text))) return 0;
  Ref value = call(type, {text});
  if (value) return 1;
  if (!PyErr_ExceptionMatches(caught_a) && !PyErr_ExceptionMatches(caught_b)) return -1;
  PyErr_Clear();
  return 0;
}

// The type the sniffer finds for one cell; false with an error set when a
// conversion raised what the sniffer does not catch.
bool classify(PyObject* cell, ColumnType& found) {
#if PY_VERSION_HEX >= 0x030A0000
  // 3.10 tries complex alone.
  PyObject* const tried[] = {reinterpret_cast<PyObject*>(&PyComplex_Type)};
#else
  PyObject* const tried[] = {reinterpret_cast<PyObject*>(&PyLong_Type),
                             reinterpret_cast<PyObject*>(&PyFloat_Type),
                             reinterpret_cast<PyObject*>(&PyComplex_Type)};
#endif
  for (PyObject* type : tried) {
    int ok = converts(type, cell, PyExc_ValueError, PyExc_OverflowError);
    if (ok < 0) return false;
    if (ok) {
      found.kind = ColumnType::number;
      found.type = type;
      return true;
    }
  }
  found.kind = ColumnType::length;
  found.size = PyUnicode_GET_LENGTH(cell);
  return true;
}

bool is_list_of_text(PyObject* row) {
  if (!PyList_CheckExact(row)) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(row); ++i)
    if (!PyUnicode_CheckExact(PyList_GET_ITEM(row, i))) return false;
  return true;
}

// The column types over the rows after the header, as the sniffer's loop
// builds them. Returns false with an error set on failure.
bool column_types(PyObject* rows, Py_ssize_t columns, std::vector<ColumnType>& types) {
  types.assign(static_cast<std::size_t>(columns), ColumnType{});
  int checked = 0;
  while (Ref row = steal(PyIter_Next(rows))) {
    if (checked >= kRowsChecked) return true;
    ++checked;
    if (!is_list_of_text(row.get())) return PyErr_SetNone(PyExc_TypeError), false;
    if (PyList_GET_SIZE(row.get()) != columns) continue;
    for (Py_ssize_t col = 0; col < columns; ++col) {
      ColumnType& current = types[static_cast<std::size_t>(col)];
      if (!current.present) continue;
      ColumnType found;
      if (!classify(PyList_GET_ITEM(row.get(), col), found)) return false;
      if (found == current) continue;
      if (current.kind == ColumnType::none)
        current = found;
      else
        current.present = false;
    }
  }
  return !PyErr_Occurred();
}

// The vote of the remaining columns on the first row; false with an error set.
bool vote(PyObject* header, const std::vector<ColumnType>& types, int& votes) {
  for (std::size_t col = 0; col < types.size(); ++col) {
    const ColumnType& type = types[col];
    if (!type.present) continue;
    PyObject* title = PyList_GET_ITEM(header, static_cast<Py_ssize_t>(col));
    if (type.kind == ColumnType::length) {
      votes += PyUnicode_GET_LENGTH(title) != type.size ? 1 : -1;
    } else if (type.kind == ColumnType::none) {
      votes += 1;  // None(title) raises TypeError, which counts for a header
    } else {
      int ok = converts(type.type, title, PyExc_ValueError, PyExc_TypeError);
      if (ok < 0) return false;
      votes += ok ? -1 : 1;
    }
  }
  return true;
}

}  // namespace

int vote_header(PyObject* reader, PyObject* string_io, PyObject* sample, PyObject* dialect) {
  Ref file = call(string_io, {sample});
  Ref rows = file ? call(reader, {file.get(), dialect}) : Ref();
  Ref header = rows ? steal(PyIter_Next(rows.get())) : Ref();
  std::vector<ColumnType> types;
  int votes = 0;
  bool done = header && is_list_of_text(header.get()) &&
              column_types(rows.get(), PyList_GET_SIZE(header.get()), types) &&
              vote(header.get(), types, votes);
  if (!done) {
    PyErr_Clear();
    return -1;
  }
  return votes > 0;
}

}  // namespace fileinspect
