#include "sample_sniffer.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <tuple>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace delimited {

namespace {

using Index = std::size_t;

// `\w` of the interpreter's `re` module for text patterns.
bool is_word(Py_UCS4 c) {
  if (c < 0x80)
    return c == '_' || (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
  return Py_UNICODE_ISALNUM(c);
}

bool is_quote(Py_UCS4 c) {
  return c == '"' || c == '\'';
}

// [^\w\n"'], the characters the sniffer's patterns take as delimiters.
bool is_delimiter_candidate(Py_UCS4 c) {
  return c != '\n' && !is_quote(c) && !is_word(c);
}

// Counts kept in order of first insertion, as a Python dict keeps its keys.
// The first few keys are kept in place: a sample rarely has more.
template <typename Key, typename Value>
class OrderedCounts {
 public:
  using Entry = std::pair<Key, Value>;

  Value& operator[](Key key) {
    for (Index i = 0; i < size_; ++i)
      if (entry(i).first == key) return entry(i).second;
    if (size_ < kInPlace)
      in_place_[size_] = {key, Value{}};
    else
      more_.emplace_back(key, Value{});
    return entry(size_++).second;
  }
  const Entry& at(Index i) const { return i < kInPlace ? in_place_[i] : more_[i - kInPlace]; }
  bool empty() const { return size_ == 0; }
  Index size() const { return size_; }

 private:
  static constexpr Index kInPlace = 8;

  Entry& entry(Index i) { return i < kInPlace ? in_place_[i] : more_[i - kInPlace]; }

  std::array<Entry, kInPlace> in_place_{};
  std::vector<Entry> more_;
  Index size_ = 0;
};

// max(counts, key=counts.get): the first key with the highest count.
template <typename Key>
const std::pair<Key, long>& first_of_most(const OrderedCounts<Key, long>& counts) {
  Index best = 0;
  for (Index i = 1; i < counts.size(); ++i)
    if (counts.at(i).second > counts.at(best).second) best = i;
  return counts.at(best);
}

// How many quote characters s has: counted first so that one allocation
// takes all their positions, and none is made for a sample without quotes.
// The compiler vectorizes the loop; blocks keep its counters at 32 bits,
// twice as many to a vector as counters of 64 bits.
Index count_quotes(const CodePoints& s) {
  constexpr Index kBlock = 1 << 16;
  Index count = 0;
  for (Index block = 0; block < s.size(); block += kBlock) {
    std::uint32_t in_block = 0;
    Index end = std::min(s.size(), block + kBlock);
    for (Index i = block; i < end; ++i) in_block += is_quote(s[i]);
    count += in_block;
  }
  return count;
}

#if defined(__SSE2__)
// Bit k set where text[k] is a quote, for the 16 code points at text.
unsigned quote_mask16(const Py_UCS4* text) {
  const __m128i double_quote = _mm_set1_epi32('"'), single_quote = _mm_set1_epi32('\'');
  __m128i hits[4];
  for (int k = 0; k < 4; ++k) {
    __m128i points = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + 4 * k));
    hits[k] =
        _mm_or_si128(_mm_cmpeq_epi32(points, double_quote), _mm_cmpeq_epi32(points, single_quote));
  }
  // Lanes of all ones or all zeros narrow to bytes unchanged.
  __m128i bytes =
      _mm_packs_epi16(_mm_packs_epi32(hits[0], hits[1]), _mm_packs_epi32(hits[2], hits[3]));
  return static_cast<unsigned>(_mm_movemask_epi8(bytes));
}
#endif

