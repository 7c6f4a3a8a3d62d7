#include "sheetscan/xls/shared_strings.hpp"

#include <algorithm>
#include <utility>

#include "common/little_endian.hpp"
#include "sheetscan/xls/text.hpp"

namespace sheetscan::xls {

namespace {

// Texts of the first strings are kept up to this size: a worksheet's title
// row usually refers to them.
constexpr size_t kKeptTextBytes = 256 * 1024;

// The bytes of the table, a record at a time: the SST record's, then those
// of each CONTINUE record after it.
class Pieces {
 public:
  Pieces(RecordReader* records, const Record& sst)
      : records_(records), data_(sst.data), length_(sst.length) {}
  const unsigned char* data() const { return data_; }
  size_t length() const { return length_; }
  // Moves to the next CONTINUE record; *more is false when the table has no
  // more records. False when the file cannot be read.
  bool advance(bool* more) {
    uint16_t type;
    bool at_end;
    *more = false;
    if (!records_->peek_type(&type, &at_end)) return false;
    if (at_end || type != record_type::kContinue) return true;
    Record record;
    if (!records_->next(&record)) return false;
    data_ = record.data;
    length_ = record.length;
    *more = true;
    return true;
  }

 private:
  RecordReader* records_;
  const unsigned char* data_;
  size_t length_;
};

// Walks the table's strings as xlrd's unpack_SST_table does. For each string,
// text_for(index) says where to decode it (null: nowhere), and done(index,
// empty) takes it and says whether to go on. With `validate`, every piece of
// every string is decoded, so that what makes xlrd fail is refused.
template <typename TextFor, typename Done>
bool walk_table(RecordReader* records, const Record& sst, bool validate, Problem* problem,
                TextFor text_for, Done done) {
  if (sst.length < 8) return problem->reject("the SST record is too short (%u bytes)", sst.length);
  int64_t declared = static_cast<int32_t>(common::le32(sst.data + 4));
  Pieces pieces(records, sst);
  size_t pos = 8;
  bool exhausted = false;
  auto cut = [&]() { return problem->reject("a shared string is cut short by its record"); };
  for (int64_t index = 0; index < declared && !exhausted; ++index) {
    if (static_cast<uint64_t>(index) >= kMaxSharedStrings) {
      return problem->reject("the shared string table holds more than %llu strings",
                             static_cast<unsigned long long>(kMaxSharedStrings));
    }
    if (pos == pieces.length() && index == 0) {
      bool more;
      if (!pieces.advance(&more)) return false;
      if (!more) break;  // a table without strings that declares some
      return cut();
    }
    if (pos + 3 > pieces.length()) return cut();
    size_t characters = common::le16(pieces.data() + pos);
    unsigned char options = pieces.data()[pos + 2];
    pos += 3;
    size_t runs = 0;
    int64_t phonetic = 0;
    if (options & 0x08) {
      if (pos + 2 > pieces.length()) return cut();
      runs = common::le16(pieces.data() + pos);
      pos += 2;
    }
    if (options & 0x04) {
      if (pos + 4 > pieces.length()) return cut();
      phonetic = static_cast<int32_t>(common::le32(pieces.data() + pos));
      pos += 4;
    }
    std::string* text = text_for(static_cast<uint64_t>(index));
    if (text) text->clear();
    bool decode = text || validate;
    size_t got = 0;
    for (;;) {
      size_t left = pieces.length() - pos;
      size_t need = characters - got;
      size_t count = 0;
      size_t taken;
      if (options & 0x01) {
        taken = std::min(left / 2, need);
        if (decode && !decode_utf16(pieces.data() + pos, 2 * taken, text, &count)) {
          return problem->reject("shared string %lld is not valid UTF-16",
                                 static_cast<long long>(index));
        }
        pos += 2 * taken;
      } else {
        taken = std::min(left, need);
        if (text) decode_latin1(pieces.data() + pos, taken, text, &count);
        pos += taken;
      }
      got += taken;
      if (got == characters) break;
      bool more;
      if (!pieces.advance(&more)) return false;
      if (!more || pieces.length() == 0) {
        return problem->reject("shared string %lld runs past the end of the table",
                               static_cast<long long>(index));
      }
      options = pieces.data()[0];
      pos = 1;
    }
    for (size_t run = 0; run < runs; ++run) {
      if (pos == pieces.length()) {
        bool more;
        if (!pieces.advance(&more)) return false;
        if (!more) return cut();
        pos = 0;
      }
      if (pos + 4 > pieces.length()) return cut();
      pos += 4;
    }
    if (phonetic < 0)
      return problem->reject(
          "shared string %lld has a phonetic block of negative "
          "size",
          static_cast<long long>(index));
    pos += static_cast<size_t>(phonetic);
    if (pos >= pieces.length()) {
      pos -= pieces.length();
      bool more;
      if (!pieces.advance(&more)) return false;
      exhausted = !more;
    }
    if (!done(static_cast<uint64_t>(index), characters == 0)) break;
  }
  return true;
}

}  // namespace

bool SharedStrings::read(RecordReader* records, const Record& sst, Problem* problem) {
  table_offset_ = sst.offset;
  empty_.clear();
  first_.clear();
  first_bytes_ = 0;
  std::string text;
  auto text_for = [&](uint64_t) { return first_bytes_ < kKeptTextBytes ? &text : nullptr; };
  auto done = [&](uint64_t, bool empty) {
    empty_.push_back(empty);
    if (first_bytes_ < kKeptTextBytes) {
      first_bytes_ += text.size();
      first_.push_back(std::move(text));
      text.clear();
    }
    return true;
  };
  if (!walk_table(records, sst, true, problem, text_for, done)) return false;
  // The CONTINUE records that the strings did not use belong to the table too.
  for (;;) {
    uint16_t type;
    bool at_end;
    if (!records->peek_type(&type, &at_end)) return false;
    if (at_end || type != record_type::kContinue) return true;
    Record skipped;
    if (!records->next(&skipped)) return false;
  }
}

bool SharedStrings::texts(RecordReader* records, std::map<uint32_t, std::string>* wanted,
                          size_t most_bytes, Problem* problem) const {
  size_t missing = 0;
  size_t bytes = 0;
  auto too_long = [&]() {
    return problem->reject("the texts of the first rows are longer than %zu MiB in all",
                           most_bytes >> 20);
  };
  for (auto& entry : *wanted) {
    if (entry.first < first_.size()) {
      entry.second = first_[entry.first];
      bytes += entry.second.size();
    } else {
      ++missing;
    }
  }
  if (bytes > most_bytes) return too_long();
  if (!missing) return true;
  records->seek(table_offset_);
  Record sst;
  if (!records->next(&sst)) return false;
  auto text_for = [&](uint64_t index) -> std::string* {
    if (index < first_.size()) return nullptr;
    auto found = wanted->find(static_cast<uint32_t>(index));
    return found == wanted->end() ? nullptr : &found->second;
  };
  bool over = false;
  auto done = [&](uint64_t index, bool) {
    auto found = wanted->find(static_cast<uint32_t>(index));
    if (index < first_.size() || found == wanted->end()) return true;
    --missing;
    bytes += found->second.size();
    over = bytes > most_bytes;
    return missing > 0 && !over;
  };
  if (!walk_table(records, sst, false, problem, text_for, done)) return false;
  return !over || too_long();
}

}  // namespace sheetscan::xls
