#include "sheetscan/rows/cell.hpp"

#include <climits>

#include "sheetscan/xlsx/rich_text.hpp"
#include "sheetscan/xml/xml_part.hpp"

namespace sheetscan {

namespace {

// Python's int() of more digits than this fails from 3.11 on (and is never sensible).
constexpr size_t kLongestInteger = 4000;
// Of a value not handed on, this much text is kept: enough to check its spelling.
constexpr size_t kKeptValueText = kLongestInteger + 8;
constexpr size_t kLongestRowNumber = 18;

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Digits only, as many as `longest`, into *value (saturating).
bool parse_digits(const char* text, size_t length, size_t longest, uint64_t* value) {
  if (length == 0 || length > longest) return false;
  uint64_t result = 0;
  for (size_t i = 0; i < length; ++i) {
    if (!is_digit(text[i])) return false;
    result = result > (UINT64_MAX - 9) / 10 ? UINT64_MAX : result * 10 + (text[i] - '0');
  }
  *value = result;
  return true;
}

// The spellings of numbers that openpyxl's _cast_number turns into an int or
// a float, limited to those written by spreadsheet programs:
// [+-] digits [. digits] [e [+-] digits], or [+-] . digits [e ...].
bool is_plain_number(const std::string& text) {
  size_t at = 0, size = text.size();
  if (at < size && (text[at] == '+' || text[at] == '-')) ++at;
  size_t integer_digits = 0, fraction_digits = 0;
  while (at < size && is_digit(text[at])) ++at, ++integer_digits;
  bool is_float = false;
  if (at < size && text[at] == '.') {
    is_float = true;
    ++at;
    while (at < size && is_digit(text[at])) ++at, ++fraction_digits;
  }
  if (integer_digits + fraction_digits == 0) return false;
  if (at < size && (text[at] == 'e' || text[at] == 'E')) {
    is_float = true;
    ++at;
    if (at < size && (text[at] == '+' || text[at] == '-')) ++at;
    size_t exponent_digits = 0;
    while (at < size && is_digit(text[at])) ++at, ++exponent_digits;
    if (exponent_digits == 0) return false;
  }
  return at == size && (is_float || integer_digits <= kLongestInteger);
}

bool is_plain_integer(const std::string& text) {
  size_t sign = !text.empty() && (text[0] == '+' || text[0] == '-') ? 1 : 0;
  uint64_t ignored;
  return parse_digits(text.data() + sign, text.size() - sign, kLongestInteger, &ignored);
}

// Column of a cell reference such as "B12" (letters, then the row's digits).
bool reference_column(const char* reference, uint64_t* column) {
  size_t letters = 0;
  uint64_t result = 0;
  for (; letters < 3; ++letters) {
    char c = reference[letters];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c < 'A' || c > 'Z') break;
    result = result * 26 + static_cast<uint64_t>(c - 'A' + 1);
  }
  uint64_t row;
  const char* digits = reference + letters;
  if (letters == 0 || !parse_digits(digits, std::strlen(digits), kLongestRowNumber, &row)) {
    return false;
  }
  *column = result;
  return true;
}

class SheetHandler : public XmlHandler {
 public:
  SheetHandler(const std::string& sheet_name, const std::string& main_namespace,
               const SharedStrings& strings, RowSink* sink)
      : sheet_name_(sheet_name),
        row_tag_(qualified(main_namespace, "row")),
        value_tag_(qualified(main_namespace, "v")),
        inline_tag_(qualified(main_namespace, "is")),
        strings_(strings),
        sink_(sink) {}

  bool start(const char* name, const char** attributes) override {
    if (stopped_) return true;
    ++depth_;
    if (!row_depth_) return row_tag_ == name ? begin_row(attributes) : true;
    if (row_tag_ == name) return refuse("%s: a row inside a row", sheet_name_.c_str());
    int below_row = depth_ - row_depth_;
    if (below_row == 1) return begin_cell(attributes);
    if (below_row == 2) {
      collecting_value_ = false;
      if (!value_seen_ && value_tag_ == name) {
        value_seen_ = collecting_value_ = true;
      } else if (!inline_seen_ && inline_tag_ == name) {
        inline_seen_ = true;
        inline_depth_ = depth_;
        rich_.clear();
      }
      return true;
    }
    collecting_value_ = false;  // the value's text ends at its first child element
    if (inline_depth_) rich_.start(local_name(name), depth_ - inline_depth_);
    return true;
  }

  bool end(const char*) override {
    if (stopped_) return true;
    bool ok = true;
    if (row_depth_) {
      int below_row = depth_ - row_depth_;
      if (below_row == 0) {
        ok = end_row();
      } else if (below_row == 1) {
        ok = end_cell();
      } else if (below_row == 2) {
        collecting_value_ = false;
        inline_depth_ = 0;
      } else if (inline_depth_) {
        rich_.end(depth_ - inline_depth_);
      }
    }
    --depth_;
    return ok;
  }

  bool text(const char* data, int length) override {
    if (stopped_) return true;
    if (collecting_value_) {
      size_t size = static_cast<size_t>(length);
      if (!keep_texts_ && value_text_.size() + size > kKeptValueText) {
        size = value_text_.size() < kKeptValueText ? kKeptValueText - value_text_.size() : 0;
      }
      value_text_.append(data, size);
    } else if (inline_depth_) {
      rich_.text(data, length);
    }
    return true;
  }

  bool finished() const override { return stopped_; }