// The positions of the quote characters, in order: every match of the
// sniffer's quote patterns opens and closes on one.
std::vector<Index> quote_positions(const CodePoints& s) {
  std::vector<Index> positions(count_quotes(s));
  const Py_UCS4* text = s.data();
  Index* found = positions.data();
  Index* const last = found + positions.size();
  Index i = 0;
#if defined(__SSE2__)
  // Sixteen at a time from a bit mask: a branch per quote, not per character.
  for (; i + 16 <= s.size() && found != last; i += 16)
    for (unsigned mask = quote_mask16(text + i); mask != 0; mask &= mask - 1)
      *found++ = i + static_cast<Index>(__builtin_ctz(mask));
#endif
  for (; found != last; ++i)
    if (is_quote(text[i])) *found++ = i;
  return positions;
}

// One match of the quote patterns: the groups `quote`, `delim`, `space`.
struct QuoteMatch {
  Py_UCS4 quote;
  bool has_delim;
  Py_UCS4 delim;
  bool space;
};

// What precedes the opening quote in each pattern.
enum class Opening { after_delimiter, at_line_start };

// How the text of a quoted field may end in each pattern.
enum class Closing { delimiter_same, delimiter_any, line_end };

struct QuotePattern {
  Opening opening;
  Closing closing;
};

// The sniffer's patterns, in the order it tries them (DOTALL, MULTILINE).
constexpr QuotePattern kQuotePatterns[] = {
    // (?P<delim>[^\w\n"\'])(?P<space> ?)(?P<quote>["\']).*?(?P=quote)(?P=delim)
    {Opening::after_delimiter, Closing::delimiter_same},
    // (?:^|\n)(?P<quote>["\']).*?(?P=quote)(?P<delim>[^\w\n"\'])(?P<space> ?)
    {Opening::at_line_start, Closing::delimiter_any},
    // (?P<delim>[^\w\n"\'])(?P<space> ?)(?P<quote>["\']).*?(?P=quote)(?:$|\n)
    {Opening::after_delimiter, Closing::line_end},
    // (?:^|\n)(?P<quote>["\']).*?(?P=quote)(?:$|\n)
    {Opening::at_line_start, Closing::line_end},
};

// The closings a findall already searched for in vain. Whether a quote
// closes depends on the quote character (and for delimiter_same on the
// delimiter), not on where the field opened: a closing found nowhere after
// one opening is found nowhere after a later one either.
class FailedClosings {
 public:
  explicit FailedClosings(Closing closing) : closing_(closing) {}

  bool contains(const QuoteMatch& match) const {
    for (Index i = 0; i < size_; ++i)
      if (keys_[i] == key_of(match)) return true;
    return false;
  }
  // Beyond its capacity it forgets: the search is then repeated, to the same end.
  void add(const QuoteMatch& match) {
    if (size_ < keys_.size()) keys_[size_++] = key_of(match);
  }

 private:
  std::pair<Py_UCS4, Py_UCS4> key_of(const QuoteMatch& match) const {
    return {match.quote, closing_ == Closing::delimiter_same ? match.delim : 0};
  }

  Closing closing_;

  std::array<std::pair<Py_UCS4, Py_UCS4>, 8> keys_{};
  Index size_ = 0;
};

// regexp.findall(data) for the sniffer's quote patterns: leftmost matches,
// each search resuming where the last match ended, `.*?` ending at the first
// quote the rest of the pattern accepts. As every match opens on a quote, the
// search steps from quote to quote.
class QuotePatterns {
 public:
  QuotePatterns(const CodePoints& text, const std::vector<Index>& quotes)
      : text_(text), length_(text.size()), quotes_(quotes) {}

  // Calls tally(match) for each match of the first pattern that has any;
  // false when none has.
  template <typename Tally>
  bool first_matching(Tally&& tally) const {
    for (const QuotePattern& pattern : kQuotePatterns)
      if (find_all(pattern, tally)) return true;
    return false;
  }

