#include "sheetscan/package/shared_strings.hpp"

#include "sheetscan/xlsb/parts.hpp"
#include "sheetscan/xlsx/rich_text.hpp"
#include "sheetscan/xml/xml_part.hpp"

namespace sheetscan {

namespace {

// How many leading entries, and how many bytes of them, are kept for the first rows.
constexpr size_t kKeptEntries = 4096;
constexpr size_t kKeptBytes = 1 << 20;
constexpr char kEscapedUnderscore[] = "x005F_";

// openpyxl reads each entry with text.replace("x005F_", "").
std::string unescaped(const std::string& text) {
  std::string result;
  size_t start = 0;
  for (size_t found; (found = text.find(kEscapedUnderscore, start)) != std::string::npos;) {
    result.append(text, start, found - start);
    start = found + sizeof kEscapedUnderscore - 1;
  }
  result.append(text, start, std::string::npos);
  return result;
}

// Calls `entry(index, text)` for each <si> of the table, text as openpyxl gives it.
template <typename Entry>
class TableHandler : public XmlHandler {
 public:
  TableHandler(const std::string& main_namespace, Entry entry)
      : entry_tag_(qualified(main_namespace, "si")), entry_(entry) {}
  bool start(const char* name, const char**) override {
    ++depth_;
    if (entry_depth_) {
      // openpyxl would count an entry inside an entry as one more string.
      if (entry_tag_ == name) return refuse("a shared string inside a shared string");
      text_.start(local_name(name), depth_ - entry_depth_);
      return true;
    }
    if (entry_tag_ == name) {
      entry_depth_ = depth_;
      text_.clear();
    }
    return true;
  }
  bool end(const char*) override {
    if (entry_depth_ && depth_ > entry_depth_) {
      text_.end(depth_ - entry_depth_);
    } else if (entry_depth_ == depth_) {
      entry_depth_ = 0;
      if (!entry_(index_++, unescaped(text_.content()))) return false;
    }
    --depth_;
    return true;
  }
  bool text(const char* data, int length) override {
    if (entry_depth_) text_.text(data, length);
    return true;
  }

 private:
  std::string entry_tag_;
  Entry entry_;
  RichText text_;
  int depth_ = 0;
  int entry_depth_ = 0;
  size_t index_ = 0;
};

template <typename Entry>
TableHandler<Entry> table_handler(const std::string& main_namespace, Entry entry) {
  return TableHandler<Entry>(main_namespace, entry);
}

}  // namespace

bool SharedStrings::read(const ZipArchive& archive, const std::string& part,
                         const std::string& main_namespace, bool binary) {
  part_ = part;
  main_namespace_ = main_namespace;
  binary_ = binary;
  if (part.empty()) return true;
  size_t kept_bytes = 0;
  auto keep = [&](size_t index, const std::string& text) {
    empty_.push_back(text.empty());
    if (index < kKeptEntries && kept_bytes + text.size() <= kKeptBytes && first_.size() == index) {
      kept_bytes += text.size();
      first_.push_back(text);
    }
    return true;
  };
  if (binary) {
    return read_binary_strings(archive, part,
                               [&](const std::string& text) { return keep(empty_.size(), text); });
  }
  auto handler = table_handler(main_namespace, keep);
  return parse_xml_member(archive, part, &handler);
}

bool SharedStrings::texts(const ZipArchive& archive, std::map<size_t, std::string>* wanted) const {
  size_t missing = 0;
  for (auto& entry : *wanted) {
    if (entry.first < first_.size()) {
      entry.second = first_[entry.first];
    } else {
      ++missing;
    }
  }
  if (missing == 0) return true;
  auto fill = [&](size_t index, const std::string& text) {
    auto found = wanted->find(index);
    if (found != wanted->end()) found->second = text;
    return true;
  };
  if (binary_) {
    size_t index = 0;
    return read_binary_strings(archive, part_,
                               [&](const std::string& text) { return fill(index++, text); });
  }
  auto handler = table_handler(main_namespace_, fill);
  return parse_xml_member(archive, part_, &handler);
}

}  // namespace sheetscan
