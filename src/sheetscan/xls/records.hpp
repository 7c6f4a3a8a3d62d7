// The records of a BIFF8 stream: a 16-bit type and a 16-bit length, then the
// record's bytes. A record is handed out in place, valid until the reader
// moves on; one that runs past the end of its stream is refused.
#pragma once

#include "sheetscan/xls/stream_reader.hpp"

#include <cstdint>

namespace sheetscan::xls {

namespace record_type {
constexpr uint16_t kDimensionsOld = 0x0000;
constexpr uint16_t kFormula = 0x0006;
constexpr uint16_t kStringOld = 0x0007;
constexpr uint16_t kBofOld = 0x0009;
constexpr uint16_t kEof = 0x000A;
constexpr uint16_t kArrayOld = 0x0021;
constexpr uint16_t kFilePass = 0x002F;
constexpr uint16_t kTableOpOld = 0x0036;
constexpr uint16_t kTableOp2 = 0x0037;
constexpr uint16_t kContinue = 0x003C;
constexpr uint16_t kBoundSheet = 0x0085;
constexpr uint16_t kMulRk = 0x00BD;
constexpr uint16_t kRichString = 0x00D6;
constexpr uint16_t kSst = 0x00FC;
constexpr uint16_t kLabelSst = 0x00FD;
constexpr uint16_t kDimensions = 0x0200;
constexpr uint16_t kNumber = 0x0203;
constexpr uint16_t kLabel = 0x0204;
constexpr uint16_t kBoolErr = 0x0205;
constexpr uint16_t kFormula3 = 0x0206;
constexpr uint16_t kString = 0x0207;
constexpr uint16_t kBof3 = 0x0209;
constexpr uint16_t kArray = 0x0221;
constexpr uint16_t kTableOp = 0x0236;
constexpr uint16_t kRk = 0x027E;
constexpr uint16_t kFormula4 = 0x0406;
constexpr uint16_t kBof4 = 0x0409;
constexpr uint16_t kSharedFormula = 0x04BC;
constexpr uint16_t kBof = 0x0809;
}  // namespace record_type

// Whether `type` is a BOF record of any BIFF version.
inline bool is_bof(uint16_t type) {
  using namespace record_type;
  return type == kBof || type == kBof4 || type == kBof3 || type == kBofOld;
}

struct Record {
  uint16_t type = 0;
  uint16_t length = 0;
  const unsigned char* data = nullptr;  // valid until the reader moves
  uint64_t offset = 0;                  // of its header, in the stream
};

class RecordReader {
 public:
  RecordReader(StreamReader* stream, Problem* problem) : stream_(stream), problem_(problem) {}
  // The next record; false, with the problem set, at the end of the stream
  // (every record list ends with an EOF record), for a record that runs past
  // it, or when the file cannot be read.
  bool next(Record* record);
  // The type of the next record, without moving; *at_end when the stream
  // has no more records. False, with the problem set, when the file cannot be read.
  bool peek_type(uint16_t* type, bool* at_end);
  void seek(uint64_t offset) { stream_->seek(offset); }
  uint64_t position() const { return stream_->position(); }
  uint64_t size() const { return stream_->size(); }
  // Refuses to read more than `most` bytes of records from here on: what
  // keeps worksheets that overlap from costing more than the stream's size
  // many times over.
  void limit_reading(uint64_t most) {
    read_ = 0;
    most_ = most;
  }

 private:
  StreamReader* stream_;
  Problem* problem_;
  uint64_t read_ = 0;
  uint64_t most_ = UINT64_MAX;
};

}  // namespace sheetscan::xls
