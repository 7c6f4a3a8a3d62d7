#include "header_vote.hpp"

#include <algorithm>
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
class NumberSpelling {
 public:
  constexpr NumberSpelling() : table_() {
    for (int c = 0; c <= ' '; ++c) table_[c] = true;
    for (const char* p = "0123456789+-._()eEjJiInNfFtTyYaA"; *p; ++p) table_[*p & 0x7F] = true;
  }
  constexpr bool operator()(Py_UCS4 c) const { return c < 0x80 && table_[c]; }

 private:
  bool table_[0x80];
};
constexpr NumberSpelling in_number_spelling;

// False only when int(cell), float(cell) and complex(cell) all certainly
// raise ValueError, so that none of them needs to be called:
// - the cell holds an ASCII character that no accepted spelling contains; or
// - it holds no "j" and a sign that is neither leading (only white space or
//   "(" before it) nor an exponent's (right after "e"): without an imaginary
//   part a number has no other place for a sign.
// Anything else, non-ASCII text included, is converted by the types.
template <typename Text>
bool may_be_number_in(const Text& cell) {
  bool imaginary = false, inner_sign = false, only_leading = true;
  Py_UCS4 previous = 0;
  for (Py_ssize_t i = 0; i < cell.length(); ++i) {
    Py_UCS4 c = cell[i];
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

// False only when int(cell) certainly raises ValueError: an ASCII cell
// holding a character other than digits, signs, "_" and white space (the
// only ones a base-10 integer is spelled with), or a sign after anything but
// white space (an integer has one sign, before its digits).
template <typename Text>
bool may_be_int_in(const Text& cell) {
  bool only_leading = true;
  for (Py_ssize_t i = 0; i < cell.length(); ++i) {
    Py_UCS4 c = cell[i];
    if (c >= 0x80) return true;  // perhaps a digit or white space of another script
    if (c <= ' ') continue;      // perhaps white space
    bool sign = c == '+' || c == '-';
    if (sign && !only_leading) return false;
    if (!sign && !(c >= '0' && c <= '9') && c != '_') return false;
    only_leading = false;
  }
  return true;
}

// The code points of a str, for the prefilters.
class StrText {
 public:
  explicit StrText(PyObject* text)
      : length_(PyUnicode_GET_LENGTH(text)),
        kind_(PyUnicode_KIND(text)),
        data_(PyUnicode_DATA(text)) {}
  Py_ssize_t length() const { return length_; }
  Py_UCS4 operator[](Py_ssize_t i) const { return PyUnicode_READ(kind_, data_, i); }

 private:
  Py_ssize_t length_;
  int kind_;
  const void* data_;
};

// A stretch of code points, for the prefilters.
struct PointText {
  const Py_UCS4* points;
  Py_ssize_t size;
  Py_ssize_t length() const { return size; }
  Py_UCS4 operator[](Py_ssize_t i) const { return points[i]; }
};

}  // namespace

bool may_be_number(PyObject* cell) {
  return may_be_number_in(StrText(cell));
}

bool may_be_int(PyObject* cell) {
  return may_be_int_in(StrText(cell));
}

namespace {

// The rows to vote on come from the csv reader (ReaderRows) or from the
// split here (SplitRows). Each fills its kind of row (ListCells, SplitCells):
// next(row) gives 1 with `row` filled, 0 at the end, -1 when the rows cannot
// be read (with an error set, or, for the split, none: the reader must be
// asked). A row tells its cells' count, lengths and texts, and whether a
// number type may accept a cell.

// A row read by the csv reader: a list of str.
class ListCells {
 public:
  void reset(Ref row) { row_ = std::move(row); }
  Py_ssize_t count() const { return PyList_GET_SIZE(row_.get()); }
  Py_ssize_t length(Py_ssize_t col) const { return PyUnicode_GET_LENGTH(cell(col)); }
  bool may_convert(Py_ssize_t col, PyObject* type) const {
    return type == reinterpret_cast<PyObject*>(&PyLong_Type) ? may_be_int(cell(col))
                                                             : may_be_number(cell(col));
  }
  Ref text(Py_ssize_t col) const { return borrow(cell(col)); }

 private:
  PyObject* cell(Py_ssize_t col) const { return PyList_GET_ITEM(row_.get(), col); }
  Ref row_;
};

bool is_list_of_text(PyObject* row) {
  if (!PyList_CheckExact(row)) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(row); ++i)
    if (!PyUnicode_CheckExact(PyList_GET_ITEM(row, i))) return false;
  return true;
}

// csv.reader(StringIO(sample), dialect), as the sniffer reads the sample.
class ReaderRows {
 public:
  ReaderRows(PyObject* reader, PyObject* string_io, PyObject* sample, PyObject* dialect) {
    Ref file = call(string_io, {sample});
    rows_ = file ? call(reader, {file.get(), dialect}) : Ref();
  }
  using Row = ListCells;

  int next(ListCells& row) {
    if (!rows_) return -1;
    Ref list = steal(PyIter_Next(rows_.get()));
    if (!list) return PyErr_Occurred() ? -1 : 0;
    if (!is_list_of_text(list.get())) return PyErr_SetNone(PyExc_TypeError), -1;
    row.reset(std::move(list));
    return 1;
  }

 private:
  Ref rows_;
};

// A row split here: the cells' code points one after another.
class SplitCells {
 public:
  void clear() {
    points_.clear();
    ends_.clear();
  }
  void add(Py_UCS4 c) { points_.push_back(c); }
  void end_cell() { ends_.push_back(points_.size()); }
  Py_ssize_t longest() const {
    std::size_t longest = 0;
    for (std::size_t col = 0; col < ends_.size(); ++col)
      longest = std::max(longest, ends_[col] - begin(col));
    return static_cast<Py_ssize_t>(longest);
  }

  Py_ssize_t count() const { return static_cast<Py_ssize_t>(ends_.size()); }
  Py_ssize_t length(Py_ssize_t col) const { return span(col).size; }
  bool may_convert(Py_ssize_t col, PyObject* type) const {
    return type == reinterpret_cast<PyObject*>(&PyLong_Type) ? may_be_int_in(span(col))
                                                             : may_be_number_in(span(col));
  }
  Ref text(Py_ssize_t col) const {
    PointText cell = span(col);
    return steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, cell.points, cell.size));
  }

 private:
  std::size_t begin(std::size_t col) const { return col ? ends_[col - 1] : 0; }
  PointText span(Py_ssize_t col) const {
    std::size_t first = begin(static_cast<std::size_t>(col));
    return {points_.data() + first,
            static_cast<Py_ssize_t>(ends_[static_cast<std::size_t>(col)] - first)};
  }
  std::vector<Py_UCS4> points_;
  std::vector<std::size_t> ends_;
};

