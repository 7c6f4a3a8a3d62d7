#include "sheetscan/package/part_contents.hpp"

#include "sheetscan/limits.hpp"

#include <utility>

namespace sheetscan {

bool WorkbookContents::add_sheet(ScanContext& context, SheetEntry sheet) {
  if (sheets.size() == kMaxSheets) {
    return context.reject("the workbook holds more than %zu sheets", kMaxSheets);
  }
  text_bytes += sheet.name.size() + sheet.relationship_id.size();
  if (text_bytes > kMaxEntryTextBytes) {
    return context.reject("the sheets' names take more than %zu bytes", kMaxEntryTextBytes);
  }
  sheets.push_back(std::move(sheet));
  return true;
}

bool NumberFormats::add_cell_format(ScanContext& context, long format_id) {
  if (style_format_ids.size() == kMaxCellFormats) {
    return context.reject("the styles hold more than %zu cell formats", kMaxCellFormats);
  }
  style_format_ids.push_back(format_id);
  return true;
}

bool NumberFormats::add_number_format(ScanContext& context, long format_id, std::string code) {
  if (custom.size() == kMaxNumberFormats) {
    return context.reject("the styles hold more than %zu number formats", kMaxNumberFormats);
  }
  code_bytes += code.size();
  if (code_bytes > kMaxEntryTextBytes) {
    return context.reject("the number formats' codes take more than %zu bytes", kMaxEntryTextBytes);
  }
  custom.emplace_back(format_id, std::move(code));
  return true;
}

}  // namespace sheetscan
