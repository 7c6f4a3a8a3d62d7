// The record scanner (see rowcount.hpp).
//
// The reader's states over a line, as the interpreter's csv reader defines
// them for this dialect: every line it is given ends in "\n" (the text file
// translates "\r\n" and "\r"), except perhaps the last one, and after each
// line the reader sees an end-of-line mark. So a line end is "\n" followed by
// that mark, and between two lines a record is either complete (the state is
// back at the start of a record) or inside a quoted field.
//
// Only a few bytes change the state: the delimiter, the quote character, the
// line ends, and a space at the start of a field when skipinitialspace is on.
// The scanner jumps from one such byte to the next and follows the state;
// bytes of 0x80 and above are checked as UTF-8 on the way, and a NUL byte
// makes it give up. With SSE2 it takes 64 bytes at a time as bit masks and,
// where their quotes all open or close fields, follows them from the masks
// alone (see follow_group).
#include "rowcount.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace fileinspect {

namespace {

enum class Parse : uint8_t {
  kStartRecord,
  kStartField,
  kInField,
  kInQuotedField,
  kQuoteInQuotedField,
};

enum ByteClass : uint8_t {
  kOrdinary,
  kDelimiter,
  kQuote,
  kLineFeed,
  kCarriageReturn,
  kNul,
  kHigh,  // 0x80 and above: part of a multi-byte character
};

// The length of the valid UTF-8 sequence that starts at `p` (whose first byte
// is 0x80 or above), 0 when it is not valid UTF-8 (overlong forms, surrogates
// and code points above U+10FFFF included, as the strict decoder has it), or
// -1 when the `avail` bytes end before the sequence does.
int utf8_sequence(const unsigned char* p, size_t avail) {
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

// What a delimiter, a quote or a line end does in each state: the next state
// and the bookkeeping (a field is saved, a record ends, a blank line passes).
enum Step : uint8_t {
  kSavesField = 1 << 3,
  kEndsRecord = 1 << 4,
  kBlankLine = 1 << 5,
  kStateBits = 7,
};

enum StepClass : uint8_t {
  kDelimiterStep,
  kQuoteStep,
  kLineEndStep,
  kSkippedLineFeedStep,  // the "\n" of "\r\n": the line ended at the "\r"
  kStepClasses,
};

constexpr int kStates = 5;

class Scanner {
 public:
  Scanner(const ScanOptions& options, uint64_t data_start)
      : options_(options), record_start_(data_start), field_start_(data_start) {
    std::memset(classes_, kOrdinary, sizeof classes_);
    for (int byte = 0x80; byte < 0x100; ++byte) classes_[byte] = kHigh;
    classes_[0] = kNul;
    classes_['\n'] = kLineFeed;
    classes_['\r'] = kCarriageReturn;
    classes_[options.dialect.delimiter] = kDelimiter;
    classes_[options.dialect.quotechar] = kQuote;
    fill_steps();
    // The group rule needs quotes to matter only at the start of a field (no
    // spaces skipped before them) and fields of 64 bytes to be allowed.
    follow_groups_ = !options.dialect.skipinitialspace && options.field_limit >= 64;
  }

  // Follows the bytes buf[0, avail), the first of them at file offset `base`.
  // Returns how many were used: all of them, or fewer when a multi-byte
  // character goes on in the next block (the caller passes the rest again).
  size_t feed(const unsigned char* buf, size_t avail, uint64_t base, bool at_end) {
    size_t pos = 0;
#if defined(__SSE2__)
    if (!options_.scalar_only && !feed_sse2(buf, pos, avail, base, at_end)) return pos;
#endif
    while (pos < avail && failed_ == ScanOutcome::kCounted) {
      size_t next = find_special(buf, pos, avail);
      if (next > pos) ordinary_run(buf + pos, next - pos);
      if (next == avail) return avail;
      size_t after = special(buf, next, avail, base, at_end);
      if (after == next) return next;  // a character cut by the block's end
      pos = after;
    }
    return pos;
  }

  // The end of the file at offset `end`: the reader completes a last line
  // without a line end, and a quoted field still open. Then the longest field
  // is held against the limit.
  void finish(uint64_t end) {
    if (state_ != Parse::kStartRecord) {
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
  void fill_steps() {
    using P = Parse;
    auto set = [this](P state, StepClass kind, P next, int flags) {
      steps_[static_cast<int>(state)][kind] = static_cast<uint8_t>(static_cast<int>(next) | flags);
    };
    const P after_quote = options_.dialect.doublequote ? P::kQuoteInQuotedField : P::kInField;
    for (P state : {P::kStartRecord, P::kStartField, P::kInField, P::kQuoteInQuotedField}) {
      set(state, kDelimiterStep, P::kStartField, kSavesField);
      set(state, kLineEndStep, P::kStartRecord, kSavesField | kEndsRecord);
      set(state, kSkippedLineFeedStep, state, 0);
    }
    set(P::kInQuotedField, kDelimiterStep, P::kInQuotedField, 0);
    set(P::kInQuotedField, kLineEndStep, P::kInQuotedField, 0);  // part of the field
    set(P::kInQuotedField, kSkippedLineFeedStep, P::kInQuotedField, 0);
    set(P::kStartRecord, kLineEndStep, P::kStartRecord, kBlankLine);  // a record without fields
    set(P::kStartRecord, kSkippedLineFeedStep, P::kStartRecord, kBlankLine);
    set(P::kStartRecord, kQuoteStep, P::kInQuotedField, 0);
    set(P::kStartField, kQuoteStep, P::kInQuotedField, 0);
    set(P::kInField, kQuoteStep, P::kInField, 0);
    set(P::kInQuotedField, kQuoteStep, after_quote, 0);
    set(P::kQuoteInQuotedField, kQuoteStep, P::kInQuotedField, 0);  // "" stands for one quote
  }

  size_t find_special(const unsigned char* buf, size_t pos, size_t avail) const {
    while (pos < avail && classes_[buf[pos]] == kOrdinary) ++pos;
    return pos;
  }

#if defined(__SSE2__)
  // Bit masks of 64 bytes, one bit a byte.
  struct Masks {
    uint64_t delimiter = 0;
    uint64_t quote = 0;
    uint64_t carriage_return = 0;
    uint64_t line_feed = 0;
    uint64_t high = 0;       // 0x80 and above
    uint64_t lead = 0;       // 0xC0 and above: the first byte of a multi-byte character
    uint64_t lead3 = 0;      // 0xE0 and above: three bytes or more
    uint64_t lead4 = 0;      // 0xF0 and above: four bytes
    uint64_t irregular = 0;  // NUL, and lead bytes whose next byte has a narrower range
  };

  static uint64_t bits(__m128i hits) {
    return static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(hits)));
  }

  void add_masks16(const unsigned char* bytes, int shift, Masks& masks) const {
    const __m128i group = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
    auto equal = [&group](int byte) {
      return _mm_cmpeq_epi8(group, _mm_set1_epi8(static_cast<char>(byte)));
    };
    // Signed comparisons: the bytes 0x80 to 0xFF are -128 to -1.
    auto above = [&group](int byte) {
      return _mm_cmpgt_epi8(group, _mm_set1_epi8(static_cast<char>(byte)));
    };
    uint64_t high = bits(group);
    // C0 and C1 (overlong), E0, ED (surrogates), F0, and F4 and above.
    __m128i narrow = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(_mm_and_si128(group, _mm_set1_epi8(static_cast<char>(0xFE))),
                                    _mm_set1_epi8(static_cast<char>(0xC0))),
                     equal(0xE0)),
        _mm_or_si128(_mm_or_si128(equal(0xED), equal(0xF0)), equal(0)));
    masks.delimiter |= bits(equal(options_.dialect.delimiter)) << shift;
    masks.quote |= bits(equal(options_.dialect.quotechar)) << shift;
    masks.carriage_return |= bits(equal('\r')) << shift;
    masks.line_feed |= bits(equal('\n')) << shift;
    masks.high |= high << shift;
    masks.lead |= (bits(above(0xBF - 256)) & high) << shift;
    masks.lead3 |= (bits(above(0xDF - 256)) & high) << shift;
    masks.lead4 |= (bits(above(0xEF - 256)) & high) << shift;
    masks.irregular |= (bits(narrow) | (bits(above(0xF3 - 256)) & high)) << shift;
  }

