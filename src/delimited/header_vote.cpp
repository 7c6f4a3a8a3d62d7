#include "header_vote.hpp"

#include <cstddef>
#include <utility>
#include <vector>

#include "common/call.hpp"
#include "common/fast_path.hpp"
#include "number_prefilter.hpp"
#include "sample_split.hpp"

namespace delimited {

namespace {

// Rows the sniffer checks after the first (`if checked > 20: break`).
constexpr std::size_t kRowsChecked = 21;
// Rows it reads: the header, the rows checked, and one more before it stops.
constexpr std::size_t kRowsRead = 1 + kRowsChecked + 1;

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

// The rows to vote on come from the csv reader (ReaderRows) or from the
// split of sample_split.hpp (SampleSplit), and are kept in a table
// (ReaderTable, SplitTable): next(table) adds one row and gives 1, 0 at the
// end, -1 when the rows cannot be read (with an error set, or, for the
// split, none: the reader must be asked). A table tells its rows' cell
// counts, the cells' lengths and texts, and whether a number type may accept
// a cell.

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

// The number types has_header tries on a cell, in its order: all three, or
// complex alone (SnifferRules::header_tries_int_and_float).
PyObject* const kNumberTypes[] = {reinterpret_cast<PyObject*>(&PyLong_Type),
                                  reinterpret_cast<PyObject*>(&PyFloat_Type),
                                  reinterpret_cast<PyObject*>(&PyComplex_Type)};

// The table's rows as the sniffer uses them: the header (row 0) and the
// rows its loop checks after it.
template <typename Table>
class HeaderVote {
 public:
  HeaderVote(const Table& table, const SnifferRules& rules)
      : table_(table),
        columns_(table.count(0)),
        first_tried_(rules.header_tries_int_and_float ? 0 : 2) {
    data_rows_.reserve(kRowsChecked);
    for (std::size_t row = 1; row < table_.rows() && row <= kRowsChecked; ++row)
      if (table_.count(row) == columns_) data_rows_.push_back(row);
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
    return table_.may_convert(row, col, reinterpret_cast<PyObject*>(&PyComplex_Type));
  }

  // The type the sniffer finds for one cell; false with an error set when a
  // conversion raised what the sniffer does not catch.
  bool classify(std::size_t row, Py_ssize_t col, ColumnType& found) const {
    for (std::size_t i = first_tried_; i < 3; ++i) {
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
    found.size = table_.length(row, col);
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
        found.size = table_.length(row, col);
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
      votes += table_.length(0, col) != type.size ? 1 : -1;
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
      if (table_.length(row, col) != table_.length(0, col)) return false;
    return true;
  }

  // type(text): 1 when it converts, 0 when it raises one of the errors the
  // sniffer catches (`caught`, two of them), -1 otherwise (error set).
  int converts(PyObject* type, std::size_t row, Py_ssize_t col, PyObject* caught_a,
               PyObject* caught_b) const {
    if (!table_.may_convert(row, col, type)) return 0;
    Ref text = table_.text(row, col);
    Ref value = text ? call(type, {text.get()}) : Ref();
    if (value) return 1;
    if (!PyErr_ExceptionMatches(caught_a) && !PyErr_ExceptionMatches(caught_b)) return -1;
    PyErr_Clear();
    return 0;
  }

  const Table& table_;
  Py_ssize_t columns_;
  std::size_t first_tried_;  // in kNumberTypes
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

// 1 or 0 for the vote over `rows`; -1 on failure, perhaps with an error set.
template <typename Rows>
int vote_over(Rows& rows, typename Rows::Table& table, const SnifferRules& rules) {
  return read_rows(rows, table) ? HeaderVote<typename Rows::Table>(table, rules).result() : -1;
}

}  // namespace

int vote_header(PyObject* reader, PyObject* string_io, PyObject* sample, PyObject* dialect,
                const CodePoints& points, const SniffedLayout& layout, const SnifferRules& rules,
                int64_t field_limit) {
  SampleSplit split(sample, points, layout, field_limit);
  SplitTable split_table(points, kRowsRead);
  int vote = vote_over(split, split_table, rules);
  if (vote >= 0) return vote;
  // The rows the split left to the reader, or the cell a conversion failed on.
  if (give_up_fast_path() < 0) return -1;
  ReaderRows read(reader, string_io, sample, dialect);
  ReaderTable read_table;
  return vote_over(read, read_table, rules);
}

}  // namespace delimited
