// What the workbook part and the styles part say, whichever format they are
// written in (XML or records): filled by xlsx/parts and xlsb/parts alike.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace sheetscan {

struct SheetEntry {
  std::string name;
  std::string relationship_id;
};

struct WorkbookContents {
  std::string main_namespace;      // of SpreadsheetML (XML only): transitional or strict
  std::vector<SheetEntry> sheets;  // in workbook order; those without a relationship left out
  bool date1904 = false;
};

struct NumberFormats {
  std::vector<long> style_format_ids;  // numFmtId of each cell format (cellXfs), in order
  std::vector<std::pair<long, std::string>> custom;  // numFmtId and format code, in file order
};

// Takes each text of the shared string table, in order.
using StringVisitor = std::function<void(const std::string& text)>;

}  // namespace sheetscan