  // Follows the bytes 64 at a time while 64 and three more are left. Where
  // the multi-byte characters of the 64 are well formed by their bit masks
  // alone, only delimiters, quotes and line ends are visited; otherwise each
  // special byte is. Advances `pos`; false when the scan failed or must carry
  // bytes to the next block.
  bool feed_sse2(const unsigned char* buf, size_t& pos, size_t avail, uint64_t base, bool at_end) {
    while (avail - pos >= 64 + 3) {
      const size_t group = pos;
      Masks masks;
      for (int part = 0; part < 64; part += 16) add_masks16(buf + group + part, part, masks);
      const uint64_t steps =
          masks.delimiter | masks.quote | masks.carriage_return | masks.line_feed;
      size_t end = group + 64;
      if (!well_formed(buf, masks, end)) {
        if (!visit(buf, group, steps | masks.high | masks.irregular, pos, avail, base, at_end))
          return false;
        end = group + 64;
      } else if (follow_group(masks, base + group, end != group + 64)) {
        pos = end;
      } else {
        visit_steps(buf, steps, pos, base);
      }
      if (pos < end) {
        ordinary_run(buf + pos, end - pos);
        pos = end;
      }
    }
    return true;
  }

  // The state after the 64 bytes at file offset `at`, found from their masks
  // alone, without visiting a byte: true when done, false (nothing changed)
  // when the bytes need a visit.
  //
  // Quote characters toggle between inside and outside a quoted field (a
  // prefix XOR of the quote mask). That is the reader's own rule as long as
  // every quote that opens a field stands at the start of a field: after a
  // delimiter or a line end, or, where quotes are doubled, right after the
  // quote that closed (the two stand for one quote). A quote anywhere else
  // (inside an unquoted field, where the reader keeps it as a character)
  // sends the 64 bytes to a visit. A closing quote followed by other
  // characters needs no test: the reader goes on with an unquoted field,
  // which delimiters and line ends end as they end anything outside quotes,
  // and any quote after those characters fails the test above.
  //
  // Outside quotes, a line end ends a record unless it follows another line
  // end: a line without fields, or the "\n" of "\r\n". A field's length is
  // bounded by the distance between the delimiters and line ends outside
  // quotes around it; fields within the 64 bytes are shorter than the
  // smallest limit this is used with, so only those that cross the edges are
  // measured. Only used once the first record is known.
  bool follow_group(const Masks& masks, uint64_t at, bool spilled) {
    if (!follow_groups_ || records_ == 0) return false;
    const bool doubled = options_.dialect.doublequote;
    const bool was_inside = state_ == Parse::kInQuotedField;
    const uint64_t at_field_start = state_ == Parse::kStartRecord || state_ == Parse::kStartField;
    const uint64_t at_record_start = state_ == Parse::kStartRecord;
    const uint64_t after_closing_quote = state_ == Parse::kQuoteInQuotedField;

    const uint64_t inside = prefix_xor(masks.quote) ^ (was_inside ? ~uint64_t{0} : 0);
    const uint64_t opening = masks.quote & inside;
    const uint64_t closing = masks.quote & ~inside;
    const uint64_t line_ends = (masks.carriage_return | masks.line_feed) & ~inside;
    const uint64_t separators = (masks.delimiter & ~inside) | line_ends;
    uint64_t may_open = separators << 1 | at_field_start;
    if (doubled) may_open |= closing << 1 | after_closing_quote;
    if (opening & ~may_open) return false;

    // (The "\n" of "\r\n" follows a line end too.)
    const uint64_t record_ends = line_ends & ~(line_ends << 1 | at_record_start);
    records_ += static_cast<uint64_t>(__builtin_popcountll(record_ends));
    if (separators) {
      note_field(at + static_cast<uint64_t>(__builtin_ctzll(separators)));
      field_start_ = at + 64 - static_cast<uint64_t>(__builtin_clzll(separators));
    }

    const uint64_t last = uint64_t{1} << 63;
    if (inside & last) {
      state_ = Parse::kInQuotedField;
    } else if (spilled) {
      state_ = Parse::kInField;  // the last bytes began a multi-byte character
    } else if (closing & last) {
      state_ = doubled ? Parse::kQuoteInQuotedField : Parse::kInField;
    } else if (line_ends & last) {
      state_ = Parse::kStartRecord;
    } else if (masks.delimiter & last) {
      state_ = Parse::kStartField;
    } else {
      state_ = Parse::kInField;
    }
    if (masks.carriage_return & last) line_feed_to_skip_ = at + 64;
    return true;
  }