 private:
  template <typename Tally>
  bool find_all(QuotePattern pattern, Tally& tally) const {
    bool any = false;
    Index pos = 0;  // where the next search starts
    FailedClosings failed(pattern.closing);
    for (Index q = 0; q < quotes_.size(); ++q) {
      std::array<QuoteMatch, 2> openings;
      Index count = open_on(pattern.opening, q, pos, openings);
      for (Index candidate = 0; candidate < count; ++candidate) {
        QuoteMatch& match = openings[candidate];
        if (failed.contains(match)) continue;
        Index end;
        Index closing = close(pattern.closing, q, match, end);
        if (closing == quotes_.size()) {
          failed.add(match);
          continue;
        }
        tally(match);
        any = true;
        pos = end;
        q = closing;  // the next match opens after its end
        break;
      }
    }
    return any;
  }

  // The matches that may open on the quote quotes_[q], starting at `pos` or
  // later, leftmost start first; returns how many.
  Index open_on(Opening opening, Index q, Index pos, std::array<QuoteMatch, 2>& found) const {
    Index at = quotes_[q];
    Py_UCS4 quote = text_[at];
    if (opening == Opening::at_line_start) {
      // `^` at the quote, or `\n` just before it: the same match either way.
      if (at < pos || (at > 0 && text_[at - 1] != '\n')) return 0;
      found[0] = {quote, false, 0, false};
      return 1;
    }
    Index count = 0;
    // The delimiter and a space before the quote; the optional space is tried
    // first, and without it this space would have to be the quote.
    if (at >= 2 && at - 2 >= pos && text_[at - 1] == ' ' && is_delimiter_candidate(text_[at - 2]))
      found[count++] = {quote, true, text_[at - 2], true};
    // The delimiter just before the quote.
    if (at >= 1 && at - 1 >= pos && is_delimiter_candidate(text_[at - 1]))
      found[count++] = {quote, true, text_[at - 1], false};
    return count;
  }

  // The shortest `.*?` after the opening quote quotes_[q] that the closing
  // allows: the index in quotes_ of the closing quote (quotes_.size() if
  // none), with the match's remaining groups and its end set.
  Index close(Closing closing, Index q, QuoteMatch& match, Index& end) const {
    for (Index c = q + 1; c < quotes_.size(); ++c)
      if (text_[quotes_[c]] == match.quote && closes_at(closing, quotes_[c] + 1, match, end))
        return c;
    return quotes_.size();
  }

  // Whether the closing matches after the closing quote, at `after`.
  bool closes_at(Closing closing, Index after, QuoteMatch& match, Index& end) const {
    switch (closing) {
      case Closing::delimiter_same:
        if (after < length_ && text_[after] == match.delim) return end = after + 1, true;
        return false;
      case Closing::delimiter_any:
        if (after < length_ && is_delimiter_candidate(text_[after])) {
          match.has_delim = true;
          match.delim = text_[after];
          match.space = after + 1 < length_ && text_[after + 1] == ' ';
          end = after + 1 + (match.space ? 1 : 0);
          return true;
        }
        return false;
      default:  // line_end: `$` matches before the line break, which it leaves
        if (after == length_ || text_[after] == '\n') return end = after, true;
        return false;
    }
  }

  const CodePoints& text_;
  Index length_;
  const std::vector<Index>& quotes_;
};

// Whether dq_regexp finds a match:
//   ((D)|^)\W*Q[^D\n]*Q[^D\n]*Q\W*((D)|$)   (MULTILINE; D empty when no delimiter)
// Three quotes in one stretch free of D and line breaks, the first reached
// from D or a line start over non-word characters, the last followed by
// non-word characters up to D, a line break or the end. A word character
// that keeps a quote of the stretch from opening keeps every later one from
// it too, and one that keeps a quote from closing every earlier one: the
// first and the last quote of each stretch decide.
class DoubledQuoteTest {
 public:
  DoubledQuoteTest(const CodePoints& text, const std::vector<Index>& quotes, bool has_delim,
                   Py_UCS4 delim)
      : text_(text), length_(text.size()), quotes_(quotes), has_delim_(has_delim), delim_(delim) {}

