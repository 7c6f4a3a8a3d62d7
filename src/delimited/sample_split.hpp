// The rows csv.reader makes of a sample, split natively by the record rules
// (record_rules.hpp) for the header vote, where every supported version's
// reader splits the sample alike.
#pragma once

#include "base.hpp"  // Python.h first

#include <cstddef>
#include <cstdint>
#include <vector>

#include "number_prefilter.hpp"
#include "record_rules.hpp"
#include "sample_sniffer.hpp"

namespace delimited {

// Rows split from a sample. A cell is a stretch of the sample where its text
// is one (most cells), or of the table's own copies where it is not: a
// doubled quote taken as one, or text on both sides of a quote.
class SplitTable {
 public:
  // Room is made at once for `rows_expected` rows of a usual width.
  SplitTable(const CodePoints& sample, std::size_t rows_expected);

  void start_row() { row_starts_.push_back(cells_.size()); }
  // The sample's code points [from, to) join the cell being split.
  void add(std::size_t from, std::size_t to) {
    if (from == to) return;
    if (!open_.copied && (open_.size == 0 || open_.begin + open_.size == from)) {
      if (open_.size == 0) open_.begin = from;
      open_.size += to - from;
      return;
    }
    add_copied(from, to);
  }
  void end_cell() {
    cells_.push_back(open_);
    open_ = Cell{};
  }
  Py_ssize_t longest_in_last_row() const;

  std::size_t rows() const { return row_starts_.size(); }
  Py_ssize_t count(std::size_t row) const {
    std::size_t end = row + 1 < row_starts_.size() ? row_starts_[row + 1] : cells_.size();
    return static_cast<Py_ssize_t>(end - row_starts_[row]);
  }
  Py_ssize_t length(std::size_t row, Py_ssize_t col) const { return span(row, col).size; }
  bool may_convert(std::size_t row, Py_ssize_t col, PyObject* type) const {
    return may_convert_with(type, span(row, col));
  }
  // The cell as a new str; null with MemoryError set when it cannot be made.
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
  void add_copied(std::size_t from, std::size_t to);
  void copy_from_sample(std::size_t from, std::size_t to);
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
// break (StringIO ends each line after it), no NUL, and a dialect the record
// rules hold for. Each line is followed by the reader's end-of-line mark; a
// quoted field still open at the end of the sample is saved as the last
// field. A field longer than the field size limit, where the reader raises,
// is left to the reader.
class SampleSplit {
 public:
  // `text` is the sample as a str, `sample` its code points, `layout` what
  // sniff() found, `field_limit` the reader's field size limit now.
  SampleSplit(PyObject* text, const CodePoints& sample, const SniffedLayout& layout,
              int64_t field_limit);

  using Table = SplitTable;

  // Adds the next row to `table` and gives 1; 0 at the end of the sample;
  // -1 (no error set) where the reader must split the sample instead.
  int next(SplitTable& table);

 private:
  static constexpr Py_UCS4 kNoCharacter = 0xFFFFFFFF;  // beyond every code point

  // The characters that end a run of characters that keep a state, each
  // joining the field: those whose step in the state is another. A state
  // whose ordinary characters end runs has none. Up to four characters (the
  // delimiter, the quote, "\n" and " "), the places not taken holding
  // kNoCharacter.
  struct RunStops {
    bool runs = false;
    bool more_than_two = false;
    Py_UCS4 characters[4] = {kNoCharacter, kNoCharacter, kNoCharacter, kNoCharacter};
  };

  void split_record(SplitTable& cells);
  CharClass class_of(Py_UCS4 character) const;
  RunStops run_stops(RecordState state) const;

  // Where the run from `from` of characters that keep `state` ends.
  std::size_t run_end(RecordState state, std::size_t from) const {
    const RunStops& stops = run_stops_[static_cast<int>(state)];
    if (!stops.runs) return from;
    const Py_UCS4* text = sample_.data();
    const std::size_t length = sample_.size();
    const Py_UCS4 first = stops.characters[0], second = stops.characters[1];
    if (!stops.more_than_two) {
      while (from < length && text[from] != first && text[from] != second) ++from;
      return from;
    }
    const Py_UCS4 third = stops.characters[2], fourth = stops.characters[3];
    while (from < length && text[from] != first && text[from] != second && text[from] != third &&
           text[from] != fourth)
      ++from;
    return from;
  }

  const CodePoints& sample_;
  RecordDialect dialect_;
  const RecordRules& rules_;
  CharClass ascii_classes_[0x80];
  RunStops run_stops_[kRecordStates];
  int64_t field_limit_;
  bool usable_;
  std::size_t pos_ = 0;
};

}  // namespace delimited
