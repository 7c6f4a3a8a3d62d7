// The interpreter's csv reader, as a table of its record rules: the state it
// moves to on each kind of character, and what happens on the way (a
// character joins the field, a field is saved, a record ends). Written once,
// for both users: the byte scanner of the row count (byte_scanner.hpp) and the
// splitter of the sample's rows for the header vote (sample_split.hpp).
//
// The rules are those of the dialects the fast paths reproduce: one delimiter
// and one quote character, QUOTE_MINIMAL, no escape character, strict off,
// doublequote and skipinitialspace either way. The reader is given lines that
// each end in "\n" (the text file translates "\r\n" and "\r"), except perhaps
// the last, and after each line an end-of-line mark. The reader's state
// between a line end and that mark (EAT_CRNL) is folded into the line end: a
// line end outside quotes ends the record (a line without fields ends an
// empty one), and inside quotes it joins the field.
#pragma once

#include <cstdint>
#include <initializer_list>

namespace delimited {

// The reader's states.
enum class RecordState : uint8_t {
  kStartRecord,
  kStartField,
  kInField,
  kInQuotedField,
  kQuoteInQuotedField,  // a quote seen inside a quoted field, where quotes are doubled
};
constexpr int kRecordStates = 5;

// What a character is to the reader of the dialect.
enum class CharClass : uint8_t {
  kOrdinary,
  kSpace,  // " ": skipped at the start of a field with skipinitialspace, else ordinary
  kDelimiter,
  kQuote,
  kLineEnd,
};
constexpr int kCharClasses = 5;

// A step is the next state (the low bits) and what happens besides.
enum StepEffect : uint8_t {
  kStateBits = 7,
  kKeepsCharacter = 1 << 3,  // the character joins the field
  kSavesField = 1 << 4,      // the field ends
  kEndsRecord = 1 << 5,      // the record ends, with the fields saved
  kEndsEmptyLine = 1 << 6,   // a line without fields ends (the reader returns [] for it)
};

// The dialect the rules are written for.
struct RecordDialect {
  uint32_t delimiter;
  uint32_t quotechar;
  bool doublequote;
  bool skipinitialspace;
};

// Whether the rules below are the reader's for `dialect`: the delimiter and
// the quote differ, neither is a line end or NUL, and neither is a space that
// skipinitialspace would skip before comparing it.
inline bool rules_hold_for(const RecordDialect& dialect) {
  if (dialect.delimiter == dialect.quotechar) return false;
  for (uint32_t character : {dialect.delimiter, dialect.quotechar}) {
    if (character == 0 || character == '\n' || character == '\r') return false;
    if (dialect.skipinitialspace && character == ' ') return false;
  }
  return true;
}

class RecordRules {
 public:
  // The rules of a dialect: one of four tables, made at compile time.
  static const RecordRules& of(const RecordDialect& dialect);

  constexpr RecordRules(bool doublequote, bool skipinitialspace) : table_() {
    using S = RecordState;
    for (S state : kAllStates) {
      // Outside quotes a delimiter saves the field and a line end the record.
      set(state, CharClass::kOrdinary, S::kInField, kKeepsCharacter);
      set(state, CharClass::kSpace, S::kInField, kKeepsCharacter);
      set(state, CharClass::kDelimiter, S::kStartField, kSavesField);
      set(state, CharClass::kQuote, S::kInField, kKeepsCharacter);
      set(state, CharClass::kLineEnd, S::kStartRecord, kSavesField | kEndsRecord);
    }
    set(S::kStartRecord, CharClass::kLineEnd, S::kStartRecord, kEndsEmptyLine);
    for (S state : {S::kStartRecord, S::kStartField}) {
      set(state, CharClass::kQuote, S::kInQuotedField, 0);
      if (skipinitialspace) set(state, CharClass::kSpace, S::kStartField, 0);
    }
    // Inside quotes everything but the quote joins the field.
    for (CharClass character : kAllClasses)
      set(S::kInQuotedField, character, S::kInQuotedField, kKeepsCharacter);
    set(S::kInQuotedField, CharClass::kQuote, doublequote ? S::kQuoteInQuotedField : S::kInField,
        0);
    // "" inside quotes stands for one quote; after a closing quote other
    // characters are kept (strict is off).
    set(S::kQuoteInQuotedField, CharClass::kQuote, S::kInQuotedField, kKeepsCharacter);
  }

  constexpr uint8_t step(RecordState state, CharClass character) const {
    return table_[static_cast<int>(state)][static_cast<int>(character)];
  }

  static RecordState next_state(uint8_t step) {
    return static_cast<RecordState>(step & kStateBits);
  }

  // The end of the input: a record still open, a quoted field included, ends
  // with its field saved.
  static uint8_t at_end(RecordState state) {
    return state == RecordState::kStartRecord ? 0 : kSavesField | kEndsRecord;
  }

 private:
  static constexpr RecordState kAllStates[] = {RecordState::kStartRecord, RecordState::kStartField,
                                               RecordState::kInField, RecordState::kInQuotedField,
                                               RecordState::kQuoteInQuotedField};
  static constexpr CharClass kAllClasses[] = {CharClass::kOrdinary, CharClass::kSpace,
                                              CharClass::kDelimiter, CharClass::kQuote,
                                              CharClass::kLineEnd};

  constexpr void set(RecordState state, CharClass character, RecordState next, int effects) {
    table_[static_cast<int>(state)][static_cast<int>(character)] =
        static_cast<uint8_t>(static_cast<int>(next) | effects);
  }

  uint8_t table_[kRecordStates][kCharClasses];
};

inline const RecordRules& RecordRules::of(const RecordDialect& dialect) {
  static constexpr RecordRules kTables[2][2] = {{{false, false}, {false, true}},
                                                {{true, false}, {true, true}}};
  return kTables[dialect.doublequote][dialect.skipinitialspace];
}

}  // namespace delimited
