#include "header_vote.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "ops.hpp"

namespace fileinspect {

namespace {

// Rows the sniffer checks after the first (`if checked > 20: break`).
constexpr std::size_t kRowsChecked = 21;
// Rows it reads: the header, the rows checked, and one more before it stops.
constexpr std::size_t kRowsRead = 1 + kRowsChecked + 1;
// Room for the cells of that many rows of a usual width, made at once.
constexpr std::size_t kCellsReserved = kRowsRead * 8;

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

// What an ASCII character can be in a spelling that int(), float() or
// complex() accepts (0: none). Spelled: digits, signs, ".", "_", exponents,
// "j", parentheses, the letters of "inf", "infinity" and "nan", and
// (conservatively) every control character and the space.
enum NumberPart : uint8_t {
  kSpelled = 1,
  kSign = 2,        // "+", "-"
  kImaginary = 4,   // "j", "J"
  kExponent = 8,    // "e", "E"
  kBeforeSign = 16  // may stand before a leading sign: white space, "("
};

class NumberSpelling {
 public:
  constexpr NumberSpelling() : table_() {
    for (int c = 0; c <= ' '; ++c) table_[c] = kSpelled | kBeforeSign;
    for (const char* p = "0123456789._)iInNfFtTyYaA"; *p; ++p) table_[*p & 0x7F] = kSpelled;
    table_['+'] = table_['-'] = kSpelled | kSign;
    table_['j'] = table_['J'] = kSpelled | kImaginary;
    table_['e'] = table_['E'] = kSpelled | kExponent;
    table_['('] = kSpelled | kBeforeSign;
  }
  constexpr uint8_t operator()(Py_UCS4 ascii) const { return table_[ascii]; }

 private:
  uint8_t table_[0x80];
};
constexpr NumberSpelling number_part;

// False only when int(cell), float(cell) and complex(cell) all certainly
// raise ValueError, so that none of them needs to be called:
// - the cell holds an ASCII character that no accepted spelling contains; or
// - it holds no "j" and a sign that is neither leading (only white space or
//   "(" before it) nor an exponent's (right after "e"): without an imaginary
//   part a number has no other place for a sign.
// Anything else, non-ASCII text included, is converted by the types.
template <typename Text>
bool may_be_number_in(const Text& cell) {
  unsigned seen = 0, previous = 0;
  bool leading = true, inner_sign = false;
  for (Py_ssize_t i = 0; i < cell.length(); ++i) {
    Py_UCS4 c = cell[i];
    if (c >= 0x80) return true;
    unsigned part = number_part(c);
    if (!part) return false;
    seen |= part;
    inner_sign |= (part & kSign) && !leading && !(previous & kExponent);
    leading &= (part & kBeforeSign) != 0;
    previous = part;
  }
  return (seen & kImaginary) || !inner_sign;
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

// Whether `type` may accept the cell: int has a prefilter of its own.
template <typename Text>
bool may_convert_with(PyObject* type, const Text& cell) {
  return type == reinterpret_cast<PyObject*>(&PyLong_Type) ? may_be_int_in(cell)
                                                           : may_be_number_in(cell);
}

}  // namespace

bool may_be_number(PyObject* cell) {
  return may_be_number_in(StrText(cell));
}

bool may_be_int(PyObject* cell) {
  return may_be_int_in(StrText(cell));
}

namespace {

// The rows to vote on come from the csv reader (ReaderRows) or from the
// split here (SplitRows), and are kept in a table (ReaderTable, SplitTable):
// next(table) adds one row and gives 1, 0 at the end, -1 when the rows
// cannot be read (with an error set, or, for the split, none: the reader
// must be asked). A table tells its rows' cell counts, the cells' lengths
// and texts, and whether a number type may accept a cell.

// Rows read by the csv reader: lists of str.
class ReaderTable {
 public:
  void add(Ref row) { rows_.push_back(std::move(row)); }
  std::size_t rows() const { return rows_.size(); }
  Py_ssize_t count(std::size_t row) const { return PyList_GET_SIZE(rows_[row].get()); }
  Py_ssize_t length(std::size_t row, Py_ssize_t col) const {
    return PyUnicode_GET_LENGTH(cell(row, col));
  }
  bool may_convert(std::size_t row, Py_ssize_t col, PyObject* type) const {
    return may_convert_with(type, StrText(cell(row, col)));
  }
  Ref text(std::size_t row, Py_ssize_t col) const { return borrow(cell(row, col)); }

