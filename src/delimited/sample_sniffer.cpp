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

constexpr Index kNoQuote = static_cast<Index>(-1);

// For the positions of one quote character Q, in order: for each, the index
// (among them) of the quote that closes the possessive body (?:QQ|(?!Q).)*+
// of a field opened on it, or kNoQuote. The body takes pairs of Q and any
// other character, so it ends at the last Q of the first run of Qs after the
// opening (the rest of the opening's own run counted as one) of odd length.
std::vector<Index> possessive_closings_among(const std::vector<Index>& at) {
  std::vector<Index> closing(at.size(), kNoQuote);
  Index odd_run_last = kNoQuote;  // that of the first odd run after the run being walked
  for (Index end = at.size(); end > 0;) {
    Index last = end - 1, first = last;
    while (first > 0 && at[first - 1] + 1 == at[first]) --first;
    for (Index k = first; k <= last; ++k) closing[k] = (last - k) % 2 == 1 ? last : odd_run_last;
    if ((last - first) % 2 == 0) odd_run_last = last;
    end = first;
  }
  return closing;
}

// The same for every quote of `quotes` (either character), as indices into it.
std::vector<Index> possessive_closings(const CodePoints& text, const std::vector<Index>& quotes) {
  std::vector<Index> closing(quotes.size(), kNoQuote);
  for (Py_UCS4 quote : {Py_UCS4{'"'}, Py_UCS4{'\''}}) {
    std::vector<Index> ids, at;  // this character's quotes: their indices and positions
    for (Index q = 0; q < quotes.size(); ++q) {
      if (text[quotes[q]] != quote) continue;
      ids.push_back(q);
      at.push_back(quotes[q]);
    }
    std::vector<Index> among = possessive_closings_among(at);
    for (Index k = 0; k < ids.size(); ++k)
      if (among[k] != kNoQuote) closing[ids[k]] = ids[among[k]];
  }
  return closing;
}

// regexp.findall(data) for the sniffer's quote patterns: leftmost matches,
// each search resuming where the last match ended. As every match opens on a
// quote, the search steps from quote to quote. A lazy body `.*?` ends at the
// first quote the rest of the pattern accepts; a possessive one
// (`closings`, from possessive_closings) at one quote, which the rest of
// the pattern accepts or the match fails.
class QuotePatterns {
 public:
  QuotePatterns(const CodePoints& text, const std::vector<Index>& quotes,
                const std::vector<Index>* closings)
      : text_(text), length_(text.size()), quotes_(quotes), closings_(closings) {}

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
        Index end;
        Index closing = closings_ ? close_possessive(pattern.closing, q, match, end)
                                  : close_lazy(pattern.closing, q, match, end, failed);
        if (closing == kNoQuote) continue;
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
  // allows: the index in quotes_ of the closing quote (kNoQuote if none),
  // with the match's remaining groups and its end set.
  Index close_lazy(Closing closing, Index q, QuoteMatch& match, Index& end,
                   FailedClosings& failed) const {
    if (failed.contains(match)) return kNoQuote;
    for (Index c = q + 1; c < quotes_.size(); ++c)
      if (text_[quotes_[c]] == match.quote && closes_at(closing, quotes_[c] + 1, match, end))
        return c;
    failed.add(match);
    return kNoQuote;
  }

