// What the workbook part and the styles part say, whichever format they are
// written in (XML or records): filled by xlsx/parts and xlsb/parts alike.
#pragma once

#include "sheetscan/scan_context.hpp"

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace sheetscan {

struct SheetEntry {
  std::string name;
  std::string relationship_id;
};

// The adders refuse (Rejected, false) an entry beyond the limit of its table.
struct WorkbookContents {
  bool add_sheet(ScanContext& context, SheetEntry sheet);

  std::string main_namespace;      // of SpreadsheetML (XML only): transitional or strict
  std::vector<SheetEntry> sheets;  // in workbook order; those without a relationship left out
  bool date1904 = false;
  size_t text_bytes = 0;  // of the sheets' names and ids
};

struct NumberFormats {
  bool add_cell_format(ScanContext& context, long format_id);
  bool add_number_format(ScanContext& context, long format_id, std::string code);

  std::vector<long> style_format_ids;  // numFmtId of each cell format (cellXfs), in order
  std::vector<std::pair<long, std::string>> custom;  // numFmtId and format code, in file order
  size_t code_bytes = 0;                             // of the format codes
};

// Takes each text of the shared string table, in order: at most
// kMaxTextBytes of it, `cut` telling that there was more. Returns false, with
// the error set, to stop the reading.
using StringVisitor = std::function<bool(const std::string& text, bool cut)>;

}  // namespace sheetscan