  bool found(Py_UCS4 quote) const {
    Index first = 0, last = 0, count = 0;  // the quotes of the current stretch
    for (Index at : quotes_) {
      if (text_[at] != quote) continue;
      if (count > 0 && !breaks_between(last, at)) {
        last = at;
        ++count;
        continue;
      }
      if (stretch_matches(first, last, count)) return true;
      first = last = at;
      count = 1;
    }
    return stretch_matches(first, last, count);
  }

 private:
  bool breaks_stretch(Py_UCS4 c) const { return c == '\n' || (has_delim_ && c == delim_); }

  bool breaks_between(Index from, Index to) const {
    for (Index i = from + 1; i < to; ++i)
      if (breaks_stretch(text_[i])) return true;
    return false;
  }

  bool stretch_matches(Index first, Index last, Index count) const {
    return count >= 3 && opens(first) && closes(last);
  }

  // ((D)|^)\W* can end just before `at`.
  bool opens(Index at) const {
    if (!has_delim_) return true;  // the empty group matches anywhere
    Index i = at;
    while (i > 0 && !is_word(text_[i - 1])) {
      if (breaks_stretch(text_[i - 1])) return true;
      --i;
    }
    return i == 0;
  }

  // \W*((D)|$) can start just after `at`.
  bool closes(Index at) const {
    if (!has_delim_) return true;
    Index i = at + 1;
    for (; i < length_ && !is_word(text_[i]); ++i)
      if (breaks_stretch(text_[i])) return true;
    return i == length_;
  }

  const CodePoints& text_;
  Index length_;
  const std::vector<Index>& quotes_;
  bool has_delim_;
  Py_UCS4 delim_;
};

// Sniffer._guess_quote_and_delimiter(data, None).
struct QuoteGuess {
  bool has_quotechar = false;
  Py_UCS4 quotechar = 0;
  bool doublequote = false;
  bool has_delim = false;
  Py_UCS4 delim = 0;
  bool skipinitialspace = false;
};

QuoteGuess guess_quote_and_delimiter(const CodePoints& data) {
  QuoteGuess guess;
  std::vector<Index> quotes_at = quote_positions(data);
  OrderedCounts<Py_UCS4, long> quotes, delims;
  long spaces = 0;
  auto tally = [&](const QuoteMatch& match) {
    ++quotes[match.quote];
    if (!match.has_delim) return;  // the pattern has no delimiter group
    ++delims[match.delim];
    if (match.space) ++spaces;
  };
  if (!QuotePatterns(data, quotes_at).first_matching(tally)) return guess;
  guess.has_quotechar = true;
  guess.quotechar = first_of_most(quotes).first;
  if (!delims.empty()) {
    const auto& delim = first_of_most(delims);
    guess.delim = delim.first;
    guess.skipinitialspace = delim.second == spaces;
    guess.has_delim = true;  // never "\n": the patterns exclude it
  }
  guess.doublequote =
      DoubledQuoteTest(data, quotes_at, guess.has_delim, guess.delim).found(guess.quotechar);
  return guess;
}

// One line of data (without its "\n").
struct Line {
  Index begin, end;
};

// line.count(c) == line.count(c + ' '), the sniffer's skipinitialspace.
bool spaces_follow_every(const CodePoints& data, Line line, Py_UCS4 c) {
  long single = 0, with_space = 0;
  for (Index i = line.begin; i < line.end; ++i)
    if (data[i] == c) ++single;
  for (Index i = line.begin; i + 1 < line.end; ++i) {
    if (data[i] == c && data[i + 1] == ' ') {
      ++with_space;
      ++i;  // str.count does not count overlapping occurrences
    }
  }
  return single == with_space;
}

constexpr int kAscii = 127;  // the sniffer's candidates: chr(0) to chr(126)

// A character's mode as the sniffer computes it: (frequency, lines with it
// less all other lines).
struct Mode {
  long frequency;
  long lines;
};