 private:
  PyObject* cell(std::size_t row, Py_ssize_t col) const {
    return PyList_GET_ITEM(rows_[row].get(), col);
  }
  std::vector<Ref> rows_;
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
  using Table = ReaderTable;

  int next(ReaderTable& table) {
    if (!rows_) return -1;
    Ref list = steal(PyIter_Next(rows_.get()));
    if (!list) return PyErr_Occurred() ? -1 : 0;
    if (!is_list_of_text(list.get())) return PyErr_SetNone(PyExc_TypeError), -1;
    table.add(std::move(list));
    return 1;
  }

 private:
  Ref rows_;
};

// Rows split here. A cell is a stretch of the sample where its text is one
// (most cells), or of the table's own copies where it is not: a doubled
// quote taken as one, or text on both sides of a quote.
class SplitTable {
 public:
  explicit SplitTable(const CodePoints& sample) : sample_(sample) {
    cells_.reserve(kCellsReserved);
    row_starts_.reserve(kRowsRead);
  }
  void start_row() { row_starts_.push_back(cells_.size()); }
  // The sample's code points [from, to) join the cell being split.
  void add(std::size_t from, std::size_t to) {
    if (from == to) return;
    if (!open_.copied && (open_.size == 0 || open_.begin + open_.size == from)) {
      if (open_.size == 0) open_.begin = from;
      open_.size += to - from;
      return;
    }
    if (!open_.copied) {  // the cell so far moves into the copies
      std::size_t at = copies_.size();
      copy_from_sample(open_.begin, open_.begin + open_.size);
      open_.begin = at;
      open_.copied = true;
    }
    copy_from_sample(from, to);
    open_.size += to - from;
  }
  void end_cell() {
    cells_.push_back(open_);
    open_ = Cell{};
  }
  Py_ssize_t longest_in_last_row() const {
    std::size_t longest = 0;
    for (std::size_t cell = row_starts_.back(); cell < cells_.size(); ++cell)
      longest = std::max(longest, cells_[cell].size);
    return static_cast<Py_ssize_t>(longest);
  }

  std::size_t rows() const { return row_starts_.size(); }
  Py_ssize_t count(std::size_t row) const {
    std::size_t end = row + 1 < row_starts_.size() ? row_starts_[row + 1] : cells_.size();
    return static_cast<Py_ssize_t>(end - row_starts_[row]);
  }
  Py_ssize_t length(std::size_t row, Py_ssize_t col) const { return span(row, col).size; }
  bool may_convert(std::size_t row, Py_ssize_t col, PyObject* type) const {
    return may_convert_with(type, span(row, col));
  }
  Ref text(std::size_t row, Py_ssize_t col) const {
    PointText cell = span(row, col);
    return steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, cell.points, cell.size));
  }

 private:
  struct Cell {
    bool copied = false;    // in copies_, else in the sample
    std::size_t begin = 0;  // where it starts there
    std::size_t size = 0;
  };
  void copy_from_sample(std::size_t from, std::size_t to) {
    using Offset = CodePoints::difference_type;
    copies_.insert(copies_.end(), sample_.begin() + static_cast<Offset>(from),
                   sample_.begin() + static_cast<Offset>(to));
  }
  PointText span(std::size_t row, Py_ssize_t col) const {
    const Cell& cell = cells_[row_starts_[row] + static_cast<std::size_t>(col)];
    const Py_UCS4* base = cell.copied ? copies_.data() : sample_.data();
    return {base + cell.begin, static_cast<Py_ssize_t>(cell.size)};
  }