// The reader's rows for the dialect sniff() made, split here for samples on
// which every supported version's reader splits alike: "\n" the only line
// break (StringIO ends each line after it), no NUL, and neither a delimiter
// that skipinitialspace would also skip nor one equal to the quote. Each
// line is followed by the reader's end-of-line mark; a quoted field still
// open at the end of the sample is saved as the last field. A field longer
// than the field size limit, where the reader raises, is left to the reader.
class SplitRows {
 public:
  SplitRows(const CodePoints& sample, const SniffedLayout& layout, int64_t field_limit)
      : s_(sample), layout_(layout), field_limit_(field_limit) {
    quote_ = layout.has_quotechar ? layout.quotechar : '"';
    usable_ = !(layout.skipinitialspace && layout.delimiter == ' ') && layout.delimiter != quote_;
    for (Py_UCS4 c : sample)
      if (c == '\r' || c == 0) usable_ = false;
  }

  using Row = SplitCells;

  int next(SplitCells& row) {
    if (!usable_) return -1;
    if (pos_ >= s_.size()) return 0;
    row.clear();
    split_record(row);
    return row.longest() > field_limit_ ? -1 : 1;
  }

 private:
  enum class State { start_record, start_field, in_field, in_quoted_field, quote_in_quoted_field };

  // One record from pos_: lines until the state is back at a record's start.
  void split_record(SplitCells& cells) {
    State state = State::start_record;
    for (;;) {
      if (pos_ == s_.size()) {  // the end of the sample ends its last line
        // (a quoted field still open is saved by the reader at the end)
        if (state != State::start_record) cells.end_cell();
        return;
      }
      Py_UCS4 c = s_[pos_++];
      if (c == '\n' && state != State::in_quoted_field) {
        if (state != State::start_record) cells.end_cell();
        return;  // the end-of-line mark follows: the record is complete
      }
      state = step(state, c, cells);
    }
  }

  // A character other than a line end outside quotes.
  State step(State state, Py_UCS4 c, SplitCells& cells) const {
    switch (state) {
      case State::start_record:
      case State::start_field:
        if (c == quote_) return State::in_quoted_field;
        if (c == ' ' && layout_.skipinitialspace) return State::start_field;
        if (c == layout_.delimiter) return cells.end_cell(), State::start_field;
        return cells.add(c), State::in_field;
      case State::in_field:
        if (c == layout_.delimiter) return cells.end_cell(), State::start_field;
        return cells.add(c), State::in_field;
      case State::in_quoted_field:
        if (c != quote_) return cells.add(c), State::in_quoted_field;
        return layout_.doublequote ? State::quote_in_quoted_field : State::in_field;
      case State::quote_in_quoted_field:
        if (c == quote_) return cells.add(c), State::in_quoted_field;  // "" stands for one "
        if (c == layout_.delimiter) return cells.end_cell(), State::start_field;
        return cells.add(c), State::in_field;  // strict is off
    }
    return state;
  }

  const CodePoints& s_;
  const SniffedLayout& layout_;
  int64_t field_limit_;
  Py_UCS4 quote_;
  bool usable_;
  std::size_t pos_ = 0;
};

