#include "sheetscan/xls/sheet_cells.hpp"

#include <cstring>

#include "common/little_endian.hpp"
#include "sheetscan/xls/text.hpp"

namespace sheetscan::xls {

namespace {

using common::le16;
using common::le32;

constexpr uint16_t kWorksheetStream = 0x0010;

// The value of an RK number: 30 bits of an integer or of a double's high
// word above two flags (integer; divided by 100).
double rk_value(uint32_t rk) {
  double value;
  if (rk & 0x02) {
    // Without its flag bits the word is a multiple of 4: the division is exact.
    value = static_cast<double>(static_cast<int32_t>(rk & ~uint32_t{3}) / 4);
  } else {
    uint64_t bits = static_cast<uint64_t>(rk & ~uint32_t{3}) << 32;
    std::memcpy(&value, &bits, sizeof value);
  }
  return (rk & 0x01) ? value / 100.0 : value;
}

CellValue number_value(double number) {
  CellValue value;
  value.number = number;
  return value;
}

CellValue text_value(const std::string& text) {
  CellValue value;
  value.kind = CellValue::Kind::kText;
  value.text = text;
  value.empty = text.empty();
  return value;
}

CellValue coded_value(CellValue::Kind kind, uint32_t code) {
  CellValue value;
  value.kind = kind;
  value.code = code;
  return value;
}

class SheetPass {
 public:
  SheetPass(RecordReader* records, const SharedStrings& strings, const std::string& name,
            CellSink* sink, Problem* problem)
      : records_(records), strings_(strings), name_(name), sink_(sink), problem_(problem) {}
  bool run(int64_t offset);

 private:
  bool fail(const Record& record, const char* what);
  bool put(uint32_t row, uint32_t column, const CellValue& value);
  bool read_bof();
  bool cell_record(const Record& record, bool* handled);
  bool number(const Record& record);
  bool shared_label(const Record& record);
  bool label(const Record& record);
  bool rich_label(const Record& record);
  bool rk(const Record& record);
  bool multiple_rk(const Record& record);
  bool formula(const Record& record);
  bool formula_text(uint32_t row, uint32_t column);
  bool string_record(const Record& first);
  bool bool_or_error(const Record& record);
  bool skip_substream(const Record& bof);

