#include "sheetscan/xlsb/sheet_part.hpp"

#include "sheetscan/rows/row_collector.hpp"
#include "sheetscan/xlsb/cell_values.hpp"
#include "sheetscan/xlsb/record_fields.hpp"
#include "sheetscan/xlsb/records.hpp"

namespace sheetscan {
namespace xlsb {

namespace {

constexpr uint32_t kRowHeader = 0;              // BrtRowHdr
constexpr uint32_t kBlank = 1;                  // BrtCellBlank
constexpr uint32_t kRk = 2;                     // BrtCellRk
constexpr uint32_t kError = 3;                  // BrtCellError
constexpr uint32_t kBool = 4;                   // BrtCellBool
constexpr uint32_t kReal = 5;                   // BrtCellReal
constexpr uint32_t kString = 6;                 // BrtCellSt
constexpr uint32_t kSharedString = 7;           // BrtCellIsst
constexpr uint32_t kFormulaString = 8;          // BrtFmlaString
constexpr uint32_t kFormulaNumber = 9;          // BrtFmlaNum
constexpr uint32_t kFormulaBool = 10;           // BrtFmlaBool
constexpr uint32_t kFormulaError = 11;          // BrtFmlaError
constexpr uint32_t kRichString = 62;            // BrtCellRString
constexpr uint32_t kBeginSheetData = 145;       // BrtBeginSheetData
constexpr uint32_t kEndSheetData = 146;         // BrtEndSheetData
constexpr uint32_t kStyleIndexBits = 0xFFFFFF;  // the rest of the field holds flags

bool sheet_record(uint32_t type) {
  return type <= kFormulaError || type == kRichString || type == kBeginSheetData ||
         type == kEndSheetData;
}

// A cell record's value, read from `data` at `offset` into `cell`.
class CellValue {
 public:
  CellValue(const std::string& data, size_t offset, Cell* cell, bool keep_texts)
      : data_(data), offset_(offset), cell_(cell), keep_texts_(keep_texts) {}

  // Each returns false for a damaged record; `filled` tells whether the cell holds a value.
  bool rk() {
    uint32_t rk;
    cell_->type = CellType::kNumber;
    return read_u32(data_, &offset_, &rk) && rk_text(rk, number_text_target());
  }
  bool real() {
    double value;
    cell_->type = CellType::kNumber;
    return read_f64(data_, &offset_, &value) && number_text(value, number_text_target());
  }
  bool error() {
    uint32_t code;
    if (!read_u8(data_, &offset_, &code)) return false;
    cell_->type = CellType::kError;
    cell_->text = error_text(code);
    return true;
  }
  bool boolean() {
    uint32_t flag;
    if (!read_u8(data_, &offset_, &flag)) return false;
    cell_->type = CellType::kBoolean;
    cell_->text = flag ? "1" : "0";
    return true;
  }
  bool shared_string_index(uint32_t* index) { return read_u32(data_, &offset_, index); }
  bool inline_string(size_t skipped_flags) {
    offset_ += skipped_flags;
    if (!read_wide_string(data_, &offset_, &cell_->text)) return false;
    cell_->type = CellType::kInlineString;
    filled = !cell_->text.empty();
    return true;
  }

  bool filled = true;

 private:
  // Number texts are written out only for the rows handed over with their values.
  std::string* number_text_target() const { return keep_texts_ ? &cell_->text : nullptr; }

  const std::string& data_;
  size_t offset_;
  Cell* cell_;
  bool keep_texts_;
};

class BinarySheet {
 public:
  BinarySheet(ScanContext& context, const std::string& sheet_name, const SharedStrings& strings,
              RowSink* sink)
      : context_(context),
        sheet_name_(sheet_name),
        strings_(strings),
        rows_(context, sheet_name, sink) {}

  bool run(RecordReader* reader) {
    std::string data;
    for (uint32_t type; reader->next(&type, &data);) {
      if (type == UINT32_MAX || type == kEndSheetData) {
        rows_.end_row();
        return true;
      }
      if (type == kBeginSheetData) {
        in_data_ = true;
      } else if (!in_data_) {
        continue;
      } else if (type == kRowHeader) {
        rows_.end_row();
        if (!begin_row(data)) return false;
        if (rows_.stopped()) return true;
      } else if (!cell(type, data)) {
        return false;
      }
    }
    return false;
  }

 private:
  bool damaged() { return context_.reject("%s: a cell record is damaged", sheet_name_.c_str()); }

  bool begin_row(const std::string& data) {
    size_t offset = 0;
    uint32_t row;
    if (!read_u32(data, &offset, &row)) return damaged();
    return rows_.begin_row(static_cast<uint64_t>(row) + 1);
  }

  bool cell(uint32_t type, const std::string& data) {
    if (!rows_.in_row())
      return context_.unsupported("%s: a cell outside any row", sheet_name_.c_str());
    size_t offset = 0;
    uint32_t column, style;
    if (!read_u32(data, &offset, &column) || !read_u32(data, &offset, &style)) return damaged();
    uint64_t position = static_cast<uint64_t>(column) + 1;
    if (!rows_.follows_last_cell(position)) {
      return context_.unsupported("%s: cells out of column order", sheet_name_.c_str());
    }
    if (!rows_.extend_to(position)) return false;
    Cell& cell = rows_.cell_slot();
    cell.column = position;
    cell.style = static_cast<long>(style & kStyleIndexBits);
    cell.text.clear();
    CellValue value(data, offset, &cell, rows_.keeps_texts());
    if (!read_value(type, &value, &cell)) return false;
    return !value.filled || rows_.keep_cell();
  }

  bool read_value(uint32_t type, CellValue* value, Cell* cell) {
    switch (type) {
      case kBlank:
        value->filled = false;
        return true;
      case kRk:
        return value->rk() || damaged();
      case kReal:
      case kFormulaNumber:
        return value->real() || damaged();
      case kError:
      case kFormulaError:
        return value->error() || damaged();
      case kBool:
      case kFormulaBool:
        return value->boolean() || damaged();
      case kSharedString:
        return shared_string(value, cell);
      case kRichString:
        return value->inline_string(1) || damaged();  // after a byte of flags
      case kString:
      case kFormulaString:
        return value->inline_string(0) || damaged();
      default:
        return context_.unsupported("%s: unknown cell record %lu", sheet_name_.c_str(),
                                    static_cast<unsigned long>(type));
    }
  }

  bool shared_string(CellValue* value, Cell* cell) {
    uint32_t index;
    if (!value->shared_string_index(&index) || index >= strings_.size()) {
      return context_.unsupported("%s: shared string index out of range", sheet_name_.c_str());
    }
    cell->type = CellType::kSharedString;
    cell->shared_index = index;
    value->filled = !strings_.is_empty(index);
    return true;
  }

  ScanContext& context_;
  const std::string& sheet_name_;
  const SharedStrings& strings_;
  RowCollector rows_;
  bool in_data_ = false;
};

}  // namespace

bool scan_sheet(const ZipArchive& archive, const std::string& part, const std::string& sheet_name,
                const SharedStrings& strings, RowSink* sink) {
  RecordReader reader;
  if (!reader.open(archive, part, sheet_record)) return false;
  BinarySheet sheet(archive.context(), sheet_name, strings, sink);
  return sheet.run(&reader);
}

}  // namespace xlsb
}  // namespace sheetscan
