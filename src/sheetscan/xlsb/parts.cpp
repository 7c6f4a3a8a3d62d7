#include "sheetscan/xlsb/parts.hpp"

#include "sheetscan/xlsb/records.hpp"

namespace sheetscan {

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

bool sheet_bundle(const std::string& data, std::vector<BinarySheetEntry>* sheets) {
  size_t offset = 8;  // hsState and iTabID
  BinarySheetEntry entry;
  uint32_t length;
  size_t peek = offset;
  if (!read_u32(data, &peek, &length)) return refuse("a sheet record is damaged");
  if (length == kNullString) {
    offset = peek;
  } else if (!read_wide_string(data, &offset, &entry.relationship_id)) {
    return refuse("a sheet record is damaged");
  }
  if (!read_wide_string(data, &offset, &entry.name) || entry.name.empty()) {
    return refuse("a sheet record is damaged");
  }
  if (!entry.relationship_id.empty()) sheets->push_back(entry);
  return true;
}

}  // namespace

bool read_binary_workbook(const ZipArchive& archive, const std::string& part,
                          std::vector<BinarySheetEntry>* sheets, bool* date1904) {
  RecordReader reader;
  if (!reader.open(archive, part, workbook_record)) return false;
  std::string data;
  for (uint32_t type; reader.next(&type, &data);) {
    if (type == UINT32_MAX) return true;
    if (type == kWorkbookProperties) {
      size_t offset = 0;
      uint32_t flags;
      if (!read_u32(data, &offset, &flags)) return refuse("the workbook properties are damaged");
      *date1904 = flags & 1;
    } else if (!sheet_bundle(data, sheets)) {
      return false;
    }
  }
  return false;
}

bool read_binary_strings(const ZipArchive& archive, const std::string& part,
                         const std::function<bool(const std::string&)>& entry) {
  RecordReader reader;
  if (!reader.open(archive, part, string_record)) return false;
  std::string data, text;
  for (uint32_t type; reader.next(&type, &data);) {
    if (type == UINT32_MAX) return true;
    size_t offset = 1;  // flags: rich text runs and phonetic text follow the string
    if (!read_wide_string(data, &offset, &text)) return refuse("a shared string is damaged");
    if (!entry(text)) return true;
  }
  return false;
}

bool read_binary_number_formats(const ZipArchive& archive, const std::string& part,
                                NumberFormats* formats) {
  RecordReader reader;
  if (!reader.open(archive, part, style_record)) return false;
  std::string data;
  bool in_cell_formats = false;
  for (uint32_t type; reader.next(&type, &data);) {
    if (type == UINT32_MAX) return true;
    size_t offset = 0;
    uint32_t id;
    if (type == kBeginCellFormats || type == kEndCellFormats) {
      in_cell_formats = type == kBeginCellFormats;
    } else if (type == kCellFormat && in_cell_formats) {
      offset = 2;  // ixfeParent
      if (!read_u16(data, &offset, &id)) return refuse("a cell format is damaged");
      formats->style_format_ids.push_back(static_cast<long>(id));
    } else if (type == kNumberFormat) {
      std::string code;
      if (!read_u16(data, &offset, &id) || !read_wide_string(data, &offset, &code)) {
        return refuse("a number format is damaged");
      }
      formats->custom.emplace_back(static_cast<long>(id), code);
    }
  }
  return false;
}

}  // namespace sheetscan
