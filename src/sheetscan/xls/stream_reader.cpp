#include "sheetscan/xls/stream_reader.hpp"

#include <algorithm>
#include <cstring>

namespace sheetscan::xls {

namespace {

// Large enough that most records are read without moving bytes, small enough
// to cost nothing next to the interpreter.
constexpr size_t kBufferSize = 256 * 1024;
static_assert(kBufferSize >= 2 * StreamReader::kMaxSpan, "room to keep a span while refilling");
// What a refill reads after a jump (to a worksheet, back to the shared
// strings); reading on from there doubles it up to the buffer's size.
constexpr size_t kFirstFill = 16 * 1024;

}  // namespace

void StreamLayout::append(uint64_t offset, uint64_t length) {
  if (length == 0) return;
  if (!runs_.empty() && runs_.back().offset + runs_.back().length == offset) {
    runs_.back().length += length;
  } else {
    runs_.push_back(Run{size_, offset, length});
  }
  size_ += length;
}

void StreamLayout::truncate(uint64_t size) {
  if (size >= size_) return;
  while (!runs_.empty() && runs_.back().start >= size) runs_.pop_back();
  if (!runs_.empty()) runs_.back().length = size - runs_.back().start;
  size_ = size;
}

uint64_t StreamLayout::present_before(uint64_t file_size) const {
  for (const Run& run : runs_) {
    if (run.offset + run.length > file_size) {
      return run.start + (run.offset < file_size ? file_size - run.offset : 0);
    }
  }
  return size_;
}

void StreamLayout::locate(uint64_t position, uint64_t* offset, uint64_t* run) const {
  auto after = std::upper_bound(runs_.begin(), runs_.end(), position,
                                [](uint64_t at, const Run& r) { return at < r.start; });
  const Run& found = *(after - 1);
  *offset = found.offset + (position - found.start);
  *run = found.length - (position - found.start);
}

StreamReader::StreamReader(int fd, const StreamLayout& layout, Problem* problem)
    : fd_(fd), layout_(layout), problem_(problem), buffer_(kBufferSize) {}

const unsigned char* StreamReader::peek(size_t count) {
  bool inside = position_ >= buffer_start_ && position_ + count <= buffer_start_ + buffered_;
  if (!inside && !fill(count)) return nullptr;
  return buffer_.data() + (position_ - buffer_start_);
}

// Refills the buffer from the position on, keeping the bytes already read
// that the position still needs.
bool StreamReader::fill(size_t count) {
  uint64_t buffered_end = buffer_start_ + buffered_;
  size_t kept = 0;
  if (position_ >= buffer_start_ && position_ <= buffered_end && buffered_ > 0) {
    kept = static_cast<size_t>(buffered_end - position_);
    std::memmove(buffer_.data(), buffer_.data() + (position_ - buffer_start_), kept);
    fill_size_ = std::min(2 * fill_size_, buffer_.size());
  } else {
    fill_size_ = kFirstFill;
  }
  buffer_start_ = position_;
  buffered_ = kept;
  uint64_t wanted = std::min<uint64_t>(std::max(fill_size_, count), layout_.size() - position_);
  while (buffered_ < wanted) {
    uint64_t offset, run;
    layout_.locate(buffer_start_ + buffered_, &offset, &run);
    size_t chunk = static_cast<size_t>(std::min<uint64_t>(run, wanted - buffered_));
    if (!read_file(fd_, buffer_.data() + buffered_, chunk, offset, "the workbook stream", problem_))
      return false;
    buffered_ += chunk;
  }
  return buffered_ >= count || problem_->reject("internal: read past the end of a stream");
}

}  // namespace sheetscan::xls
