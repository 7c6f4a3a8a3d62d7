// An .xls workbook as xlrd opens it for BIFF8: the compound file, its
// workbook stream, and the stream's globals, from the BOF record that opens
// them to their EOF record: the sheets (BOUNDSHEET, of which the worksheets
// are listed, charts and macro sheets left out, as xlrd lists them), the
// shared strings (SST), and encryption (FILEPASS), which is left to xlrd as
// older BIFF versions are.
#pragma once

#include "sheetscan/xls/compound_file.hpp"
#include "sheetscan/xls/shared_strings.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sheetscan::xls {

struct SheetEntry {
  std::string name;  // UTF-8
  int64_t offset;    // of its BOF record in the stream, as the file gives it
};

// More sheets than this are refused.
constexpr size_t kMaxSheets = 65536;

class Workbook {
 public:
  bool open(int fd, Problem* problem);
  const std::vector<SheetEntry>& worksheets() const { return worksheets_; }
  const SharedStrings& strings() const { return strings_; }
  RecordReader* records() { return records_.get(); }

 private:
  bool read_bof();
  bool read_globals();
  bool add_sheet(const Record& record);

  Problem* problem_ = nullptr;
  CompoundFile file_;
  StreamLayout layout_;
  std::unique_ptr<StreamReader> stream_;
  std::unique_ptr<RecordReader> records_;
  std::vector<SheetEntry> worksheets_;
  SharedStrings strings_;
};

}  // namespace sheetscan::xls