  const CodePoints& sample_;
  Cell open_;  // the cell being split
  std::vector<Cell> cells_;
  std::vector<std::size_t> row_starts_;  // each row's first cell
  CodePoints copies_;
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
  // `text` is the sample as a str, `sample` its code points.
  SplitRows(PyObject* text, const CodePoints& sample, const SniffedLayout& layout,
            int64_t field_limit)
      : s_(sample), layout_(layout), field_limit_(field_limit) {
    quote_ = layout.has_quotechar ? layout.quotechar : '"';
    usable_ = !holds_other_breaks(text) && !(layout.skipinitialspace && layout.delimiter == ' ') &&
              layout.delimiter != quote_;
  }

  using Table = SplitTable;

  int next(SplitTable& table) {
    if (!usable_) return -1;
    if (pos_ >= s_.size()) return 0;
    table.start_row();
    split_record(table);
    return table.longest_in_last_row() > field_limit_ ? -1 : 1;
  }

 private:
  // Whether the str holds "\r" or NUL (or cannot be searched).
  static bool holds_other_breaks(PyObject* text) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    return PyUnicode_FindChar(text, '\r', 0, length, 1) != -1 ||
           PyUnicode_FindChar(text, 0, 0, length, 1) != -1;
  }

  enum class State { start_record, start_field, in_field, in_quoted_field, quote_in_quoted_field };

  // One record from pos_: lines until the state is back at a record's start.
  void split_record(SplitTable& cells) {
    State state = State::start_record;
    for (;;) {
      if (pos_ == s_.size()) {  // the end of the sample ends its last line
        // (a quoted field still open is saved by the reader at the end)
        if (state != State::start_record) cells.end_cell();
        return;
      }
      if (state == State::in_field || state == State::in_quoted_field) {
        copy_run(state, cells);
        if (pos_ == s_.size()) continue;
      }
      std::size_t at = pos_++;
      if (s_[at] == '\n' && state != State::in_quoted_field) {
        if (state != State::start_record) cells.end_cell();
        return;  // the end-of-line mark follows: the record is complete
      }
      if (starts_plain_field(state, s_[at])) {
        pos_ = at;  // the run from here is the field's
        state = State::in_field;
        continue;
      }
      state = step(state, at, cells);
    }
  }

  // Whether `c` is the first character of a field without quotes.
  bool starts_plain_field(State state, Py_UCS4 c) const {
    return (state == State::start_record || state == State::start_field) && c != quote_ &&
           c != layout_.delimiter && !(c == ' ' && layout_.skipinitialspace);
  }

  // Copies the characters from pos_ that leave the state as it is: inside a
  // field, up to a delimiter or line end; inside quotes, up to a quote.
  void copy_run(State state, SplitTable& cells) {
    std::size_t end = pos_;
    if (state == State::in_field) {
      while (end < s_.size() && s_[end] != layout_.delimiter && s_[end] != '\n') ++end;
    } else {
      while (end < s_.size() && s_[end] != quote_) ++end;
    }
    cells.add(pos_, end);
    pos_ = end;
  }

