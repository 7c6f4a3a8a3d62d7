#include "sheetscan/xlsb/parts.hpp"

#include "sheetscan/xlsb/record_fields.hpp"
#include "sheetscan/xlsb/records.hpp"

#include <utility>

namespace sheetscan {
namespace xlsb {

namespace {

constexpr uint32_t kWorkbookProperties = 153;  // BrtWbProp
constexpr uint32_t kSheetBundle = 156;         // BrtBundleSh
constexpr uint32_t kStringItem = 19;           // BrtSSTItem
constexpr uint32_t kNumberFormat = 44;         // BrtFmt
constexpr uint32_t kCellFormat = 47;           // BrtXF
constexpr uint32_t kBeginCellFormats = 617;    // BrtBeginCellXFs
constexpr uint32_t kEndCellFormats = 618;      // BrtEndCellXFs
constexpr uint32_t kNullString = 0xFFFFFFFF;

bool workbook_record(uint32_t type) {
  return type == kWorkbookProperties || type == kSheetBundle;
}
bool string_record(uint32_t type) {
  return type == kStringItem;
}
bool style_record(uint32_t type) {
  return type == kNumberFormat || type == kCellFormat || type == kBeginCellFormats ||
         type == kEndCellFormats;
}

bool sheet_bundle(ScanContext& context, const std::string& data, WorkbookContents* workbook) {
  size_t offset = 8;  // hsState and iTabID
  SheetEntry entry;
  uint32_t length;
  size_t peek = offset;
  if (!read_u32(data, &peek, &length)) return context.reject("a sheet record is damaged");
  if (length == kNullString) {
    offset = peek;
  } else if (!read_wide_string(data, &offset, &entry.relationship_id)) {
    return context.reject("a sheet record is damaged");
  }
  if (!read_wide_string(data, &offset, &entry.name) || entry.name.empty()) {
    return context.reject("a sheet record is damaged");
  }
  if (!entry.relationship_id.empty()) return workbook->add_sheet(context, std::move(entry));
  return true;
}

bool workbook_properties(ScanContext& context, const std::string& data,
                         WorkbookContents* workbook) {
  size_t offset = 0;
  uint32_t flags;
  if (!read_u32(data, &offset, &flags))
    return context.reject("the workbook properties are damaged");
  workbook->date1904 = flags & 1;
  return true;
}

bool number_format(ScanContext& context, const std::string& data, NumberFormats* formats) {
  size_t offset = 0;
  uint32_t id;
  std::string code;
  if (!read_u16(data, &offset, &id) || !read_wide_string(data, &offset, &code)) {
    return context.reject("a number format is damaged");
  }
  return formats->add_number_format(context, static_cast<long>(id), std::move(code));
}

bool cell_format(ScanContext& context, const std::string& data, NumberFormats* formats) {
  size_t offset = 2;  // ixfeParent
  uint32_t id;
  if (!read_u16(data, &offset, &id)) return context.reject("a cell format is damaged");
  return formats->add_cell_format(context, static_cast<long>(id));
}

}  // namespace

bool read_workbook(const ZipArchive& archive, const std::string& part, WorkbookContents* workbook) {
  ScanContext& context = archive.context();
  RecordReader reader;
  if (!reader.open(archive, part, workbook_record)) return false;
  std::string data;
  for (uint32_t type; reader.next(&type, &data);) {
    if (type == UINT32_MAX) return true;
    bool read = type == kWorkbookProperties ? workbook_properties(context, data, workbook)
                                            : sheet_bundle(context, data, workbook);
    if (!read) return false;
  }
  return false;
}

bool read_strings(const ZipArchive& archive, const std::string& part, const StringVisitor& visit) {
  RecordReader reader;
  if (!reader.open(archive, part, string_record)) return false;
  std::string data, text;
  for (uint32_t type; reader.next(&type, &data);) {
    if (type == UINT32_MAX) return true;
    size_t offset = 1;  // flags: rich text runs and phonetic text follow the string
    if (!read_wide_string(data, &offset, &text)) {
      return archive.context().reject("a shared string is damaged");
    }
    if (!visit(text, false)) return false;
  }
  return false;
}

bool read_number_formats(const ZipArchive& archive, const std::string& part,
                         NumberFormats* formats) {
  ScanContext& context = archive.context();
  RecordReader reader;
  if (!reader.open(archive, part, style_record)) return false;
  std::string data;
  bool in_cell_formats = false;
  for (uint32_t type; reader.next(&type, &data);) {
    if (type == UINT32_MAX) return true;
    if (type == kBeginCellFormats || type == kEndCellFormats) {
      in_cell_formats = type == kBeginCellFormats;
    } else if (type == kCellFormat && in_cell_formats) {
      if (!cell_format(context, data, formats)) return false;
    } else if (type == kNumberFormat) {
      if (!number_format(context, data, formats)) return false;
    }
  }
  return false;
}

}  // namespace xlsb
}  // namespace sheetscan
