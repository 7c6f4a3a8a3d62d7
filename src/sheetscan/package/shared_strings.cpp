#include "sheetscan/package/shared_strings.hpp"

#include <algorithm>

#include "sheetscan/limits.hpp"
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

bool SharedStrings::add(ScanContext& context, const std::string& text, bool cut) {
  size_t index = empty_.size();
  if (index == kMaxSharedStrings) {
    return context.reject("the shared string table holds more than %zu entries", kMaxSharedStrings);
  }
  // Of a text cut short, only what was kept tells whether it is empty.
  if (cut && text.empty()) {
    return context.unsupported("shared string %zu is too long to tell whether it is empty", index);
  }
  bool too_long = cut || text.size() > kMaxTextBytes;
  if (too_long) too_long_.push_back(index);
  empty_.push_back(text.empty());
  if (index < kKeptEntries && !too_long && kept_bytes_ + text.size() <= kKeptBytes &&
      first_.size() == index) {
    kept_bytes_ += text.size();
    first_.push_back(text);
  }
  return true;
}

bool SharedStrings::read(const ZipArchive& archive, const std::string& part,
                         const std::string& main_namespace, bool binary) {
  part_ = part;
  main_namespace_ = main_namespace;
  binary_ = binary;
  if (part.empty()) return true;
  ScanContext& context = archive.context();
  return read_table(archive,
                    [&](const std::string& text, bool cut) { return add(context, text, cut); });
}

bool SharedStrings::texts(const ZipArchive& archive, SharedTexts* wanted) const {
  size_t missing = 0;
  size_t bytes = 0;
  for (auto& entry : *wanted) {
    if (std::binary_search(too_long_.begin(), too_long_.end(), entry.first)) {
      return archive.context().unsupported(
          "shared string %zu is longer than the scanner keeps (%zu bytes)", entry.first,
          kMaxTextBytes);
    }
    if (entry.first < first_.size()) {
      entry.second = first_[entry.first];
    } else {
      ++missing;
    }
  }
  if (missing == 0) return true;
  size_t index = 0;
  return read_table(archive, [&](const std::string& text, bool) {
    auto found = wanted->find(index++);
    if (found == wanted->end()) return true;
    bytes += text.size();
    if (bytes > kMaxKeptTextBytes) {
      return archive.context().reject("the first rows use more than %zu bytes of shared strings",
                                      kMaxKeptTextBytes);
    }
    found->second = text;
    return true;
  });
}

}  // namespace sheetscan