// The sniffer's charFrequency over the lines of filter(None,
// data.split('\n')): for each candidate character, how many lines had it how
// many times. A line only visits the characters it has; the lines without a
// character are the lines not counted for it.
class FrequencyTables {
 public:
  FrequencyTables() { counts_.reserve(64); }

  // Counts the line that starts at `begin`, unless it is empty (the
  // sniffer's filter drops those); returns where it ends.
  Index add_line(const CodePoints& data, Index begin) {
    Index present = 0, end = begin;
    for (; end < data.size() && data[end] != '\n'; ++end) {
      Py_UCS4 c = data[end];
      if (c < kAscii && in_line_[c]++ == 0) present_[present++] = static_cast<std::uint8_t>(c);
    }
    if (end == begin) return end;
    if (lines_++ == 0) first_line_ = {begin, end};
    for (Index i = 0; i < present; ++i) {
      std::uint8_t c = present_[i];
      add_frequency(c, in_line_[c]);
      in_line_[c] = 0;
    }
    return end;
  }

  long lines() const { return lines_; }
  Line first_line() const { return first_line_; }

  // The characters any line had, in no particular order.
  Index seen_count() const { return seen_count_; }
  std::uint8_t seen(Index i) const { return seen_[i]; }

  // The sniffer's mode of c where it can make c a delimiter: a mode has both
  // parts positive only for a frequency other than 0 that more than half the
  // lines have. No other frequency ties with it, so neither the order of the
  // sniffer's keys nor the frequency 0 matters.
  bool positive_mode(std::uint8_t c, Mode& mode) const {
    for (Index e = first_[c]; e != kEnd; e = counts_[e].next) {
      long others = lines_ - counts_[e].lines;
      if (counts_[e].lines > others)
        return mode = {counts_[e].frequency, counts_[e].lines - others}, true;
    }
    return false;
  }

 private:
  static constexpr Index kEnd = static_cast<Index>(-1);

  // How many lines had a character `frequency` times, chained with the
  // character's other frequencies (in no particular order).
  struct FrequencyCount {
    long frequency;
    long lines;
    Index next;
  };

  void add_frequency(std::uint8_t c, long frequency) {
    for (Index e = first_[c]; e != kEnd; e = counts_[e].next)
      if (counts_[e].frequency == frequency) return void(++counts_[e].lines);
    if (first_[c] == kEnd) seen_[seen_count_++] = c;
    counts_.push_back({frequency, 1, first_[c]});
    first_[c] = counts_.size() - 1;
  }

  std::vector<FrequencyCount> counts_;
  std::array<Index, kAscii> first_ = make_first();  // each character's chain
  long lines_ = 0;
  Line first_line_{0, 0};
  std::array<long, kAscii> in_line_{};        // counts of the current line
  std::array<std::uint8_t, kAscii> present_;  // the characters of the current line
  std::array<std::uint8_t, kAscii> seen_;
  Index seen_count_ = 0;

  static std::array<Index, kAscii> make_first() {
    std::array<Index, kAscii> first;
    first.fill(kEnd);
    return first;
  }
};

// Sniffer._guess_delimiter(data, None): the frequency tables, evaluated in
// chunks of ten lines until some characters are consistent enough. Once the
// sniffer has delimiter candidates, later chunks change nothing: it only
// picks them while it has none.
class FrequencyVote {
 public:
  explicit FrequencyVote(const CodePoints& data) : data_(data) {}

  // Returns false when no delimiter is found.
  bool guess(Py_UCS4& delim, bool& skipinitialspace) {
    Index pos = 0;
    while (candidate_count_ == 0 && add_chunk(pos)) pick_consistent();
    if (candidate_count_ == 0) return false;
    if (candidate_count_ == 1) return answer(candidates_[0].character, delim, skipinitialspace);
    for (Py_UCS4 preferred : {',', '\t', ';', ' ', ':'})
      if (is_candidate(preferred)) return answer(preferred, delim, skipinitialspace);
    // The greatest (mode, character), as sorting the (value, key) items does.
    const Candidate* best = &candidates_[0];
    for (Index i = 1; i < candidate_count_; ++i)
      if (best->before(candidates_[i])) best = &candidates_[i];
    return answer(best->character, delim, skipinitialspace);
  }

