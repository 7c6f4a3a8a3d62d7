// The portable record scanner: the interpreter's csv reader followed over the
// UTF-8 bytes of a file, by the record rules (record_rules.hpp).
//
// Only a few bytes change the reader's state: the delimiter, the quote
// character and the line ends ("\r\n", "\r" and "\n" each end one line, as
// the universal-newline text file has them), and a space at the start of a
// field when skipinitialspace is on. The scanner jumps from one such byte to
// the next and steps the state; bytes of 0x80 and above are checked as UTF-8
// on the way, and a NUL byte makes it give up (the reader's handling of NUL
// differs between versions). The SSE2 accelerator (sse2_groups.hpp) moves the
// same scan on 64 bytes at a time where it can.
//
// Included by record_scanner.cpp alone; defined here so that the per-byte
// steps inline into the accelerator's loops.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "record_rules.hpp"
#include "record_scanner.hpp"

namespace delimited {

// What a byte is to the scanner.
enum ByteClass : uint8_t {
  kPlainByte,  // ordinary (a space included: see ordinary_run)
  kDelimiterByte,
  kQuoteByte,
  kLineFeedByte,
  kCarriageReturnByte,
  kNulByte,
  kHighByte,  // 0x80 and above: part of a multi-byte character
};

// The length of the valid UTF-8 sequence that starts at `p` (whose first byte
// is 0x80 or above), 0 when it is not valid UTF-8 (overlong forms, surrogates
// and code points above U+10FFFF included, as the strict decoder has it), or
// -1 when the `avail` bytes end before the sequence does.
inline int utf8_sequence(const unsigned char* p, size_t avail) {
  unsigned char lead = p[0];
  int length;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead < 0xC2) return 0;
  if (lead < 0xE0) {
    length = 2;
  } else if (lead < 0xF0) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead < 0xF5) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  for (int i = 1; i < length; ++i) {
    if (static_cast<size_t>(i) >= avail) return -1;
    unsigned char byte = p[i];
    if (i == 1 ? (byte < low || byte > high) : (byte < 0x80 || byte > 0xBF)) return 0;
  }
  return length;
}

class ByteScanner {
 public:
  ByteScanner(const ScanOptions& options, uint64_t data_start)
      : options_(options), record_start_(data_start), field_start_(data_start) {
    const RecordDialect& dialect = options.dialect;
    std::memset(classes_, kPlainByte, sizeof classes_);
    for (int byte = 0x80; byte < 0x100; ++byte) classes_[byte] = kHighByte;
    classes_[0] = kNulByte;
    classes_[static_cast<unsigned char>('\n')] = kLineFeedByte;
    classes_[static_cast<unsigned char>('\r')] = kCarriageReturnByte;
    classes_[dialect.delimiter] = kDelimiterByte;
    classes_[dialect.quotechar] = kQuoteByte;
    fill_steps(RecordRules::of(dialect));
  }

  // Follows the bytes buf[pos, avail), the first of them at file offset
  // `base + pos`. Returns how far it got: `avail`, or less when a multi-byte
  // character goes on in the next block (the caller passes the rest again)
  // or the scan failed.
  size_t follow(const unsigned char* buf, size_t pos, size_t avail, uint64_t base, bool at_end) {
    while (pos < avail && failed_ == ScanOutcome::kCounted) {
      size_t next = find_special_byte(buf, pos, avail);
      if (next > pos) ordinary_run(buf + pos, next - pos);
      if (next == avail) return avail;
      size_t after = follow_special_byte(buf, next, avail, base, at_end);
      if (after == next) return next;  // a character cut by the block's end
      pos = after;
    }
    return pos;
  }

  // The end of the file at offset `end`: the reader completes a last line
  // without a line end, and a quoted field still open. Then the longest field
  // is held against the limit.
  void finish(uint64_t end) {
    if (RecordRules::at_end(state_) & kEndsRecord) {
      note_field(end);
      end_record(end);
    }
    if (static_cast<int64_t>(longest_field_) > options_.field_limit) fail(ScanOutcome::kFieldLimit);
  }

  ScanOutcome failure() const { return failed_; }
  void fail(ScanOutcome why) { failed_ = why; }

  ScanResult result() const {
    ScanResult result;
    result.outcome = failed_;
    result.records = records_;
    result.first_begin = first_begin_;
    result.first_end = first_end_;
    return result;
  }

 private:
  friend class Sse2Groups;

  // The columns of the scanner's step table: the rules' own for the
  // delimiter, the quote and a line end, and one for the "\n" of "\r\n",
  // which the text file folds into the line end that the "\r" made.
  enum StepColumn : uint8_t { kDelimiterStep, kQuoteStep, kLineEndStep, kFoldedLineFeedStep };
  static constexpr int kStepColumns = 4;

