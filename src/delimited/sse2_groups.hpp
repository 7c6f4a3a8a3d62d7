// The SSE2 accelerator of the record scanner: 64 bytes at a time as bit
// masks, one bit a byte. Where the multi-byte characters of the 64 bytes are
// well formed by their masks alone, only the delimiters, quotes and line ends
// are visited, through the portable scanner's own step; and where every quote
// of the 64 opens or closes a field, the scanner's state after them is found
// from the masks alone (follow_group), without visiting a byte. Anything else
// is left to the portable scanner (byte_scanner.hpp), which the differential
// tests hold this path against on every block boundary.
//
// Included by record_scanner.cpp alone, on machines with SSE2.
#pragma once

#if defined(__SSE2__)

#include <emmintrin.h>

#include <cstddef>
#include <cstdint>

#include "byte_scanner.hpp"

namespace delimited {

// The scanner is passed to each function, rather than held, so that the
// compiler keeps the reference in a register across the loops.
class Sse2Groups {
 public:
  // Follows the bytes from `pos` 64 at a time while 64 and three more are
  // left, and advances `pos`; false when the scan failed or must carry bytes
  // to the next block.
  static bool follow(ByteScanner& scan, const unsigned char* buf, size_t& pos, size_t avail,
                     uint64_t base, bool at_end) {
    const RecordDialect& dialect = scan.options_.dialect;
    // follow_group needs quotes to matter only at the start of a field (no
    // spaces skipped before them) and fields of 64 bytes to be allowed.
    const bool follows_groups = !dialect.skipinitialspace && scan.options_.field_limit >= 64;
    // (Locals, so that they stay in registers across the loop.)
    const Bytes bytes{_mm_set1_epi8(static_cast<char>(dialect.delimiter)),
                      _mm_set1_epi8(static_cast<char>(dialect.quotechar))};
    while (avail - pos >= 64 + 3) {
      const size_t group = pos;
      Masks masks;
      for (int part = 0; part < 64; part += 16) add_masks16(buf + group + part, part, bytes, masks);
      const uint64_t steps =
          masks.delimiter | masks.quote | masks.carriage_return | masks.line_feed;
      size_t end = group + 64;
      if (!well_formed(buf, masks, end)) {
        if (!visit(scan, buf, group, steps | masks.high | masks.irregular, pos, avail, base,
                   at_end))
          return false;
        end = group + 64;
      } else if (follows_groups && follow_group(scan, masks, base + group, end != group + 64)) {
        pos = end;
      } else {
        visit_steps(scan, buf, steps, pos, base);
      }
      if (pos < end) {
        scan.ordinary_run(buf + pos, end - pos);
        pos = end;
      }
    }
    return true;
  }

 private:
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

  // The dialect's delimiter and quote in every byte.
  struct Bytes {
    __m128i delimiter;
    __m128i quote;
  };

  static uint64_t bits(__m128i hits) {
    return static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(hits)));
  }

  static void add_masks16(const unsigned char* bytes, int shift, const Bytes& dialect,
                          Masks& masks) {
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
    masks.delimiter |= bits(_mm_cmpeq_epi8(group, dialect.delimiter)) << shift;
    masks.quote |= bits(_mm_cmpeq_epi8(group, dialect.quote)) << shift;
    masks.carriage_return |= bits(equal('\r')) << shift;
    masks.line_feed |= bits(equal('\n')) << shift;
    masks.high |= high << shift;
    masks.lead |= (bits(above(0xBF - 256)) & high) << shift;
    masks.lead3 |= (bits(above(0xDF - 256)) & high) << shift;
    masks.lead4 |= (bits(above(0xEF - 256)) & high) << shift;
    masks.irregular |= (bits(narrow) | (bits(above(0xF3 - 256)) & high)) << shift;
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
  static bool follow_group(ByteScanner& scan, const Masks& masks, uint64_t at, bool spilled) {
    using S = RecordState;
    if (scan.records_ == 0) return false;
    const bool doubled = scan.options_.dialect.doublequote;
    const bool was_inside = scan.state_ == S::kInQuotedField;
    const uint64_t at_field_start = scan.state_ == S::kStartRecord || scan.state_ == S::kStartField;
    const uint64_t at_record_start = scan.state_ == S::kStartRecord;
    const uint64_t after_closing_quote = scan.state_ == S::kQuoteInQuotedField;

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
    scan.records_ += static_cast<uint64_t>(__builtin_popcountll(record_ends));
    if (separators) {
      scan.note_field(at + static_cast<uint64_t>(__builtin_ctzll(separators)));
      scan.field_start_ = at + 64 - static_cast<uint64_t>(__builtin_clzll(separators));
    }

    const uint64_t last = uint64_t{1} << 63;
    if (inside & last) {
      scan.state_ = S::kInQuotedField;
    } else if (spilled) {
      scan.state_ = S::kInField;  // the last bytes began a multi-byte character
    } else if (closing & last) {
      scan.state_ = doubled ? S::kQuoteInQuotedField : S::kInField;
    } else if (line_ends & last) {
      scan.state_ = S::kStartRecord;
    } else if (masks.delimiter & last) {
      scan.state_ = S::kStartField;
    } else {
      scan.state_ = S::kInField;
    }
    if (masks.carriage_return & last) scan.line_feed_to_skip_ = at + 64;
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

  // Visits the delimiters, quotes and line ends of `mask` (bits from `pos`).
  static void visit_steps(ByteScanner& scan, const unsigned char* buf, uint64_t mask, size_t& pos,
                          uint64_t base) {
    const size_t group = pos;
    while (mask) {
      size_t at = group + static_cast<size_t>(__builtin_ctzll(mask));
      mask &= mask - 1;
      if (at > pos) scan.ordinary_run(buf + pos, at - pos);
      scan.step(buf[at], base + at);
      pos = at + 1;
    }
  }

  // Visits every special byte of `mask` (bits from `group`), checking
  // multi-byte characters one by one.
  static bool visit(ByteScanner& scan, const unsigned char* buf, size_t group, uint64_t mask,
                    size_t& pos, size_t avail, uint64_t base, bool at_end) {
    while (mask) {
      size_t at = group + static_cast<size_t>(__builtin_ctzll(mask));
      mask &= mask - 1;
      if (at < pos) continue;  // a continuation byte of a character already read
      if (at > pos) scan.ordinary_run(buf + pos, at - pos);
      size_t after = scan.follow_special_byte(buf, at, avail, base, at_end);
      if (after == at || scan.failure() != ScanOutcome::kCounted) {
        pos = at;
        return false;
      }
      pos = after;
    }
    return true;
  }
};

}  // namespace delimited

#endif  // __SSE2__
