#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "sheetscan/xlsb/records.hpp"
#include "sheetscan/rows/cell.hpp"

namespace sheetscan {

namespace {

constexpr uint32_t kRowHeader = 0;         // BrtRowHdr
constexpr uint32_t kBlank = 1;             // BrtCellBlank
constexpr uint32_t kRk = 2;                // BrtCellRk
constexpr uint32_t kError = 3;             // BrtCellError
constexpr uint32_t kBool = 4;              // BrtCellBool
constexpr uint32_t kReal = 5;              // BrtCellReal
constexpr uint32_t kString = 6;            // BrtCellSt
constexpr uint32_t kSharedString = 7;      // BrtCellIsst
constexpr uint32_t kFormulaString = 8;     // BrtFmlaString
constexpr uint32_t kFormulaNumber = 9;     // BrtFmlaNum
constexpr uint32_t kFormulaBool = 10;      // BrtFmlaBool
constexpr uint32_t kFormulaError = 11;     // BrtFmlaError
constexpr uint32_t kRichString = 62;       // BrtCellRString
constexpr uint32_t kBeginSheetData = 145;  // BrtBeginSheetData
constexpr uint32_t kEndSheetData = 146;    // BrtEndSheetData

bool sheet_record(uint32_t type) {
  return type <= kFormulaError || type == kRichString || type == kBeginSheetData ||
         type == kEndSheetData;
}

const char* error_text(uint32_t code) {
  switch (code) {
    case 0x00:
      return "#NULL!";
    case 0x07:
      return "#DIV/0!";
    case 0x0F:
      return "#VALUE!";
    case 0x17:
      return "#REF!";
    case 0x1D:
      return "#NAME?";
    case 0x24:
      return "#NUM!";
    case 0x2A:
      return "#N/A";
    case 0x2B:
      return "#GETTING_DATA";
    default:
      return "#ERROR";
  }
}

// Text that Python's float() reads back as exactly `value`, when `text` is
// given; non-finite values, which no cell holds, are refused.
bool number_text(double value, std::string* text) {
  if (!std::isfinite(value)) return false;
  if (!text) return true;
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.17g", value);
  text->assign(buffer);
  if (text->find_first_of(".eE") == std::string::npos) text->append(".0");
  return true;
}

// An RK number: a double's high 30 bits or a 30-bit integer, perhaps times 100.
bool rk_text(uint32_t rk, std::string* text) {
  bool times_100 = rk & 1;
  if (rk & 2) {
    int64_t whole = static_cast<int32_t>(rk) >> 2;
    if (!times_100) {
      if (text) text->assign(std::to_string(whole));
      return true;
    }
    return number_text(static_cast<double>(whole) / 100, text);
  }
  uint64_t bits = static_cast<uint64_t>(rk & 0xFFFFFFFCu) << 32;
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return number_text(times_100 ? value / 100 : value, text);
}

class BinarySheet {
 public:
  BinarySheet(const std::string& sheet_name, const SharedStrings& strings, RowSink* sink)
      : sheet_name_(sheet_name), strings_(strings), sink_(sink) {}

  bool run(RecordReader* reader) {
    std::string data;
    for (uint32_t type; reader->next(&type, &data);) {
      if (type == UINT32_MAX || type == kEndSheetData) return end_row();
      if (type == kBeginSheetData) {
        in_data_ = true;
      } else if (!in_data_) {
        continue;
      } else if (type == kRowHeader) {
        if (!end_row() || !begin_row(data)) return false;
        if (stopped_) return true;
      } else if (!cell(type, data)) {
        return false;
      }
    }
    return false;
  }

 private:
  bool damaged() { return refuse("%s: a cell record is damaged", sheet_name_.c_str()); }

