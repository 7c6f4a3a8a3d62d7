#include "sniffer.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <tuple>
#include <utility>

namespace fileinspect {

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
template <typename Key, typename Value>
class OrderedCounts {
 public:
  Value& operator[](Key key) {
    for (auto& entry : entries_)
      if (entry.first == key) return entry.second;
    entries_.emplace_back(key, Value{});
    return entries_.back().second;
  }
  const Value* find(Key key) const {
    for (auto& entry : entries_)
      if (entry.first == key) return &entry.second;
    return nullptr;
  }
  const std::vector<std::pair<Key, Value>>& entries() const { return entries_; }
  bool empty() const { return entries_.empty(); }
  Index size() const { return entries_.size(); }

 private:
  std::vector<std::pair<Key, Value>> entries_;
};

// max(counts, key=counts.get): the first key with the highest count.
template <typename Key>
Key first_of_most(const OrderedCounts<Key, long>& counts) {
  const auto* best = &counts.entries().front();
  for (auto& entry : counts.entries())
    if (entry.second > best->second) best = &entry;
  return best->first;
}

// One match of the quote patterns: the groups `quote`, `delim`, `space`.
struct QuoteMatch {
  Py_UCS4 quote;
  bool has_delim;
  Py_UCS4 delim;
  bool space;
};

// How the text of a quoted field may end in each pattern.
enum class Closing { delimiter_same, delimiter_any, line_end };

class QuotePatterns {
 public:
  explicit QuotePatterns(const CodePoints& s) : s_(s), n_(s.size()) {}

  // regexp.findall(data) for the four patterns, tried in order until one matches.
  std::vector<QuoteMatch> first_matching() const {
    for (int pattern = 0; pattern < 4; ++pattern) {
      std::vector<QuoteMatch> found = find_all(pattern);
      if (!found.empty()) return found;
    }
    return {};
  }

 private:
  // findall: leftmost matches, each search starting where the last match ended.
  std::vector<QuoteMatch> find_all(int pattern) const {
    std::vector<QuoteMatch> found;
    Index pos = 0;
    while (pos < n_) {
      Index end = 0;
      QuoteMatch match{};
      Index start = pos;
      while (start < n_ && !match_at(pattern, start, match, end)) ++start;
      if (start >= n_) break;
      found.push_back(match);
      pos = end;
    }
    return found;
  }

  bool match_at(int pattern, Index i, QuoteMatch& match, Index& end) const {
    switch (pattern) {
      case 0:  // (?P<delim>[^\w\n"\'])(?P<space> ?)(?P<quote>["\']).*?(?P=quote)(?P=delim)
        return after_delimiter(i, Closing::delimiter_same, match, end);
      case 1:  // (?:^|\n)(?P<quote>["\']).*?(?P=quote)(?P<delim>[^\w\n"\'])(?P<space> ?)
        return at_line_start(i, Closing::delimiter_any, match, end);
      case 2:  // (?P<delim>[^\w\n"\'])(?P<space> ?)(?P<quote>["\']).*?(?P=quote)(?:$|\n)
        return after_delimiter(i, Closing::line_end, match, end);
      default:  // (?:^|\n)(?P<quote>["\']).*?(?P=quote)(?:$|\n)
        return at_line_start(i, Closing::line_end, match, end);
    }
  }

  // A delimiter at i, an optional space (tried first), then the opening quote.
  bool after_delimiter(Index i, Closing closing, QuoteMatch& match, Index& end) const {
    if (!is_delimiter_candidate(s_[i])) return false;
    Index open = i + 1;
    bool space = false;
    if (open < n_ && s_[open] == ' ') {
      // Without the space the quote would have to be this space: no match.
      if (open + 1 >= n_ || !is_quote(s_[open + 1])) return false;
      space = true;
      ++open;
    } else if (open >= n_ || !is_quote(s_[open])) {
      return false;
    }
    match = {s_[open], true, s_[i], space};
    return close_quote(open, closing, match, end);
  }

  // `^` (tried first) or a line break at i, then the opening quote.
  bool at_line_start(Index i, Closing closing, QuoteMatch& match, Index& end) const {
    Index open;
    if ((i == 0 || s_[i - 1] == '\n') && is_quote(s_[i]))
      open = i;
    else if (s_[i] == '\n' && i + 1 < n_ && is_quote(s_[i + 1]))
      open = i + 1;
    else
      return false;
    match = {s_[open], false, 0, false};
    return close_quote(open, closing, match, end);
  }