  void fill_steps(const RecordRules& rules) {
    for (int s = 0; s < kRecordStates; ++s) {
      const auto state = static_cast<RecordState>(s);
      steps_[s][kDelimiterStep] = rules.step(state, CharClass::kDelimiter);
      steps_[s][kQuoteStep] = rules.step(state, CharClass::kQuote);
      steps_[s][kLineEndStep] = rules.step(state, CharClass::kLineEnd);
      // Nothing happens, except that a record yet to start starts after it,
      // as after the line end it belongs to.
      steps_[s][kFoldedLineFeedStep] =
          static_cast<uint8_t>(s | (state == RecordState::kStartRecord ? kEndsEmptyLine : 0));
      after_space_[s] = rules.step(state, CharClass::kSpace);
      after_ordinary_[s] = RecordRules::next_state(rules.step(state, CharClass::kOrdinary));
      skips_spaces_ |= !(after_space_[s] & kKeepsCharacter);
    }
  }

  size_t find_special_byte(const unsigned char* buf, size_t pos, size_t avail) const {
    while (pos < avail && classes_[buf[pos]] == kPlainByte) ++pos;
    return pos;
  }

  // Bytes that are plain characters. An ordinary character takes any state
  // to the one it leaves as it is, so one step stands for the whole run;
  // spaces that the rules skip at the start of a field come first.
  void ordinary_run(const unsigned char* run, size_t length) {
    if (skips_spaces_) {
      size_t i = 0;
      for (; i < length && run[i] == ' ' && !(after_space_[index()] & kKeepsCharacter); ++i)
        state_ = RecordRules::next_state(after_space_[index()]);
      if (i == length) return;
    }
    state_ = after_ordinary_[index()];
  }

  // Follows the special byte buf[at]; returns the position after it, or `at`
  // when a multi-byte character there needs bytes of the next block.
  size_t follow_special_byte(const unsigned char* buf, size_t at, size_t avail, uint64_t base,
                             bool at_end) {
    switch (classes_[buf[at]]) {
      case kHighByte: {
        int length = utf8_sequence(buf + at, avail - at);
        if (length < 0 && !at_end) return at;
        if (length <= 0) {
          fail(ScanOutcome::kInvalidText);
          return avail;
        }
        ordinary_run(buf + at, 1);
        return at + static_cast<size_t>(length);
      }
      case kNulByte:
        fail(ScanOutcome::kInvalidText);
        return avail;
      default:
        step(buf[at], base + at);
        return at + 1;
    }
  }

  // A delimiter, a quote or a line end byte at `offset`, without branches on
  // the state.
  void step(unsigned char byte, uint64_t offset) {
    const RecordDialect& dialect = options_.dialect;
    unsigned column = byte == dialect.delimiter   ? kDelimiterStep
                      : byte == dialect.quotechar ? kQuoteStep
                                                  : kLineEndStep;
    if (byte == '\n' && offset == line_feed_to_skip_) column = kFoldedLineFeedStep;
    if (byte == '\r') line_feed_to_skip_ = offset + 1;
    uint8_t entry = steps_[index()][column];
    if (entry & kSavesField) note_field(offset);
    if (entry & kEndsRecord) end_record(offset + 1);
    if (entry & kEndsEmptyLine) record_start_ = offset + 1;
    if (entry & (kSavesField | kEndsRecord | kEndsEmptyLine)) field_start_ = offset + 1;
    state_ = RecordRules::next_state(entry);
  }

  // A field ends at `offset`. Its length in bytes bounds its length in
  // characters; the longest is held against the limit at the end, since the
  // reader may raise for a field beyond it.
  void note_field(uint64_t offset) {
    uint64_t length = offset - field_start_;
    if (length > longest_field_) longest_field_ = length;
  }

  void end_record(uint64_t next) {
    if (records_++ == 0) {
      first_begin_ = record_start_;
      first_end_ = next;
    }
    record_start_ = next;
  }

  int index() const { return static_cast<int>(state_); }

  const ScanOptions& options_;
  unsigned char classes_[256];
  uint8_t steps_[kRecordStates][kStepColumns];
  uint8_t after_space_[kRecordStates];
  RecordState after_ordinary_[kRecordStates];
  bool skips_spaces_ = false;  // in some state a space keeps no character
  RecordState state_ = RecordState::kStartRecord;
  ScanOutcome failed_ = ScanOutcome::kCounted;
  uint64_t record_start_;  // where the current record's first line starts
  uint64_t field_start_;   // where the current field starts
  uint64_t longest_field_ = 0;
  uint64_t line_feed_to_skip_ = UINT64_MAX;  // the offset of the "\n" after a "\r"
  uint64_t records_ = 0;
  uint64_t first_begin_ = 0;
  uint64_t first_end_ = 0;
};

}  // namespace delimited