  // Bit i of the result: the XOR of bits 0 to i of x.
  static uint64_t prefix_xor(uint64_t x) {
    for (int shift = 1; shift < 64; shift *= 2) x ^= x << shift;
    return x;
  }

  // True when the multi-byte characters of the 64 bytes at `end - 64` are
  // well formed, judged by the masks: every lead byte is followed by exactly
  // its continuation bytes, and none has a second byte of narrower range.
  // Moves `end` past the continuation bytes of a character that goes on
  // beyond the 64 bytes.
  static bool well_formed(const unsigned char* buf, const Masks& masks, size_t& end) {
    if (masks.irregular) return false;
    if (!masks.high) return true;
    uint64_t continuation = masks.high & ~masks.lead;
    uint64_t expected = masks.lead << 1 | masks.lead3 << 2 | masks.lead4 << 3;
    if (continuation != expected) return false;
    uint64_t spill = masks.lead >> 63 | masks.lead3 >> 62 | masks.lead4 >> 61;
    for (; spill; spill >>= 1, ++end) {
      if ((buf[end] & 0xC0) != 0x80) return false;
    }
    return true;
  }

  // Visits the delimiters, quotes and line ends of `mask` (bits from `group`).
  void visit_steps(const unsigned char* buf, uint64_t mask, size_t& pos, uint64_t base) {
    const size_t group = pos;
    while (mask) {
      size_t at = group + static_cast<size_t>(__builtin_ctzll(mask));
      mask &= mask - 1;
      if (at > pos) ordinary_run(buf + pos, at - pos);
      step(buf[at], base + at);
      pos = at + 1;
    }
  }