 private:
  struct Candidate {
    Py_UCS4 character;
    Mode mode;
    double consistency;  // mode lines / lines
    // (mode, character) compared as the sniffer's tuples are.
    bool before(const Candidate& other) const {
      return std::tie(mode.frequency, mode.lines, character) <
             std::tie(other.mode.frequency, other.mode.lines, other.character);
    }
  };

  // Counts the next ten non-empty lines from pos on, fewer at the end;
  // false when none is left.
  bool add_chunk(Index& pos) {
    long before = tables_.lines();
    while (tables_.lines() - before < 10 && pos < data_.size())
      pos = tables_.add_line(data_, pos) + 1;
    return tables_.lines() > before;
  }

  bool answer(Py_UCS4 found, Py_UCS4& delim, bool& skipinitialspace) const {
    delim = found;
    skipinitialspace = spaces_follow_every(data_, tables_.first_line(), found);
    return true;
  }

  bool is_candidate(Py_UCS4 c) const {
    for (Index i = 0; i < candidate_count_; ++i)
      if (candidates_[i].character == c) return true;
    return false;
  }

  // The consistency threshold loop: from 1.0 down to 0.9 in the sniffer's
  // floating-point steps, the first level some modes reach takes all those
  // that reach it.
  void pick_consistent() {
    const double total = static_cast<double>(tables_.lines());
    Index count = 0;
    double best = -1;
    for (Index i = 0; i < tables_.seen_count(); ++i) {
      Candidate& candidate = candidates_[count];
      candidate.character = tables_.seen(i);
      if (!tables_.positive_mode(tables_.seen(i), candidate.mode)) continue;
      candidate.consistency = static_cast<double>(candidate.mode.lines) / total;
      best = std::max(best, candidate.consistency);
      ++count;
    }
    double consistency = 1.0;
    const double threshold = 0.9;
    while (consistency >= threshold && best < consistency) consistency -= 0.01;
    if (consistency < threshold) return;
    for (Index i = 0; i < count; ++i)
      if (candidates_[i].consistency >= consistency)
        candidates_[candidate_count_++] = candidates_[i];
  }

  const CodePoints& data_;
  FrequencyTables tables_;
  std::array<Candidate, kAscii> candidates_;  // the sniffer's delims
  Index candidate_count_ = 0;
};

// The code points of a str of one kind.
template <typename Unit>
CodePoints widened(const void* data, Py_ssize_t length) {
  const Unit* units = static_cast<const Unit*>(data);
  return CodePoints(units, units + length);
}

}  // namespace

CodePoints code_points_of(PyObject* text) {
  Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  const void* data = PyUnicode_DATA(text);
  switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
      return widened<Py_UCS1>(data, length);
    case PyUnicode_2BYTE_KIND:
      return widened<Py_UCS2>(data, length);
    default:
      return widened<Py_UCS4>(data, length);
  }
}

SniffedLayout sniff_layout(const CodePoints& sample) {
  QuoteGuess quoted = guess_quote_and_delimiter(sample);
  SniffedLayout layout;
  layout.has_quotechar = quoted.has_quotechar;
  layout.quotechar = quoted.quotechar;
  layout.doublequote = quoted.doublequote;
  if (quoted.has_delim) {
    layout.found = true;
    layout.delimiter = quoted.delim;
    layout.skipinitialspace = quoted.skipinitialspace;
    return layout;
  }
  layout.found = FrequencyVote(sample).guess(layout.delimiter, layout.skipinitialspace);
  return layout;
}

}  // namespace delimited
