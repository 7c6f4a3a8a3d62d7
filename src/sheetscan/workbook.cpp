#include "sheetscan/workbook.hpp"

#include "sheetscan/xlsb/parts.hpp"
#include "sheetscan/xlsb/sheet_part.hpp"
#include "sheetscan/xlsx/parts.hpp"
#include "sheetscan/xlsx/sheet_part.hpp"

namespace sheetscan {

bool Workbook::open(int fd) {
  return archive.open(fd) && read_package(archive, &package);
}

bool Workbook::read_shared_strings() {
  return strings.read(archive, package.shared_strings_part, package.main_namespace, package.binary);
}

bool Workbook::scan(const SheetPart& sheet, RowSink* sink) const {
  if (package.binary) return xlsb::scan_sheet(archive, sheet.part, sheet.name, strings, sink);
  return xlsx::scan_sheet(archive, sheet.part, sheet.name, package.main_namespace, strings, sink);
}

bool Workbook::read_number_formats(NumberFormats* formats) const {
  if (package.styles_part.empty()) return true;
  if (package.binary) return xlsb::read_number_formats(archive, package.styles_part, formats);
  return xlsx::read_number_formats(archive, package.styles_part, formats);
}

bool Workbook::shared_texts(const AreaScan& scan, SharedTexts* texts) const {
  for (const auto& row : scan.rows) {
    for (const Cell& cell : row) {
      if (cell.type == CellType::kSharedString) (*texts)[cell.shared_index];
    }
  }
  return texts->empty() || strings.texts(archive, texts);
}

void Workbook::keep_fallback_within_budget() const {
  archive.context().keep_fallback_within_budget(archive.sizes_known(), archive.declared_bytes());
}

}  // namespace sheetscan