  // Visits every special byte of `mask` (bits from `group`), checking
  // multi-byte characters one by one.
  bool visit(const unsigned char* buf, size_t group, uint64_t mask, size_t& pos, size_t avail,
             uint64_t base, bool at_end) {
    while (mask) {
      size_t at = group + static_cast<size_t>(__builtin_ctzll(mask));
      mask &= mask - 1;
      if (at < pos) continue;  // a continuation byte of a character already read
      if (at > pos) ordinary_run(buf + pos, at - pos);
      size_t after = special(buf, at, avail, base, at_end);
      if (after == at || failed_ != ScanOutcome::kCounted) {
        pos = at;
        return false;
      }
      pos = after;
    }
    return true;
  }
#endif

  // Bytes that are plain characters of a field.
  void ordinary_run(const unsigned char* run, size_t length) {
    static constexpr Parse kAfterCharacter[kStates] = {
        Parse::kInField, Parse::kInField, Parse::kInField, Parse::kInQuotedField,
        Parse::kInField,  // strict is off: the character after a closing quote is kept
    };
    bool starting = state_ == Parse::kStartRecord || state_ == Parse::kStartField;
    if (options_.dialect.skipinitialspace && starting) {
      // Spaces at the start of a field are skipped.
      state_ = Parse::kStartField;
      for (size_t i = 0; i < length; ++i) {
        if (run[i] != ' ') {
          state_ = Parse::kInField;
          return;
        }
      }
      return;
    }
    state_ = kAfterCharacter[static_cast<int>(state_)];
  }