  // The shortest `.*?` after the opening quote that the closing allows.
  bool close_quote(Index open, Closing closing, QuoteMatch& match, Index& end) const {
    for (Index k = open + 1; k < n_; ++k) {
      if (s_[k] != match.quote) continue;
      Index after = k + 1;
      switch (closing) {
        case Closing::delimiter_same:
          if (after < n_ && s_[after] == match.delim) return end = after + 1, true;
          break;
        case Closing::delimiter_any:
          if (after < n_ && is_delimiter_candidate(s_[after])) {
            match.has_delim = true;
            match.delim = s_[after];
            match.space = after + 1 < n_ && s_[after + 1] == ' ';
            end = after + 1 + (match.space ? 1 : 0);
            return true;
          }
          break;
        case Closing::line_end:  // `$` matches before the line break: it is not consumed
          if (after == n_ || s_[after] == '\n') return end = after, true;
          break;
      }
    }
    return false;
  }

  const CodePoints& s_;
  Index n_;
};

// Whether dq_regexp finds a match:
//   ((D)|^)\W*Q[^D\n]*Q[^D\n]*Q\W*((D)|$)   (MULTILINE; D empty when no delimiter)
// Three quotes in one stretch free of D and line breaks, the first reached
// from D or a line start over non-word characters, the last followed by
// non-word characters up to D, a line break or the end.
class DoubledQuoteTest {
 public:
  DoubledQuoteTest(const CodePoints& s, bool has_delim, Py_UCS4 delim)
      : s_(s), n_(s.size()), has_delim_(has_delim), delim_(delim) {}

  bool found(Py_UCS4 quote) const {
    std::vector<Index> quotes;  // positions of the quote in the current stretch
    for (Index i = 0; i <= n_; ++i) {
      if (i == n_ || breaks_stretch(s_[i])) {
        if (stretch_matches(quotes)) return true;
        quotes.clear();
      } else if (s_[i] == quote) {
        quotes.push_back(i);
      }
    }
    return false;
  }

 private:
  bool breaks_stretch(Py_UCS4 c) const { return c == '\n' || (has_delim_ && c == delim_); }

  bool stretch_matches(const std::vector<Index>& quotes) const {
    if (quotes.size() < 3) return false;
    Index first = 0;
    while (first < quotes.size() && !opens(quotes[first])) ++first;
    Index last = quotes.size();
    while (last > 0 && !closes(quotes[last - 1])) --last;
    return last > 0 && first < quotes.size() && last - 1 >= first + 2;
  }

  // ((D)|^)\W* can end just before `at`.
  bool opens(Index at) const {
    if (!has_delim_) return true;  // the empty group matches anywhere
    Index i = at;
    while (i > 0 && !is_word(s_[i - 1])) {
      if (breaks_stretch(s_[i - 1])) return true;
      --i;
    }
    return i == 0;
  }

  // \W*((D)|$) can start just after `at`.
  bool closes(Index at) const {
    if (!has_delim_) return true;
    Index i = at + 1;
    for (; i < n_ && !is_word(s_[i]); ++i)
      if (breaks_stretch(s_[i])) return true;
    return i == n_;
  }

  const CodePoints& s_;
  Index n_;
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
  std::vector<QuoteMatch> matches = QuotePatterns(data).first_matching();
  if (matches.empty()) return guess;
  OrderedCounts<Py_UCS4, long> quotes, delims;
  long spaces = 0;
  for (const QuoteMatch& m : matches) {
    ++quotes[m.quote];
    if (!m.has_delim) continue;  // the pattern has no delimiter group
    ++delims[m.delim];
    if (m.space) ++spaces;
  }
  guess.has_quotechar = true;
  guess.quotechar = first_of_most(quotes);
  if (!delims.empty()) {
    guess.delim = first_of_most(delims);
    guess.skipinitialspace = *delims.find(guess.delim) == spaces;
    guess.has_delim = true;  // never "\n": the patterns exclude it
  }
  guess.doublequote = DoubledQuoteTest(data, guess.has_delim, guess.delim).found(guess.quotechar);
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

}  // namespace

CodePoints code_points_of(PyObject* text) {
  Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  CodePoints points(static_cast<Index>(length));
  for (Py_ssize_t i = 0; i < length; ++i)
    points[static_cast<Index>(i)] = PyUnicode_READ(kind, data, i);
  return points;
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

}  // namespace fileinspect