  // The possessive body's one closing quote, when the closing accepts what
  // follows it.
  Index close_possessive(Closing closing, Index q, QuoteMatch& match, Index& end) const {
    Index c = (*closings_)[q];
    return c != kNoQuote && closes_at(closing, quotes_[c] + 1, match, end) ? c : kNoQuote;
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
  const std::vector<Index>* closings_;  // null for lazy bodies
};

// Whether the older sniffers' dq_regexp finds a match:
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

// Whether the doubled-quote test of the newer sniffers finds a doubled quote:
//   (?:(?<=D)|^)S Q((?:QQ|[^Q]++)*+)Q(?:D|$)   (MULTILINE; S is ' *+', or
//   nothing when D is a space)
// true when the body of a match, in finditer's order, holds a quote (quotes
// come in pairs there). A match opens on a quote, reached from D or a line
// start over the spaces S takes, and its body ends where a possessive body
// opened on that quote does (possessive_closings_among).
bool whole_field_doubled_quote(const CodePoints& text, const std::vector<Index>& quotes,
                               Py_UCS4 delim, Py_UCS4 quote) {
  std::vector<Index> at;  // the positions of Q
  for (Index position : quotes)
    if (text[position] == quote) at.push_back(position);
  const std::vector<Index> closing = possessive_closings_among(at);
  Index pos = 0;  // where the search goes on
  for (Index k = 0; k < at.size(); ++k) {
    Index start = at[k];  // S takes every space before the quote, or none
    if (delim != ' ')
      while (start > 0 && text[start - 1] == ' ') --start;
    bool opens = start == 0 || text[start - 1] == '\n' || text[start - 1] == delim;
    if (start < pos || !opens || closing[k] == kNoQuote) continue;
    Index after = at[closing[k]] + 1;
    if (after < text.size() && text[after] != '\n' && text[after] != delim) continue;
    if (closing[k] - k >= 2) return true;
    pos = after < text.size() && text[after] == delim ? after + 1 : after;
    k = closing[k];
  }
  return false;
}

// Sniffer._guess_quote_and_delimiter(data, None).
struct QuoteGuess {
  bool has_quotechar = false;
  Py_UCS4 quotechar = 0;
  bool doublequote = false;
  bool has_delim = false;
  Py_UCS4 delim = 0;
  bool skipinitialspace = false;
};

QuoteGuess guess_quote_and_delimiter(const CodePoints& data, const SnifferRules& rules) {
  QuoteGuess guess;
  std::vector<Index> quotes_at = quote_positions(data);
  std::vector<Index> closings;
  if (rules.possessive_quote_bodies) closings = possessive_closings(data, quotes_at);
  OrderedCounts<Py_UCS4, long> quotes, delims;
  long spaces = 0;
  auto tally = [&](const QuoteMatch& match) {
    ++quotes[match.quote];
    if (!match.has_delim) return;  // the pattern has no delimiter group
    ++delims[match.delim];
    if (match.space) ++spaces;
  };
  const std::vector<Index>* possessive = rules.possessive_quote_bodies ? &closings : nullptr;
  if (!QuotePatterns(data, quotes_at, possessive).first_matching(tally)) return guess;
  guess.has_quotechar = true;
  guess.quotechar = first_of_most(quotes).first;
  if (!delims.empty()) {
    const auto& delim = first_of_most(delims);
    guess.delim = delim.first;
    guess.skipinitialspace = delim.second == spaces;
    guess.has_delim = true;  // never "\n": the patterns exclude it
  }
  if (!rules.whole_field_doublequote)
    guess.doublequote =
        DoubledQuoteTest(data, quotes_at, guess.has_delim, guess.delim).found(guess.quotechar);
  else if (guess.has_delim)
    guess.doublequote = whole_field_doubled_quote(data, quotes_at, guess.delim, guess.quotechar);
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

// The sniffer's candidates are the characters below the first it does not
// count: chr(127) (U+007F) where it takes chr(0) to chr(126), 128 where it
// takes what str.isascii() accepts.
constexpr int kAscii = 128;

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
  explicit FrequencyTables(Py_UCS4 candidates_end) : candidates_end_(candidates_end) {
    counts_.reserve(64);
  }

  // Counts the line that starts at `begin`, unless it is empty (the
  // sniffer's filter drops those); returns where it ends.
  Index add_line(const CodePoints& data, Index begin) {
    Index present = 0, end = begin;
    for (; end < data.size() && data[end] != '\n'; ++end) {
      Py_UCS4 c = data[end];
      if (c < candidates_end_ && in_line_[c]++ == 0)
        present_[present++] = static_cast<std::uint8_t>(c);
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

  Py_UCS4 candidates_end_;
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
  FrequencyVote(const CodePoints& data, Py_UCS4 candidates_end)
      : data_(data), tables_(candidates_end) {}

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

// sample.replace('\r\n', '\n').replace('\r', '\n').
CodePoints with_line_feeds_only(const CodePoints& sample) {
  CodePoints text;
  text.reserve(sample.size());
  for (Index i = 0; i < sample.size(); ++i) {
    if (sample[i] == '\r' && i + 1 < sample.size() && sample[i + 1] == '\n') continue;
    text.push_back(sample[i] == '\r' ? '\n' : sample[i]);
  }
  return text;
}

SniffedLayout guess_layout(const CodePoints& data, const SnifferRules& rules) {
  QuoteGuess quoted = guess_quote_and_delimiter(data, rules);
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
  const Py_UCS4 candidates_end = rules.delete_is_candidate ? 128 : 127;
  layout.found =
      FrequencyVote(data, candidates_end).guess(layout.delimiter, layout.skipinitialspace);
  return layout;
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

SniffedLayout sniff_layout(const CodePoints& sample, const SnifferRules& rules) {
  if (rules.normalises_line_ends && std::find(sample.begin(), sample.end(), '\r') != sample.end())
    return guess_layout(with_line_feeds_only(sample), rules);
  return guess_layout(sample, rules);
}

}  // namespace delimited
