#include "sample_split.hpp"

#include <algorithm>
#include <iterator>

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

// The cell is not one stretch of the sample: it is made of copies.
void SplitTable::add_copied(std::size_t from, std::size_t to) {
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
      rules_(RecordRules::of(dialect_)),
      field_limit_(field_limit),
      usable_(!holds_other_breaks(text) && rules_hold_for(dialect_)) {
  // The classes of ASCII characters, the dialect's first where they are one.
  std::fill(std::begin(ascii_classes_), std::end(ascii_classes_), CharClass::kOrdinary);
  ascii_classes_[static_cast<unsigned char>(' ')] = CharClass::kSpace;
  ascii_classes_[static_cast<unsigned char>('\n')] = CharClass::kLineEnd;
  if (dialect_.quotechar < 0x80) ascii_classes_[dialect_.quotechar] = CharClass::kQuote;
  if (dialect_.delimiter < 0x80) ascii_classes_[dialect_.delimiter] = CharClass::kDelimiter;
  for (int state = 0; state < kRecordStates; ++state)
    run_stops_[state] = run_stops(static_cast<RecordState>(state));
}

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
    std::size_t at = pos_++;
    uint8_t step = rules_.step(state, class_of(sample_[at]));
    state = RecordRules::next_state(step);
    if (step & kKeepsCharacter) {
      // It joins the field, and so do the characters after it that keep the
      // state as it is now.
      pos_ = run_end(state, pos_);
      cells.add(at, pos_);
    }
    if (step & kSavesField) cells.end_cell();
    if (step & (kEndsRecord | kEndsEmptyLine)) return;  // the end-of-line mark follows
  }
}

CharClass SampleSplit::class_of(Py_UCS4 character) const {
  if (character < 0x80) return ascii_classes_[character];
  if (character == dialect_.delimiter) return CharClass::kDelimiter;
  if (character == dialect_.quotechar) return CharClass::kQuote;
  return CharClass::kOrdinary;
}

SampleSplit::RunStops SampleSplit::run_stops(RecordState state) const {
  RunStops stops;
  const uint8_t stays = static_cast<uint8_t>(static_cast<int>(state) | kKeepsCharacter);
  stops.runs = rules_.step(state, CharClass::kOrdinary) == stays;
  int count = 0;
  for (Py_UCS4 character : {dialect_.delimiter, dialect_.quotechar, Py_UCS4{'\n'}, Py_UCS4{' '}})
    if (rules_.step(state, class_of(character)) != stays) stops.characters[count++] = character;
  stops.more_than_two = count > 2;
  return stops;
}

}  // namespace delimited