  RecordReader* records_;
  const SharedStrings& strings_;
  const std::string& name_;
  CellSink* sink_;
  Problem* problem_;
  std::string text_;  // the text of the cell being read
};

bool SheetPass::fail(const Record& record, const char* what) {
  return problem_->reject("sheet '%s': record 0x%04X at offset %llu %s", name_.c_str(), record.type,
                          static_cast<unsigned long long>(record.offset), what);
}

bool SheetPass::put(uint32_t row, uint32_t column, const CellValue& value) {
  if (column >= kSheetColumns) {
    return problem_->reject("sheet '%s': a cell in column %u, beyond the last column (IV)",
                            name_.c_str(), column + 1);
  }
  return sink_->cell(row, column, value);
}

bool SheetPass::run(int64_t offset) {
  if (offset < 0 || static_cast<uint64_t>(offset) >= records_->size()) {
    return problem_->reject("sheet '%s' starts at offset %lld, outside the workbook stream",
                            name_.c_str(), static_cast<long long>(offset));
  }
  records_->seek(static_cast<uint64_t>(offset));
  if (!read_bof()) return false;
  for (;;) {
    Record record;
    if (!records_->next(&record)) return false;
    bool handled;
    if (!cell_record(record, &handled)) return false;
    if (handled) continue;
    switch (record.type) {
      case record_type::kDimensions:
      case record_type::kDimensionsOld:
        if (record.length == 0) break;  // stray zero bytes, which xlrd passes over
        if (record.length < 12) return fail(record, "is too short for DIMENSIONS");
        sink_->count_rows_again();
        break;
      case record_type::kEof:
        return true;
      default:
        if (is_bof(record.type) && !skip_substream(record)) return false;
        break;
    }
  }
}

bool SheetPass::read_bof() {
  Record bof;
  if (!records_->next(&bof)) return false;
  if (!is_bof(bof.type) || bof.length < 4 || bof.length > 20) {
    return fail(bof, "is not the BOF record that starts a worksheet");
  }
  if (le16(bof.data + 2) != kWorksheetStream) {
    return fail(bof, "starts a substream that is not a worksheet");
  }
  return true;
}

bool SheetPass::cell_record(const Record& record, bool* handled) {
  *handled = true;
  switch (record.type) {
    case record_type::kNumber:
      return number(record);
    case record_type::kLabelSst:
      return shared_label(record);
    case record_type::kLabel:
      return label(record);
    case record_type::kRichString:
      return rich_label(record);
    case record_type::kRk:
      return rk(record);
    case record_type::kMulRk:
      return multiple_rk(record);
    case record_type::kFormula:
    case record_type::kFormula3:
    case record_type::kFormula4:
      return formula(record);
    case record_type::kBoolErr:
      return bool_or_error(record);
    default:
      *handled = false;
      return true;
  }
}

bool SheetPass::number(const Record& record) {
  if (record.length < 14) return fail(record, "is too short for NUMBER");
  return put(le16(record.data), le16(record.data + 2),
             number_value(common::le_double(record.data + 6)));
}

bool SheetPass::shared_label(const Record& record) {
  if (record.length != 10) return fail(record, "is not 10 bytes long, as LABELSST is");
  int64_t index = static_cast<int32_t>(le32(record.data + 6));
  int64_t count = static_cast<int64_t>(strings_.size());
  if (index < 0) index += count;  // xlrd indexes a Python list
  if (index < 0 || index >= count) {
    return problem_->reject("sheet '%s': a cell refers to shared string %d of %lld", name_.c_str(),
                            static_cast<int32_t>(le32(record.data + 6)),
                            static_cast<long long>(count));
  }
  CellValue value = coded_value(CellValue::Kind::kSharedText, static_cast<uint32_t>(index));
  value.empty = strings_.is_empty(static_cast<size_t>(index));
  return put(le16(record.data), le16(record.data + 2), value);
}

bool SheetPass::label(const Record& record) {
  if (record.length < 6 || !read_record_string(record.data, record.length, 6, 2, &text_)) {
    return fail(record, "holds a LABEL that xlrd cannot read");
  }
  return put(le16(record.data), le16(record.data + 2), text_value(text_));
}

// RSTRING: a string as xlrd's unpack_unicode_update_pos reads it, then its
// formatting runs, which must end the record exactly.
bool SheetPass::rich_label(const Record& record) {
  const unsigned char* data = record.data;
  size_t length = record.length;
  auto bad = [&]() { return fail(record, "holds an RSTRING that xlrd cannot read"); };
  if (length < 8) return bad();
  size_t characters = le16(data + 6);
  size_t pos = 8;
  text_.clear();
  if (characters || pos < length) {
    if (pos >= length) return bad();
    unsigned char options = data[pos++];
    size_t runs = 0;
    int64_t phonetic = 0;
    if (options & 0x08) {
      if (pos + 2 > length) return bad();
      runs = le16(data + pos);
      pos += 2;
    }
    if (options & 0x04) {
      if (pos + 4 > length) return bad();
      phonetic = static_cast<int32_t>(le32(data + pos));
      pos += 4;
    }
    size_t wide = options & 0x01 ? 2 : 1;
    size_t start = pos < length ? pos : length;
    size_t end = pos + wide * characters < length ? pos + wide * characters : length;
    size_t count = 0;
    if (wide == 2) {
      if (!decode_utf16(data + start, end - start, &text_, &count)) return bad();
    } else {
      decode_latin1(data + start, end - start, &text_, &count);
    }
    if (phonetic < 0) return bad();
    pos += wide * characters + 4 * runs + static_cast<size_t>(phonetic);
  }
  if (pos + 2 > length) return bad();
  size_t formatting_runs = le16(data + pos);
  if (pos + 2 + 4 * formatting_runs != length) return bad();
  return put(le16(data), le16(data + 2), text_value(text_));
}

bool SheetPass::rk(const Record& record) {
  if (record.length < 10) return fail(record, "is too short for RK");
  return put(le16(record.data), le16(record.data + 2),
             number_value(rk_value(le32(record.data + 6))));
}

bool SheetPass::multiple_rk(const Record& record) {
  if (record.length < 4) return fail(record, "is too short for MULRK");
  uint32_t row = le16(record.data);
  uint32_t first = le16(record.data + 2);
  uint32_t last = le16(record.data + record.length - 2);
  size_t pos = 4;
  for (uint32_t column = first; column <= last; ++column, pos += 6) {
    if (pos + 6 > record.length) return fail(record, "holds fewer numbers than its MULRK columns");
    if (!put(row, column, number_value(rk_value(le32(record.data + pos + 2))))) return false;
  }
  return true;
}

// A formula's cached value: a number, or (marked by 0xFFFF in its last two
// bytes) a text in the STRING record that follows, a boolean, an error code
// or the empty text.
bool SheetPass::formula(const Record& record) {
  if (record.length < 16) return fail(record, "is too short for FORMULA");
  uint32_t row = le16(record.data);
  uint32_t column = le16(record.data + 2);
  const unsigned char* result = record.data + 6;
  if (result[6] != 0xFF || result[7] != 0xFF) {
    return put(row, column, number_value(common::le_double(result)));
  }
  switch (result[0]) {
    case 0:
      return formula_text(row, column);
    case 1:
      return put(row, column, coded_value(CellValue::Kind::kBoolean, result[2]));
    case 2:
      return put(row, column, coded_value(CellValue::Kind::kError, result[2]));
    case 3:
      text_.clear();
      return put(row, column, text_value(text_));
    default:
      return fail(record, "caches a FORMULA result of an unknown kind");
  }
}

// The STRING record after a formula, which an ARRAY, SHRFMLA or TABLEOP
// record may come before, as xlrd reads them.
bool SheetPass::formula_text(uint32_t row, uint32_t column) {
  using namespace record_type;
  Record next;
  if (!records_->next(&next)) return false;
  if (next.type != kString && next.type != kStringOld) {
    if ((next.type == kArray && next.length < 14) ||
        (next.type == kSharedFormula && next.length < 10)) {
      return fail(next, "is too short for the formula it belongs to");
    }
    if (next.type != kArray && next.type != kSharedFormula && next.type != kTableOp &&
        next.type != kTableOp2 && next.type != kArrayOld && next.type != kTableOpOld) {
      return fail(next, "follows a formula with a text result: a STRING record should");
    }
    if (!records_->next(&next)) return false;
    if (next.type != kString && next.type != kStringOld) {
      return fail(next, "follows a formula with a text result: a STRING record should");
    }
  }
  if (!string_record(next)) return false;
  return put(row, column, text_value(text_));
}

// A STRING record as xlrd's string_record_contents reads it: all of each
// record after its width flag is text, going on in CONTINUE records until the
// characters (counted as Python counts them) reach the announced count.
bool SheetPass::string_record(const Record& first) {
  if (first.length < 2) return fail(first, "is too short for STRING");
  size_t expected = le16(first.data);
  size_t found = 0;
  size_t offset = 2;
  Record record = first;
  text_.clear();
  for (;;) {
    if (offset >= record.length) return fail(record, "ends before its text's width flag");
    bool wide = record.data[offset] & 0x01;
    ++offset;
    const unsigned char* chunk = record.data + offset;
    size_t chunk_length = record.length - offset;
    if (wide) {
      if (!decode_utf16(chunk, chunk_length, &text_, &found)) {
        return fail(record, "holds text that is not valid UTF-16");
      }
    } else {
      decode_latin1(chunk, chunk_length, &text_, &found);
    }
    if (found == expected) return true;
    if (found > expected) return fail(record, "holds more characters than its STRING announces");
    if (!records_->next(&record)) return false;
    if (record.type != record_type::kContinue) {
      return fail(record, "interrupts a STRING whose characters go on in CONTINUE records");
    }
    offset = 0;
  }
}

bool SheetPass::bool_or_error(const Record& record) {
  if (record.length < 8) return fail(record, "is too short for BOOLERR");
  unsigned char is_error = record.data[7];
  if (is_error > 1) return fail(record, "is a BOOLERR that is neither a boolean nor an error");
  auto kind = is_error ? CellValue::Kind::kError : CellValue::Kind::kBoolean;
  return put(le16(record.data), le16(record.data + 2), coded_value(kind, record.data[6]));
}

// An embedded substream (a chart in the worksheet) up to its EOF record.
bool SheetPass::skip_substream(const Record& bof) {
  if (bof.length < 4) return fail(bof, "is too short for BOF");
  Record record;
  do {
    if (!records_->next(&record)) return false;
  } while (record.type != record_type::kEof);
  return true;
}

}  // namespace

bool scan_sheet_cells(RecordReader* records, const SharedStrings& strings, int64_t offset,
                      const std::string& name, CellSink* sink, Problem* problem) {
  SheetPass pass(records, strings, name, sink, problem);
  return pass.run(offset);
}

}  // namespace sheetscan::xls
