// A stream of the compound file as the runs of file bytes that hold it, and
// its sequential reading through a buffer of fixed size, so that memory stays
// the same whatever the stream's size.
#pragma once

#include "sheetscan/xls/problem.hpp"

#include <cstdint>
#include <vector>

namespace sheetscan::xls {

// Where a stream's bytes lie in the file, in stream order.
class StreamLayout {
 public:
  // Appends `length` bytes at file offset `offset`, joining them to the last
  // run when they continue it.
  void append(uint64_t offset, uint64_t length);
  // Cuts the stream to its first `size` bytes.
  void truncate(uint64_t size);
  uint64_t size() const { return size_; }
  // How many of the stream's first bytes lie before `file_size`: where a
  // file that ends too soon cuts the stream.
  uint64_t present_before(uint64_t file_size) const;
  // The file offset of stream position `position` (below size()) and how
  // many bytes from there on lie in one run.
  void locate(uint64_t position, uint64_t* offset, uint64_t* run) const;

 private:
  struct Run {
    uint64_t start;   // stream position of its first byte
    uint64_t offset;  // file offset of its first byte
    uint64_t length;
  };
  std::vector<Run> runs_;
  uint64_t size_ = 0;
};

class StreamReader {
 public:
  // The largest span that peek() gives at once: a record's header and body.
  static constexpr size_t kMaxSpan = 4 + 0xFFFF;

  StreamReader(int fd, const StreamLayout& layout, Problem* problem);
  uint64_t size() const { return layout_.size(); }
  uint64_t position() const { return position_; }
  uint64_t remaining() const { return layout_.size() - position_; }
  void seek(uint64_t position) { position_ = position; }
  // The next `count` bytes (count <= remaining(), count <= kMaxSpan), valid
  // until the next call; null, with the problem set, when the file cannot be read.
  const unsigned char* peek(size_t count);
  void advance(size_t count) { position_ += count; }

 private:
  bool fill(size_t count);
  int fd_;
  const StreamLayout& layout_;
  Problem* problem_;
  std::vector<unsigned char> buffer_;
  uint64_t position_ = 0;
  uint64_t buffer_start_ = 0;  // stream position of buffer_[0]
  size_t buffered_ = 0;        // bytes of buffer_ that hold the stream
  size_t fill_size_ = 0;       // how much the next refill reads
};

}  // namespace sheetscan::xls