 private:
  bool begin_row(const char** attributes) {
    const char* number = attribute(attributes, "r");
    if (number) {
      if (!parse_digits(number, std::strlen(number), kLongestRowNumber, &row_number_)) {
        return refuse("%s: row number %.40s", sheet_name_.c_str(), number);
      }
    } else {
      ++row_number_;
    }
    row_depth_ = depth_;
    column_counter_ = 0;
    row_width_ = 0;
    filled_count_ = 0;
    keep_texts_ = sink_->wants_texts();
    rich_.set_limit(keep_texts_ ? static_cast<size_t>(-1) : 1);
    return true;
  }

  bool begin_cell(const char** attributes) {
    const char* type = attribute(attributes, "t");
    const char* style = attribute(attributes, "s");
    const char* reference = attribute(attributes, "r");
    uint64_t style_id = 0;
    // An empty "s" is left to openpyxl, which keeps it as text rather than style 0.
    if (style && !parse_digits(style, std::strlen(style), kLongestInteger, &style_id)) {
      return refuse("%s: style id %.40s", sheet_name_.c_str(), style);
    }
    uint64_t column = column_counter_ + 1;
    if (reference && *reference && !reference_column(reference, &column)) {
      return refuse("%s: cell reference %.40s", sheet_name_.c_str(), reference);
    }
    if (row_width_ && column <= row_width_) {
      return refuse("%s: cells out of column order in row %llu", sheet_name_.c_str(),
                    static_cast<unsigned long long>(row_number_));
    }
    column_counter_ = row_width_ = column;
    cell_type_.assign(type ? type : "n");
    cell_style_ =
        style_id > static_cast<uint64_t>(LONG_MAX) ? LONG_MAX : static_cast<long>(style_id);
    value_seen_ = collecting_value_ = inline_seen_ = false;
    inline_depth_ = 0;
    value_text_.clear();
    rich_.clear();
    return true;
  }

  // Whether the cell just ended holds a value, refusing values openpyxl fails on.
  bool cell_is_filled(bool* filled, size_t* shared_index) {
    *filled = false;
    if (cell_type_ == "inlineStr") {
      *filled = inline_seen_ && !rich_.empty();
      return true;
    }
    if (value_text_.empty()) return true;
    *filled = true;
    if (cell_type_ == "n") {
      if (!is_plain_number(value_text_))
        return refuse("%s: number %.40s", sheet_name_.c_str(), value_text_.c_str());
    } else if (cell_type_ == "s") {
      uint64_t index;
      if (!parse_digits(value_text_.data(), value_text_.size(), kLongestInteger, &index) ||
          index >= strings_.size()) {
        return refuse("%s: shared string index %.40s", sheet_name_.c_str(), value_text_.c_str());
      }
      *shared_index = static_cast<size_t>(index);
      *filled = !strings_.is_empty(*shared_index);
    } else if (cell_type_ == "b") {
      if (!is_plain_integer(value_text_))
        return refuse("%s: boolean %.40s", sheet_name_.c_str(), value_text_.c_str());
    } else if (cell_type_ == "d") {
      return refuse("%s: ISO dates are left to openpyxl", sheet_name_.c_str());
    }
    return true;
  }

  bool end_cell() {
    bool filled;
    size_t shared_index = 0;
    if (!cell_is_filled(&filled, &shared_index)) return false;
    if (!filled) return true;
    if (filled_count_ == filled_.size()) filled_.emplace_back();
    Cell& cell = filled_[filled_count_++];
    cell.column = row_width_;
    cell.style = cell_style_;
    cell.shared_index = shared_index;
    if (keep_texts_) {
      cell.type = cell_type_;
      cell.text = cell_type_ == "inlineStr" ? rich_.content() : value_text_;
    }
    return true;
  }

  bool end_row() {
    row_depth_ = 0;
    if (row_number_ < next_row_) return true;  // openpyxl drops rows that go backwards
    if (row_number_ > kMaxRows || row_width_ > kMaxColumns) {
      return refuse("worksheet %s holds cells beyond XFD1048576", sheet_name_.c_str());
    }
    next_row_ = row_number_ + 1;
    if (row_width_ == 0) return true;
    filled_.resize(filled_count_);
    if (!sink_->row(row_number_, filled_)) stopped_ = true;
    return true;
  }

  const std::string& sheet_name_;
  std::string row_tag_, value_tag_, inline_tag_;
  const SharedStrings& strings_;
  RowSink* sink_;
  bool stopped_ = false;
  int depth_ = 0;
  int row_depth_ = 0;  // of the row being read, 0 outside rows
  uint64_t row_number_ = 0;
  uint64_t next_row_ = 1;
  uint64_t column_counter_ = 0;
  uint64_t row_width_ = 0;
  bool keep_texts_ = false;
  std::vector<Cell> filled_;
  size_t filled_count_ = 0;
  // The cell being read.
  std::string cell_type_;
  long cell_style_ = 0;
  bool value_seen_ = false, collecting_value_ = false, inline_seen_ = false;
  int inline_depth_ = 0;
  std::string value_text_;
  RichText rich_;
};

}  // namespace

bool scan_sheet(const ZipArchive& archive, const std::string& part, const std::string& sheet_name,
                const std::string& main_namespace, const SharedStrings& strings, RowSink* sink) {
  SheetHandler handler(sheet_name, main_namespace, strings, sink);
  return parse_xml_member(archive, part, &handler);
}

}  // namespace sheetscan
