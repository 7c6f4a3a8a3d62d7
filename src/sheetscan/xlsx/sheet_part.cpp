#include "sheetscan/xlsx/sheet_part.hpp"

#include <climits>
#include <cstring>

#include "sheetscan/rows/row_collector.hpp"
#include "sheetscan/xlsx/cell_reader.hpp"
#include "sheetscan/xlsx/cell_text.hpp"
#include "sheetscan/xlsx/parts.hpp"
#include "sheetscan/xml/xml_part.hpp"

namespace sheetscan {
namespace xlsx {

namespace {

// Elements are told apart by their depth below the <row> being read: its
// cells at 1, their <v> and <is> at 2, the inline string's runs deeper.
class SheetHandler : public XmlHandler {
 public:
  SheetHandler(ScanContext& context, const std::string& sheet_name,
               const std::string& main_namespace, const SharedStrings& strings, RowSink* sink)
      : context_(context),
        sheet_name_(sheet_name),
        row_tag_(qualified(main_namespace, "row")),
        strings_(strings),
        rows_(context, sheet_name, sink),
        cell_(main_namespace) {}

  bool start(const char* name, const char** attributes) override {
    if (rows_.stopped()) return true;
    if (++depth_ == 1 && !in_namespace(name, row_tag_)) return other_namespace(context_);
    if (!row_depth_) return row_tag_ == name ? begin_row(attributes) : true;
    if (row_tag_ == name)
      return context_.unsupported("%s: a row inside a row", sheet_name_.c_str());
    int below_row = depth_ - row_depth_;
    if (below_row == 1) return begin_cell(attributes);
    if (below_row == 2) {
      cell_.start_child(name, depth_);
    } else {
      cell_.start_descendant(name, depth_);
    }
    return true;
  }

  bool end(const char*) override {
    if (rows_.stopped()) return true;
    bool ok = true;
    if (row_depth_) {
      int below_row = depth_ - row_depth_;
      if (below_row == 0) {
        row_depth_ = 0;
        rows_.end_row();
      } else if (below_row == 1) {
        ok = end_cell();
      } else if (below_row == 2) {
        cell_.end_child();
      } else {
        cell_.end_descendant(depth_);
      }
    }
    --depth_;
    return ok;
  }

  bool text(const char* data, int length) override {
    if (!rows_.stopped()) cell_.text(data, length);
    return true;
  }

  bool finished() const override { return rows_.stopped(); }

 private:
  bool begin_row(const char** attributes) {
    const char* number = attribute(attributes, "r");
    uint64_t row_number = rows_.row_number() + 1;
    if (number && !parse_digits(number, std::strlen(number), kLongestRowNumber, &row_number)) {
      return context_.unsupported("%s: row number %.40s", sheet_name_.c_str(), number);
    }
    row_depth_ = depth_;
    return rows_.begin_row(row_number);
  }

  bool begin_cell(const char** attributes) {
    const char* type = attribute(attributes, "t");
    const char* style = attribute(attributes, "s");
    const char* reference = attribute(attributes, "r");
    uint64_t style_id = 0;
    // An empty "s" is left to openpyxl, which keeps it as text rather than style 0.
    if (style && !parse_digits(style, std::strlen(style), kLongestInteger, &style_id)) {
      return context_.unsupported("%s: style id %.40s", sheet_name_.c_str(), style);
    }
    uint64_t column = rows_.last_column() + 1;
    if (reference && *reference && !reference_column(reference, &column)) {
      return context_.unsupported("%s: cell reference %.40s", sheet_name_.c_str(), reference);
    }
    if (!rows_.follows_last_cell(column)) {
      return context_.unsupported("%s: cells out of column order in row %llu", sheet_name_.c_str(),
                                  static_cast<unsigned long long>(rows_.row_number()));
    }
    if (!rows_.extend_to(column)) return false;
    long style_index =
        style_id > static_cast<uint64_t>(LONG_MAX) ? LONG_MAX : static_cast<long>(style_id);
    cell_.begin(column, type, style_index, rows_.keeps_texts());
    return true;
  }

  bool end_cell() {
    bool filled;
    size_t shared_index = 0;
    if (!cell_is_filled(&filled, &shared_index)) return false;
    if (!filled) return true;
    Cell& cell = rows_.cell_slot();
    cell.column = cell_.column();
    cell.style = cell_.style();
    cell.shared_index = shared_index;
    if (rows_.keeps_texts()) {
      cell.type = cell_.type();
      if (cell.type == CellType::kOther) cell.other_type = cell_.other_type();
      cell.text = cell.type == CellType::kInlineString ? cell_.inline_text() : cell_.value_text();
    }
    return rows_.keep_cell();
  }

  // Whether the cell just ended holds a value, refusing values openpyxl fails
  // on, and leaving to openpyxl a value that was not kept whole where its
  // text or its spelling matters.
  bool cell_is_filled(bool* filled, size_t* shared_index) {
    *filled = false;
    if (cell_.type() == CellType::kInlineString) {
      *filled = cell_.has_inline_text();
      return !(rows_.keeps_texts() && cell_.inline_cut()) || too_long();
    }
    const std::string& value = cell_.value_text();
    if (value.empty()) return true;
    *filled = true;
    if (cell_.value_cut() &&
        (rows_.keeps_texts() || cell_.type() == CellType::kNumber ||
         cell_.type() == CellType::kBoolean || cell_.type() == CellType::kSharedString)) {
      return too_long();
    }
    switch (cell_.type()) {
      case CellType::kNumber:
        if (is_plain_number(value)) return true;
        return context_.unsupported("%s: number %.40s", sheet_name_.c_str(), value.c_str());
      case CellType::kSharedString:
        return shared_string_is_filled(value, filled, shared_index);
      case CellType::kBoolean:
        if (is_plain_integer(value)) return true;
        return context_.unsupported("%s: boolean %.40s", sheet_name_.c_str(), value.c_str());
      case CellType::kIsoDate:
        return context_.unsupported("%s: ISO dates are left to openpyxl", sheet_name_.c_str());
      default:
        return true;
    }
  }

  bool too_long() {
    return context_.unsupported("%s: a value longer than the scanner keeps, in row %llu",
                                sheet_name_.c_str(),
                                static_cast<unsigned long long>(rows_.row_number()));
  }

  bool shared_string_is_filled(const std::string& value, bool* filled, size_t* shared_index) {
    uint64_t index;
    if (!parse_digits(value.data(), value.size(), kLongestInteger, &index) ||
        index >= strings_.size()) {
      return context_.unsupported("%s: shared string index %.40s", sheet_name_.c_str(),
                                  value.c_str());
    }
    *shared_index = static_cast<size_t>(index);
    *filled = !strings_.is_empty(*shared_index);
    return true;
  }

  ScanContext& context_;
  const std::string& sheet_name_;
  std::string row_tag_;
  const SharedStrings& strings_;
  RowCollector rows_;
  CellReader cell_;
  int depth_ = 0;
  int row_depth_ = 0;  // of the row being read, 0 outside rows
};

}  // namespace

bool scan_sheet(const ZipArchive& archive, const std::string& part, const std::string& sheet_name,
                const std::string& main_namespace, const SharedStrings& strings, RowSink* sink) {
  SheetHandler handler(archive.context(), sheet_name, main_namespace, strings, sink);
  return parse_xml_member(archive, part, &handler);
}

}  // namespace xlsx
}  // namespace sheetscan
