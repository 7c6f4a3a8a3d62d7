#include "sample_split.hpp"

#include <algorithm>

namespace delimited {

namespace {

// Room for the cells of a row of a usual width.
constexpr std::size_t kUsualWidth = 8;

RecordDialect dialect_of(const SniffedLayout& layout) {
  return {layout.delimiter, layout.has_quotechar ? layout.quotechar : '"', layout.doublequote,
          layout.skipinitialspace};
}

// Whether the str holds "\r" or NUL (or cannot be searched).
bool holds_other_breaks(PyObject* text) {
  Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  return PyUnicode_FindChar(text, '\r', 0, length, 1) != -1 ||
         PyUnicode_FindChar(text, 0, 0, length, 1) != -1;
}

}  // namespace

SplitTable::SplitTable(const CodePoints& sample, std::size_t rows_expected) : sample_(sample) {
  cells_.reserve(rows_expected * kUsualWidth);
  row_starts_.reserve(rows_expected);
}

void SplitTable::add(std::size_t from, std::size_t to) {
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

Py_ssize_t SplitTable::longest_in_last_row() const {
  std::size_t longest = 0;
  for (std::size_t cell = row_starts_.back(); cell < cells_.size(); ++cell)
    longest = std::max(longest, cells_[cell].size);
  return static_cast<Py_ssize_t>(longest);
}

void SplitTable::copy_from_sample(std::size_t from, std::size_t to) {
  using Offset = CodePoints::difference_type;
  copies_.insert(copies_.end(), sample_.begin() + static_cast<Offset>(from),
                 sample_.begin() + static_cast<Offset>(to));
}

SampleSplit::SampleSplit(PyObject* text, const CodePoints& sample, const SniffedLayout& layout,
                         int64_t field_limit)
    : sample_(sample),
      dialect_(dialect_of(layout)),
      rules_(dialect_),
      field_limit_(field_limit),
      usable_(!holds_other_breaks(text) && rules_hold_for(dialect_)) {}

int SampleSplit::next(SplitTable& table) {
  if (!usable_) return -1;
  if (pos_ >= sample_.size()) return 0;
  table.start_row();
  split_record(table);
  return table.longest_in_last_row() > field_limit_ ? -1 : 1;
}

// One record from pos_: lines until the rules end it, or the sample ends.
void SampleSplit::split_record(SplitTable& cells) {
  RecordState state = RecordState::kStartRecord;
  for (;;) {
    if (pos_ == sample_.size()) {  // the end of the sample ends its last line and the input
      if (RecordRules::at_end(state) & kSavesField) cells.end_cell();
      return;
    }
    std::size_t at = pos_;
    uint8_t step = rules_.step(state, class_of(sample_[at]));
    RecordState next = RecordRules::next_state(step);
    pos_ = at + 1;
    if (step & kKeepsCharacter) {
      // The characters after it that keep the state join the field with it.
      if (next == state) pos_ = run_end(state, pos_);
      cells.add(at, pos_);
    }
    if (step & kSavesField) cells.end_cell();
    if (step & (kEndsRecord | kEndsEmptyLine)) return;  // the end-of-line mark follows
    state = next;
  }
}

CharClass SampleSplit::class_of(Py_UCS4 character) const {
  if (character == dialect_.delimiter) return CharClass::kDelimiter;
  if (character == dialect_.quotechar) return CharClass::kQuote;
  if (character == '\n') return CharClass::kLineEnd;
  if (character == ' ') return CharClass::kSpace;
  return CharClass::kOrdinary;
}

// Where the run from `from` of characters that leave `state` as it is, each
// joining the field, ends.
std::size_t SampleSplit::run_end(RecordState state, std::size_t from) const {
  const uint8_t stays = static_cast<uint8_t>(static_cast<int>(state) | kKeepsCharacter);
  while (from < sample_.size() && rules_.step(state, class_of(sample_[from])) == stays) ++from;
  return from;
}

}  // namespace delimited
