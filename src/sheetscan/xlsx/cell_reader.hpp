// The cell that the XML worksheet pass is reading: its column, type and
// style, and the text of its value (<v>) or of its inline string (<is>).
// The value's text ends at its first child element; of a cell whose texts are
// not wanted, only enough is kept to check the value's spelling and to tell an
// empty inline string from another; of any cell, no more than its longest
// text. What was cut off is noted, so that no value is judged on a part of it.
#pragma once

#include <cstdint>
#include <string>

#include "sheetscan/limits.hpp"
#include "sheetscan/rows/cell.hpp"
#include "sheetscan/xlsx/cell_text.hpp"
#include "sheetscan/xlsx/rich_text.hpp"
#include "sheetscan/xml/xml_part.hpp"

namespace sheetscan {
namespace xlsx {

// Of a value not handed on, this much text is kept: enough to check its spelling.
constexpr size_t kKeptValueText = kLongestInteger + 8;

class CellReader {
 public:
  explicit CellReader(const std::string& main_namespace)
      : value_tag_(qualified(main_namespace, "v")), inline_tag_(qualified(main_namespace, "is")) {}

  // A cell starts; `type` is its "t" attribute (or null).
  void begin(uint64_t column, const char* type, long style, bool keep_texts) {
    column_ = column;
    type_ = cell_type_named(type);
    if (type_ == CellType::kOther) other_type_.assign(type);
    style_ = style;
    keep_texts_ = keep_texts;
    value_seen_ = collecting_value_ = inline_seen_ = value_cut_ = false;
    inline_depth_ = 0;
    value_text_.clear();
    rich_.clear();
    rich_.set_limit(keep_texts ? kMaxTextBytes : 1);
  }

  // A child element of the cell starts, at `depth` in the document: the
  // first <v> and the first <is> count.
  void start_child(const char* name, int depth) {
    collecting_value_ = false;
    if (!value_seen_ && value_tag_ == name) {
      value_seen_ = collecting_value_ = true;
    } else if (!inline_seen_ && inline_tag_ == name) {
      inline_seen_ = true;
      inline_depth_ = depth;
      rich_.clear();
    }
  }
  void end_child() {
    collecting_value_ = false;
    inline_depth_ = 0;
  }
  // An element deeper inside the cell starts or ends, at `depth` in the document.
  void start_descendant(const char* name, int depth) {
    collecting_value_ = false;
    if (inline_depth_) rich_.start(local_name(name), depth - inline_depth_);
  }
  void end_descendant(int depth) {
    if (inline_depth_) rich_.end(depth - inline_depth_);
  }

  void text(const char* data, int length) {
    if (collecting_value_) {
      size_t size = static_cast<size_t>(length);
      size_t kept = keep_texts_ ? kMaxTextBytes : kKeptValueText;
      if (value_text_.size() + size > kept) {
        size = value_text_.size() < kept ? kept - value_text_.size() : 0;
        value_cut_ = true;
      }
      value_text_.append(data, size);
    } else if (inline_depth_) {
      rich_.text(data, length);
    }
  }

  uint64_t column() const { return column_; }
  CellType type() const { return type_; }
  const std::string& other_type() const { return other_type_; }
  long style() const { return style_; }
  const std::string& value_text() const { return value_text_; }
  // Whether the value's text, or the inline string's, was longer than what was kept.
  bool value_cut() const { return value_cut_; }
  bool inline_cut() const { return rich_.cut(); }
  bool has_inline_text() const { return inline_seen_ && !rich_.empty(); }
  std::string inline_text() const { return rich_.content(); }

 private:
  std::string value_tag_, inline_tag_;
  uint64_t column_ = 0;
  CellType type_ = CellType::kNumber;
  std::string other_type_;
  long style_ = 0;
  bool keep_texts_ = false;
  bool value_seen_ = false, collecting_value_ = false, inline_seen_ = false, value_cut_ = false;
  int inline_depth_ = 0;  // of the <is> being read, 0 outside it
  std::string value_text_;
  RichText rich_;
};

}  // namespace xlsx
}  // namespace sheetscan
