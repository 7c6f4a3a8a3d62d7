#include "sheetscan/package/shared_strings.hpp"

#include "sheetscan/xlsb/parts.hpp"
#include "sheetscan/xlsx/parts.hpp"

namespace sheetscan {

namespace {

// How many leading entries, and how many bytes of them, are kept for the first rows.
constexpr size_t kKeptEntries = 4096;
constexpr size_t kKeptBytes = 1 << 20;

}  // namespace

bool SharedStrings::read_table(const ZipArchive& archive, const StringVisitor& visit) const {
  if (binary_) return xlsb::read_strings(archive, part_, visit);
  return xlsx::read_strings(archive, part_, main_namespace_, visit);
}

bool SharedStrings::read(const ZipArchive& archive, const std::string& part,
                         const std::string& main_namespace, bool binary) {
  part_ = part;
  main_namespace_ = main_namespace;
  binary_ = binary;
  if (part.empty()) return true;
  size_t kept_bytes = 0;
  return read_table(archive, [&](const std::string& text) {
    size_t index = empty_.size();
    empty_.push_back(text.empty());
    if (index < kKeptEntries && kept_bytes + text.size() <= kKeptBytes && first_.size() == index) {
      kept_bytes += text.size();
      first_.push_back(text);
    }
  });
}

bool SharedStrings::texts(const ZipArchive& archive, SharedTexts* wanted) const {
  size_t missing = 0;
  for (auto& entry : *wanted) {
    if (entry.first < first_.size()) {
      entry.second = first_[entry.first];
    } else {
      ++missing;
    }
  }
  if (missing == 0) return true;
  size_t index = 0;
  return read_table(archive, [&](const std::string& text) {
    auto found = wanted->find(index++);
    if (found != wanted->end()) found->second = text;
  });
}

}  // namespace sheetscan
