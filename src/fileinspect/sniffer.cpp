#include "sniffer.hpp"

#include <algorithm>
#include <array>
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

// list(filter(None, data.split('\n')))
std::vector<Line> non_empty_lines(const CodePoints& data) {
  std::vector<Line> lines;
  Index begin = 0;
  for (Index i = 0; i <= data.size(); ++i) {
    if (i < data.size() && data[i] != '\n') continue;
    if (i > begin) lines.push_back({begin, i});
    begin = i + 1;
  }
  return lines;
}

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

// (frequency, rows), as the sniffer's mode tuples; compared as tuples.
using Mode = std::pair<long, long>;

// Sniffer._guess_delimiter(data, None): the frequency tables, evaluated in
// chunks of ten lines until exactly one character is consistent enough.
class FrequencyVote {
 public:
  explicit FrequencyVote(const CodePoints& data) : data_(data), lines_(non_empty_lines(data)) {}

  // Returns false when no delimiter is found.
  bool guess(Py_UCS4& delim, bool& skipinitialspace) {
    Index chunk = std::min<Index>(10, lines_.size());
    long iteration = 0;
    for (Index start = 0, end = chunk; start < lines_.size(); start = end, end += chunk) {
      ++iteration;
      count_chunk(start, std::min(end, lines_.size()));
      update_modes();
      double total = static_cast<double>(std::min<Index>(chunk * iteration, lines_.size()));
      pick_consistent(total);
      if (delims_.size() == 1)
        return answer(delims_.entries().front().first, delim, skipinitialspace);
    }
    if (delims_.empty()) return false;
    for (Py_UCS4 preferred : {',', '\t', ';', ' ', ':'})
      if (delims_.find(preferred)) return answer(preferred, delim, skipinitialspace);
    // The greatest (mode, character), as sorting the (value, key) items does.
    const auto* best = &delims_.entries().front();
    for (auto& entry : delims_.entries())
      if (std::make_pair(entry.second, entry.first) > std::make_pair(best->second, best->first))
        best = &entry;
    return answer(best->first, delim, skipinitialspace);
  }

 private:
  bool answer(Py_UCS4 found, Py_UCS4& delim, bool& skipinitialspace) const {
    delim = found;
    skipinitialspace = spaces_follow_every(data_, lines_.front(), found);
    return true;
  }

  void count_chunk(Index first, Index last) {
    for (Index l = first; l < last; ++l) {
      std::array<long, kAscii> counts{};
      for (Index i = lines_[l].begin; i < lines_[l].end; ++i)
        if (data_[i] < kAscii) ++counts[data_[i]];
      for (int c = 0; c < kAscii; ++c) ++frequencies_[c][counts[c]];
    }
  }

  void update_modes() {
    for (int c = 0; c < kAscii; ++c) {
      const auto& items = frequencies_[c].entries();
      if (items.size() == 1 && items[0].first == 0) continue;
      Mode mode = items[0];
      if (items.size() > 1) {
        long others = 0;
        Index best = 0;  // max(items, key=count): the first of the highest
        for (Index i = 1; i < items.size(); ++i)
          if (items[i].second > items[best].second) best = i;
        for (Index i = 0; i < items.size(); ++i)
          if (i != best) others += items[i].second;
        mode = {items[best].first, items[best].second - others};
      }
      modes_[static_cast<Py_UCS4>(c)] = mode;
    }
  }

  // The consistency threshold loop, in the same floating-point steps.
  void pick_consistent(double total) {
    double consistency = 1.0;
    const double threshold = 0.9;
    while (delims_.empty() && consistency >= threshold) {
      for (auto& entry : modes_.entries()) {
        const Mode& v = entry.second;
        if (v.first > 0 && v.second > 0 && static_cast<double>(v.second) / total >= consistency)
          delims_[entry.first] = v;
      }
      consistency -= 0.01;
    }
  }

  const CodePoints& data_;
  std::vector<Line> lines_;
  std::array<OrderedCounts<long, long>, kAscii> frequencies_;  // char -> {frequency: rows}
  OrderedCounts<Py_UCS4, Mode> modes_;
  OrderedCounts<Py_UCS4, Mode> delims_;
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
