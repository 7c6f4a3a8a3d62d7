#include "sheetscan/xls/workbook.hpp"

#include "common/little_endian.hpp"
#include "sheetscan/xls/text.hpp"

#include <utility>

namespace sheetscan::xls {

namespace {

constexpr uint16_t kBiff8 = 0x0600;
constexpr uint16_t kGlobalsStream = 0x0005;
constexpr uint8_t kWorksheetSheet = 0x00;  // BOUNDSHEET's kinds: also macro sheets, charts, VB
constexpr uint64_t kSlack = 1 << 20;

}  // namespace

bool Workbook::open(int fd, Problem* problem) {
  problem_ = problem;
  if (!file_.open(fd, problem) || !file_.find_workbook(&layout_)) return false;
  stream_.reset(new StreamReader(fd, layout_, problem));
  records_.reset(new RecordReader(stream_.get(), problem));
  if (!read_bof() || !read_globals()) return false;
  // Each worksheet read once or twice, and the shared strings once more, in
  // a stream whose worksheets do not overlap.
  records_->limit_reading(4 * layout_.size() + kSlack);
  return true;
}

// BIFF8 workbook globals start with a BOF record of version 0x0600 and
// stream type 5; anything else (BIFF5 and older, a worksheet alone, damage)
// is left to xlrd, which reads the older versions and explains the rest.
bool Workbook::read_bof() {
  if (records_->size() < 4) return problem_->reject("the workbook stream is empty");
  Record bof;
  if (!records_->next(&bof)) return false;
  if (bof.type != record_type::kBof || bof.length < 4 || bof.length > 20 ||
      common::le16(bof.data) != kBiff8 || common::le16(bof.data + 2) != kGlobalsStream) {
    return problem_->unsupported("not BIFF8 workbook globals (BOF 0x%04X, version 0x%04X)",
                                 bof.type, bof.length >= 2 ? common::le16(bof.data) : 0);
  }
  return true;
}

bool Workbook::read_globals() {
  for (;;) {
    Record record;
    if (!records_->next(&record)) return false;
    switch (record.type) {
      case record_type::kEof:
        return true;
      case record_type::kFilePass:
        return problem_->unsupported("the workbook is encrypted (FILEPASS)");
      case record_type::kSst:
        if (!strings_.read(records_.get(), record, problem_)) return false;
        break;
      case record_type::kBoundSheet:
        if (!add_sheet(record)) return false;
        break;
      default:
        break;
    }
  }
}

// BOUNDSHEET: the offset of the sheet's BOF record, its visibility, its
// kind, and its name (decoded for every kind, as xlrd does).
bool Workbook::add_sheet(const Record& record) {
  std::string name;
  if (record.length < 6 || !read_record_string(record.data, record.length, 6, 1, &name)) {
    return problem_->reject(
        "record 0x%04X at offset %llu holds a BOUNDSHEET that xlrd cannot "
        "read",
        record.type, static_cast<unsigned long long>(record.offset));
  }
  if (record.data[5] != kWorksheetSheet) return true;
  if (worksheets_.size() >= kMaxSheets) {
    return problem_->reject("the workbook has more than %zu worksheets", kMaxSheets);
  }
  worksheets_.push_back(
      SheetEntry{std::move(name), static_cast<int32_t>(common::le32(record.data))});
  return true;
}

}  // namespace sheetscan::xls