  bool begin_row(const std::string& data) {
    size_t offset = 0;
    uint32_t row;
    if (!read_u32(data, &offset, &row)) return damaged();
    in_row_ = true;
    row_number_ = static_cast<uint64_t>(row) + 1;
    row_width_ = 0;
    filled_count_ = 0;
    keep_texts_ = sink_->wants_texts();
    return true;
  }

  bool end_row() {
    if (!in_row_) return true;
    in_row_ = false;
    if (row_number_ < next_row_) return true;
    if (row_number_ > kMaxRows || row_width_ > kMaxColumns) {
      return refuse("worksheet %s holds cells beyond XFD1048576", sheet_name_.c_str());
    }
    next_row_ = row_number_ + 1;
    filled_.resize(filled_count_);
    if (row_width_ && !sink_->row(row_number_, filled_)) stopped_ = true;
    return true;
  }

  bool cell(uint32_t type, const std::string& data) {
    if (!in_row_) return refuse("%s: a cell outside any row", sheet_name_.c_str());
    size_t offset = 0;
    uint32_t column, style;
    if (!read_u32(data, &offset, &column) || !read_u32(data, &offset, &style)) return damaged();
    uint64_t position = static_cast<uint64_t>(column) + 1;
    if (row_width_ && position <= row_width_) {
      return refuse("%s: cells out of column order", sheet_name_.c_str());
    }
    row_width_ = position;
    if (filled_count_ == filled_.size()) filled_.emplace_back();
    Cell& value = filled_[filled_count_];
    value.column = position;
    value.style = static_cast<long>(style & 0xFFFFFF);
    value.text.clear();
    // Number texts are written out only for the rows handed over with their values.
    std::string* number = keep_texts_ ? &value.text : nullptr;
    bool filled = true;
    uint32_t small;
    double real;
    switch (type) {
      case kBlank:
        filled = false;
        break;
      case kRk:
        if (!read_u32(data, &offset, &small) || !rk_text(small, number)) return damaged();
        value.type = "n";
        break;
      case kReal:
      case kFormulaNumber:
        if (!read_f64(data, &offset, &real) || !number_text(real, number)) return damaged();
        value.type = "n";
        break;
      case kError:
      case kFormulaError:
        if (!read_u8(data, &offset, &small)) return damaged();
        value.type = "e";
        value.text = error_text(small);
        break;
      case kBool:
      case kFormulaBool:
        if (!read_u8(data, &offset, &small)) return damaged();
        value.type = "b";
        value.text = small ? "1" : "0";
        break;
      case kSharedString:
        if (!read_u32(data, &offset, &small) || small >= strings_.size()) {
          return refuse("%s: shared string index out of range", sheet_name_.c_str());
        }
        value.type = "s";
        value.shared_index = small;
        filled = !strings_.is_empty(small);
        break;
      case kRichString:
        offset += 1;  // flags
        [[fallthrough]];
      case kString:
      case kFormulaString:
        if (!read_wide_string(data, &offset, &value.text)) return damaged();
        value.type = "inlineStr";
        filled = !value.text.empty();
        break;
      default:
        return refuse("%s: unknown cell record %lu", sheet_name_.c_str(),
                      static_cast<unsigned long>(type));
    }
    if (filled) ++filled_count_;
    return true;
  }

  const std::string& sheet_name_;
  const SharedStrings& strings_;
  RowSink* sink_;
  bool in_data_ = false, in_row_ = false, stopped_ = false, keep_texts_ = false;
  uint64_t row_number_ = 0, next_row_ = 1, row_width_ = 0;
  std::vector<Cell> filled_;  // of the current row, reused from row to row
  size_t filled_count_ = 0;
};

}  // namespace

bool scan_binary_sheet(const ZipArchive& archive, const std::string& part,
                       const std::string& sheet_name, const SharedStrings& strings, RowSink* sink) {
  RecordReader reader;
  if (!reader.open(archive, part, sheet_record)) return false;
  BinarySheet sheet(sheet_name, strings, sink);
  return sheet.run(&reader);
}

}  // namespace sheetscan