// type(text): 1 when it converts, 0 when it raises one of the errors the
// sniffer catches (`caught`, two of them), -1 otherwise (error set).
template <typename Row>
int converts(PyObject* type, const Row& row, Py_ssize_t col, PyObject* caught_a,
             PyObject* caught_b) {
  if (!row.may_convert(col, type)) return 0;
  Ref text = row.text(col);
  Ref value = text ? call(type, {text.get()}) : Ref();
  if (value) return 1;
  if (!PyErr_ExceptionMatches(caught_a) && !PyErr_ExceptionMatches(caught_b)) return -1;
  PyErr_Clear();
  return 0;
}

// The type the sniffer finds for one cell; false with an error set when a
// conversion raised what the sniffer does not catch.
template <typename Row>
bool classify(const Row& row, Py_ssize_t col, ColumnType& found) {
#if PY_VERSION_HEX >= 0x030A0000
  // 3.10 tries complex alone.
  PyObject* const tried[] = {reinterpret_cast<PyObject*>(&PyComplex_Type)};
#else
  PyObject* const tried[] = {reinterpret_cast<PyObject*>(&PyLong_Type),
                             reinterpret_cast<PyObject*>(&PyFloat_Type),
                             reinterpret_cast<PyObject*>(&PyComplex_Type)};
#endif
  for (PyObject* type : tried) {
    int ok = converts(type, row, col, PyExc_ValueError, PyExc_OverflowError);
    if (ok < 0) return false;
    if (ok) {
      found.kind = ColumnType::number;
      found.type = type;
      return true;
    }
  }
  found.kind = ColumnType::length;
  found.size = row.length(col);
  return true;
}

// The column types over the rows after the header, as the sniffer's loop
// builds them. Returns false on failure (see Rows::next).
template <typename Rows>
bool column_types(Rows& rows, Py_ssize_t columns, std::vector<ColumnType>& types) {
  types.assign(static_cast<std::size_t>(columns), ColumnType{});
  int checked = 0;
  typename Rows::Row row;
  int got;
  while ((got = rows.next(row)) > 0) {
    if (checked >= kRowsChecked) return true;
    ++checked;
    if (row.count() != columns) continue;
    for (Py_ssize_t col = 0; col < columns; ++col) {
      ColumnType& current = types[static_cast<std::size_t>(col)];
      if (!current.present) continue;
      ColumnType found;
      if (!classify(row, col, found)) return false;
      if (found == current) continue;
      if (current.kind == ColumnType::none)
        current = found;
      else
        current.present = false;
    }
  }
  return got == 0;
}

// The vote of the remaining columns on the first row; false with an error set.
template <typename Row>
bool vote(const Row& header, const std::vector<ColumnType>& types, int& votes) {
  for (std::size_t col = 0; col < types.size(); ++col) {
    const ColumnType& type = types[col];
    if (!type.present) continue;
    Py_ssize_t at = static_cast<Py_ssize_t>(col);
    if (type.kind == ColumnType::length) {
      votes += header.length(at) != type.size ? 1 : -1;
    } else if (type.kind == ColumnType::none) {
      votes += 1;  // None(title) raises TypeError, which counts for a header
    } else {
      int ok = converts(type.type, header, at, PyExc_ValueError, PyExc_TypeError);
      if (ok < 0) return false;
      votes += ok ? -1 : 1;
    }
  }
  return true;
}

// 1 or 0 for the vote over `rows`, -1 on failure (error cleared).
template <typename Rows>
int vote_over(Rows& rows) {
  typename Rows::Row header;
  std::vector<ColumnType> types;
  int votes = 0;
  bool done = rows.next(header) > 0 && column_types(rows, header.count(), types) &&
              vote(header, types, votes);
  if (!done) {
    PyErr_Clear();
    return -1;
  }
  return votes > 0;
}

}  // namespace

int vote_header(PyObject* reader, PyObject* string_io, PyObject* sample, PyObject* dialect,
                const CodePoints& points, const SniffedLayout& layout, int64_t field_limit) {
  SplitRows split(points, layout, field_limit);
  int vote = vote_over(split);
  if (vote >= 0) return vote;
  ReaderRows read(reader, string_io, sample, dialect);
  return vote_over(read);
}

Ref split_sample_rows(const CodePoints& points, const SniffedLayout& layout, int64_t field_limit) {
  SplitRows split(points, layout, field_limit);
  Ref rows = steal(PyList_New(0));
  SplitCells row;
  int got;
  while (rows && (got = split.next(row)) > 0) {
    Ref cells = steal(PyList_New(row.count()));
    if (!cells) return cells;
    for (Py_ssize_t col = 0; col < row.count(); ++col) {
      Ref text = row.text(col);
      if (!text) return text;
      PyList_SET_ITEM(cells.get(), col, text.release());
    }
    if (PyList_Append(rows.get(), cells.get()) < 0) return Ref();
  }
  return rows && got == 0 ? std::move(rows) : Ref();
}

}  // namespace fileinspect