  // Follows the special byte buf[at]; returns the position after it, or `at`
  // when a multi-byte character there needs bytes of the next block.
  size_t special(const unsigned char* buf, size_t at, size_t avail, uint64_t base, bool at_end) {
    switch (classes_[buf[at]]) {
      case kHigh: {
        int length = utf8_sequence(buf + at, avail - at);
        if (length < 0 && !at_end) return at;
        if (length <= 0) {
          fail(ScanOutcome::kInvalidText);
          return avail;
        }
        ordinary_run(buf + at, 1);
        return at + static_cast<size_t>(length);
      }
      case kNul:  // the reader's handling of NUL differs between versions
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
    unsigned kind = byte == options_.dialect.delimiter   ? kDelimiterStep
                    : byte == options_.dialect.quotechar ? kQuoteStep
                                                         : kLineEndStep;
    if (byte == '\n' && offset == line_feed_to_skip_) kind = kSkippedLineFeedStep;
    if (byte == '\r') line_feed_to_skip_ = offset + 1;
    uint8_t entry = steps_[static_cast<int>(state_)][kind];
    if (entry & kSavesField) note_field(offset);
    if (entry & kEndsRecord) end_record(offset + 1);
    if (entry & kBlankLine) record_start_ = offset + 1;
    if (entry & (kSavesField | kEndsRecord | kBlankLine)) field_start_ = offset + 1;
    state_ = static_cast<Parse>(entry & kStateBits);
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

  const ScanOptions& options_;
  unsigned char classes_[256];
  uint8_t steps_[kStates][kStepClasses];
  bool follow_groups_;
  Parse state_ = Parse::kStartRecord;
  ScanOutcome failed_ = ScanOutcome::kCounted;
  uint64_t record_start_;  // where the current record's first line starts
  uint64_t field_start_;   // where the current field starts
  uint64_t longest_field_ = 0;
  uint64_t line_feed_to_skip_ = UINT64_MAX;
  uint64_t records_ = 0;
  uint64_t first_begin_ = 0;
  uint64_t first_end_ = 0;
};

// 3 when the file starts with the UTF-8 byte order mark (which the
// "utf-8-sig" decoder drops), else 0; -1 on a read error.
int byte_order_mark_length(int fd) {
  unsigned char head[3];
  size_t have = 0;
  while (have < sizeof head) {
    ssize_t got = common::read_at(fd, head + have, sizeof head - have, have);
    if (got < 0) return -1;
    if (got == 0) break;
    have += static_cast<size_t>(got);
  }
  return have == 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF ? 3 : 0;
}

// Feeds the file to the scanner block by block; returns the offset reached
// (the file's end when nothing failed).
uint64_t feed_blocks(int fd, uint64_t start, uint64_t size, size_t block, Scanner& scanner) {
  // Room for one block and the up to three bytes of a character cut by the
  // previous block's end.
  std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[block + 3]);
  if (!buffer) {
    scanner.fail(ScanOutcome::kReadFailed);
    return start;
  }
  uint64_t base = start, offset = start;
  size_t carried = 0;
  for (;;) {
    ssize_t got = common::read_at(fd, buffer.get() + carried, block, offset);
    if (got < 0) {
      scanner.fail(ScanOutcome::kReadFailed);
      return offset;
    }
    offset += static_cast<uint64_t>(got);
    if (offset > size) {
      scanner.fail(ScanOutcome::kFileChanged);
      return offset;
    }
    // Once `size` bytes are in, no read is needed to see the end: the size
    // is checked again after the scan.
    const bool at_end = got == 0 || offset == size;
    size_t avail = carried + static_cast<size_t>(got);
    size_t used = scanner.feed(buffer.get(), avail, base, at_end);
    if (scanner.failure() != ScanOutcome::kCounted || at_end) return offset;
    carried = avail - used;
    std::memmove(buffer.get(), buffer.get() + used, carried);
    base += used;
  }
}

}  // namespace

ScanResult scan_records(int fd, uint64_t size, const ScanOptions& options) {
  ScanResult failed;
  int bom = byte_order_mark_length(fd);
  if (bom < 0) return failed;
  uint64_t start = static_cast<uint64_t>(bom);
  Scanner scanner(options, start);
  // A block no larger than the file: a small file needs no large buffer.
  size_t block = options.block_size ? options.block_size : 1;
  if (size - start < block) block = size - start > 0 ? static_cast<size_t>(size - start) : 1;
  uint64_t end = feed_blocks(fd, start, size, block, scanner);
  if (scanner.failure() != ScanOutcome::kCounted) return scanner.result();

  struct stat after;
  if (end != size || fstat(fd, &after) != 0 || static_cast<uint64_t>(after.st_size) != size) {
    scanner.fail(ScanOutcome::kFileChanged);
    return scanner.result();
  }
  scanner.finish(end);
  return scanner.result();
}

}  // namespace fileinspect
