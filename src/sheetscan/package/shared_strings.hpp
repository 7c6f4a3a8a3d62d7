// What a scan needs of the shared string table: which entries are empty (one
// bit each), which are longer than a cell's text may be, the first entries'
// texts, and on demand the texts of a few others read in a second pass; never
// the whole table, and no text beyond a cell's longest.
#pragma once

#include "sheetscan/zip/zip_archive.hpp"

#include "sheetscan/package/part_contents.hpp"

#include <map>
#include <string>
#include <vector>

namespace sheetscan {

// Texts of shared strings by index, filled in on demand.
using SharedTexts = std::map<size_t, std::string>;

class SharedStrings {
 public:
  // Reads the part `part` (none when empty): records when `binary`, else XML of `main_namespace`.
  bool read(const ZipArchive& archive, const std::string& part, const std::string& main_namespace,
            bool binary);
  size_t size() const { return empty_.size(); }
  bool is_empty(size_t index) const { return empty_[index]; }
  // Fills in the text of each index of `wanted` (which must be below size());
  // a text longer than a cell's is left to another reader.
  bool texts(const ZipArchive& archive, SharedTexts* wanted) const;

 private:
  bool read_table(const ZipArchive& archive, const StringVisitor& visit) const;
  bool add(ScanContext& context, const std::string& text, bool cut);

  std::string part_;
  std::string main_namespace_;
  bool binary_ = false;
  std::vector<bool> empty_;
  std::vector<std::string> first_;  // texts of the first entries, kept while small
  std::vector<size_t> too_long_;    // entries longer than kMaxTextBytes, in order
  size_t kept_bytes_ = 0;           // of first_
};

}  // namespace sheetscan