  // The character at `at`, other than a line end outside quotes.
  State step(State state, std::size_t at, SplitTable& cells) const {
    Py_UCS4 c = s_[at];
    auto add = [&] { cells.add(at, at + 1); };
    switch (state) {
      case State::start_record:
      case State::start_field:
        if (c == quote_) return State::in_quoted_field;
        if (c == ' ' && layout_.skipinitialspace) return State::start_field;
        if (c == layout_.delimiter) return cells.end_cell(), State::start_field;
        return add(), State::in_field;
      case State::in_field:
        if (c == layout_.delimiter) return cells.end_cell(), State::start_field;
        return add(), State::in_field;
      case State::in_quoted_field:
        if (c != quote_) return add(), State::in_quoted_field;
        return layout_.doublequote ? State::quote_in_quoted_field : State::in_field;
      case State::quote_in_quoted_field:
        if (c == quote_) return add(), State::in_quoted_field;  // "" stands for one "
        if (c == layout_.delimiter) return cells.end_cell(), State::start_field;
        return add(), State::in_field;  // strict is off
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

// The number types has_header tries on a cell, in its order: from
// kFirstTriedType on (see compat.hpp).
PyObject* const kNumberTypes[] = {reinterpret_cast<PyObject*>(&PyLong_Type),
                                  reinterpret_cast<PyObject*>(&PyFloat_Type),
                                  reinterpret_cast<PyObject*>(&PyComplex_Type)};
constexpr std::size_t kFirstTriedType = kHasHeaderTriesIntAndFloat ? 0 : 2;

// The table's rows as the sniffer uses them: the header (row 0) and the
// rows its loop checks after it.
template <typename Table>
class HeaderVote {
 public:
  explicit HeaderVote(const Table& table) : t_(table), columns_(table.count(0)) {
    data_rows_.reserve(kRowsChecked);
    for (std::size_t row = 1; row < t_.rows() && row <= kRowsChecked; ++row)
      if (t_.count(row) == columns_) data_rows_.push_back(row);
  }

  // 1 or 0 for the vote, -1 with an error set. Columns whose type is found
  // without converting any cell are counted first; a column that needs
  // conversions is worked out only while the columns left could still turn
  // the vote. The types are pure functions of the text, so the conversions
  // left out could not have changed the answer.
  int result() {
    struct Pending {
      Py_ssize_t col;
      bool may_vote_against;
    };
    int votes = 0;
    std::vector<Pending> pending;
    pending.reserve(static_cast<std::size_t>(columns_));
    int against_left = 0;  // pending columns that may vote -1
    for (Py_ssize_t col = 0; col < columns_; ++col) {
      ColumnType type;
      if (!column_type(col, true, type)) {
        pending.push_back({col, may_vote_against(col)});
        against_left += pending.back().may_vote_against;
      } else if (!count_vote(col, type, votes)) {
        return -1;
      }
    }
    for (std::size_t i = 0; i < pending.size(); ++i) {
      // Each column left adds -1, 0 (deleted) or +1; -1 only where it may.
      int left = static_cast<int>(pending.size() - i);
      if (votes - against_left > 0) return 1;
      if (votes + left <= 0) return 0;
      ColumnType type;
      if (!column_type(pending[i].col, false, type) || !count_vote(pending[i].col, type, votes))
        return -1;
      against_left -= pending[i].may_vote_against;
    }
    return votes > 0;
  }

 private:
  // Whether any tried type may accept the cell. Every version tries complex,
  // whose prefilter admits whatever those of int and float admit.
  bool may_be_converted(std::size_t row, Py_ssize_t col) const {
    return t_.may_convert(row, col, reinterpret_cast<PyObject*>(&PyComplex_Type));
  }

  // The type the sniffer finds for one cell; false with an error set when a
  // conversion raised what the sniffer does not catch.
  bool classify(std::size_t row, Py_ssize_t col, ColumnType& found) const {
    for (std::size_t i = kFirstTriedType; i < 3; ++i) {
      PyObject* type = kNumberTypes[i];
      int ok = converts(type, row, col, PyExc_ValueError, PyExc_OverflowError);
      if (ok < 0) return false;
      if (ok) {
        found.kind = ColumnType::number;
        found.type = type;
        return true;
      }
    }
    found.kind = ColumnType::length;
    found.size = t_.length(row, col);
    return true;
  }

  // The column's type at the end of the sniffer's loop (absent once it is
  // deleted). With `without_converting`, gives false at the first cell that
  // a type would have to convert; otherwise false means an error is set.
  bool column_type(Py_ssize_t col, bool without_converting, ColumnType& current) const {
    for (std::size_t row : data_rows_) {
      ColumnType found;
      if (!may_be_converted(row, col)) {
        found.kind = ColumnType::length;  // as classify() finds, without trying the types
        found.size = t_.length(row, col);
      } else if (without_converting || !classify(row, col, found)) {
        return false;
      }
      if (found == current) continue;
      if (current.kind != ColumnType::none) {
        current.present = false;
        return true;
      }
      current = found;
    }
    return true;
  }

  // The column's vote on the header cell; false with an error set.
  bool count_vote(Py_ssize_t col, const ColumnType& type, int& votes) const {
    if (!type.present) return true;
    if (type.kind == ColumnType::length) {
      votes += t_.length(0, col) != type.size ? 1 : -1;
    } else if (type.kind == ColumnType::none) {
      votes += 1;  // None(title) raises TypeError, which counts for a header
    } else {
      int ok = converts(type.type, 0, col, PyExc_ValueError, PyExc_TypeError);
      if (ok < 0) return false;
      votes += ok ? -1 : 1;
    }
    return true;
  }

  // Whether the column may vote against a header: the header cell may be a
  // number, or the column may keep one length, the header cell's.
  bool may_vote_against(Py_ssize_t col) const {
    if (may_be_converted(0, col)) return true;
    for (std::size_t row : data_rows_)
      if (t_.length(row, col) != t_.length(0, col)) return false;
    return true;
  }

  // type(text): 1 when it converts, 0 when it raises one of the errors the
  // sniffer catches (`caught`, two of them), -1 otherwise (error set).
  int converts(PyObject* type, std::size_t row, Py_ssize_t col, PyObject* caught_a,
               PyObject* caught_b) const {
    if (!t_.may_convert(row, col, type)) return 0;
    Ref text = t_.text(row, col);
    Ref value = text ? call(type, {text.get()}) : Ref();
    if (value) return 1;
    if (!PyErr_ExceptionMatches(caught_a) && !PyErr_ExceptionMatches(caught_b)) return -1;
    PyErr_Clear();
    return 0;
  }

  const Table& t_;
  Py_ssize_t columns_;
  std::vector<std::size_t> data_rows_;
};

// Reads the header and the rows the sniffer's loop reads after it: it reads
// one more than it checks before it stops. False on failure (see next()).
template <typename Rows>
bool read_rows(Rows& rows, typename Rows::Table& table) {
  int got = 1;
  for (std::size_t read = 0; got > 0 && read < kRowsRead; ++read) got = rows.next(table);
  return got >= 0 && table.rows() > 0;
}

// 1 or 0 for the vote over `rows`, -1 on failure (error cleared).
template <typename Rows>
int vote_over(Rows& rows, typename Rows::Table& table) {
  int vote = read_rows(rows, table) ? HeaderVote<typename Rows::Table>(table).result() : -1;
  if (vote < 0) PyErr_Clear();
  return vote;
}

}  // namespace

int vote_header(PyObject* reader, PyObject* string_io, PyObject* sample, PyObject* dialect,
                const CodePoints& points, const SniffedLayout& layout, int64_t field_limit) {
  SplitRows split(sample, points, layout, field_limit);
  SplitTable split_table(points);
  int vote = vote_over(split, split_table);
  if (vote >= 0) return vote;
  ReaderRows read(reader, string_io, sample, dialect);
  ReaderTable read_table;
  return vote_over(read, read_table);
}

Ref split_sample_rows(PyObject* sample, const CodePoints& points, const SniffedLayout& layout,
                      int64_t field_limit) {
  SplitRows split(sample, points, layout, field_limit);
  SplitTable table(points);
  int got;
  while ((got = split.next(table)) > 0) {
  }
  if (got < 0) return Ref();
  Ref rows = steal(PyList_New(static_cast<Py_ssize_t>(table.rows())));
  for (std::size_t row = 0; rows && row < table.rows(); ++row) {
    Ref cells = steal(PyList_New(table.count(row)));
    if (!cells) return cells;
    for (Py_ssize_t col = 0; col < table.count(row); ++col) {
      Ref text = table.text(row, col);
      if (!text) return text;
      PyList_SET_ITEM(cells.get(), col, text.release());
    }
    PyList_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(row), cells.release());
  }
  return rows;
}

}  // namespace fileinspect
