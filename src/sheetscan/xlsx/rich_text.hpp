// The text of a shared string (<si>) or an inline string (<is>) as openpyxl
// reads it: the last direct <t> child, followed by the last <t> of each <r>
// run, children matched by local name whatever their namespace; a <t>
// contributes its text up to its first child element. Phonetic runs are left out.
#pragma once

#include <cstring>
#include <string>

namespace sheetscan {

class RichText {
 public:
  void clear() {
    plain_.clear();
    runs_.clear();
    cut_ = false;
    depth_ = 0;
    target_ = nullptr;
  }
  // An element started at `depth` below the container (1 = direct child).
  void start(const char* local, int depth) {
    depth_ = depth;
    target_ = nullptr;
    if (depth == 1) {
      in_run_ = std::strcmp(local, "r") == 0;
      if (std::strcmp(local, "t") == 0) target_ = &plain_;
    } else if (depth == 2 && in_run_ && std::strcmp(local, "t") == 0) {
      target_ = &run_text_;
    }
    if (target_) target_->clear();
    text_depth_ = target_ ? depth : -1;
  }
  void end(int depth) {
    if (depth == 1 && in_run_) {
      append(&runs_, run_text_.data(), run_text_.size());
      run_text_.clear();
      in_run_ = false;
    }
    target_ = nullptr;  // text after a child element of <t> is not part of it
    depth_ = depth - 1;
  }
  void text(const char* data, int length) {
    if (target_ && depth_ == text_depth_) append(target_, data, static_cast<size_t>(length));
  }
  // Keeps at most `limit` bytes of each piece and of all runs together
  // (enough to tell empty from not, or a cell's longest text).
  void set_limit(size_t limit) { limit_ = limit; }
  std::string content() const { return plain_ + runs_; }
  bool empty() const { return plain_.empty() && runs_.empty(); }
  // Whether some of the text was not kept.
  bool cut() const { return cut_; }

 private:
  void append(std::string* piece, const char* data, size_t length) {
    size_t room = piece->size() < limit_ ? limit_ - piece->size() : 0;
    if (length > room) {
      cut_ = true;
      length = room;
    }
    piece->append(data, length);
  }

  std::string plain_;
  std::string runs_;
  std::string run_text_;
  std::string* target_ = nullptr;
  int depth_ = 0;
  int text_depth_ = -1;
  bool in_run_ = false;
  bool cut_ = false;
  size_t limit_ = static_cast<size_t>(-1);
};

}  // namespace sheetscan
