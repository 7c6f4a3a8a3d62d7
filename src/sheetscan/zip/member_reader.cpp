#include "sheetscan/zip/member_reader.hpp"

#include <cstring>

#include "common/compat.hpp"
#include "common/little_endian.hpp"

namespace sheetscan {

namespace {

constexpr size_t kInputChunk = 64 * 1024;
constexpr Py_ssize_t kOutputChunk = 256 * 1024;
constexpr size_t kLocalHeaderSize = 30;
constexpr uint16_t kStored = 0;
constexpr uint16_t kDeflated = 8;
// Encrypted (bit 0) and patched data (bit 5), which zipfile does not read either.
constexpr uint16_t kUnreadableFlags = 0x0021;
// zlib's window bits for raw deflate data, without zlib's own header.
constexpr long kRawDeflate = -15;

}  // namespace

bool MemberReader::open(const ZipArchive& archive, const std::string& name) {
  ScanContext& context = archive.context();
  const ZipMember* member = archive.find(name);
  if (!member) return context.unsupported("the archive has no member %s", name.c_str());
  archive_ = &archive;
  name_ = archive.stored_name(name);
  member_ = *member;
  if (member_.flags & kUnreadableFlags) {
    return context.unsupported("member %s is encrypted", name.c_str());
  }
  if (member_.method != kStored && member_.method != kDeflated) {
    return context.unsupported("member %s is compressed with method %d", name.c_str(),
                               member_.method);
  }
  if (!check_local_header(name)) return false;
  if (member_.method == kStored && member_.compressed_size != member_.size) {
    return context.reject("member %s: stored sizes differ", name.c_str());
  }
  input_left_ = member_.compressed_size;
  crc_ = steal(PyLong_FromLong(0));
  if (!crc_) return false;
  zlib_ = context.zlib();
  if (!zlib_) return false;
  return member_.method != kDeflated || start_inflater();
}

// Checks the local header against the central directory and finds where the data starts.
bool MemberReader::check_local_header(const std::string& name) {
  ScanContext& context = archive_->context();
  unsigned char header[kLocalHeaderSize];
  // A file that ends before the header is refused; a failing read is not the file's fault.
  if (member_.header_offset > archive_->file_size()) {
    return context.reject("member %s: its local header lies outside the archive", name.c_str());
  }
  switch (archive_->read_or_end(member_.header_offset, header, sizeof header)) {
    case common::ReadStatus::kComplete:
      break;
    case common::ReadStatus::kEndOfFile:
      return context.reject("member %s: its local header lies outside the archive", name.c_str());
    case common::ReadStatus::kError:
      return false;
  }
  if (std::memcmp(header, "PK\3\4", 4) != 0) {
    return context.reject("member %s: bad local header", name.c_str());
  }
  size_t name_length = common::le16(header + 26);
  std::string local_name(name_length, '\0');
  if (name_length &&
      !archive_->read(member_.header_offset + kLocalHeaderSize, &local_name[0], name_length)) {
    return false;
  }
  if (local_name != name_) {
    return context.reject("member %s: its local header names another", name.c_str());
  }
  input_offset_ =
      member_.header_offset + kLocalHeaderSize + name_length + common::le16(header + 28);
  if (input_offset_ > archive_->file_size() ||
      member_.compressed_size > archive_->file_size() - input_offset_) {
    return context.reject("member %s extends beyond the archive", name.c_str());
  }
  return true;
}

bool MemberReader::start_inflater() {
  Ref window_bits = steal(PyLong_FromLong(kRawDeflate));
  if (!window_bits) return false;
  PyObject* arguments[] = {window_bits.get()};
  decompressor_ = common::call_vector(zlib_->decompressobj, arguments, 1);
  if (!decompressor_) return false;
  decompress_ = steal(PyObject_GetAttr(decompressor_.get(), context().names().decompress));
  if (!decompress_) return false;
  max_length_ = steal(PyLong_FromSsize_t(kOutputChunk));
  return static_cast<bool>(max_length_);
}

bool MemberReader::read_input(Ref* chunk) {
  size_t length = input_left_ < kInputChunk ? static_cast<size_t>(input_left_) : kInputChunk;
  *chunk = steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length)));
  if (!*chunk || !archive_->read(input_offset_, PyBytes_AS_STRING(chunk->get()), length)) {
    return false;
  }
  input_offset_ += length;
  input_left_ -= length;
  return true;
}

bool MemberReader::inflate(PyObject* input) {
  PyObject* arguments[] = {input, max_length_.get()};
  output_ = common::call_vector(decompress_.get(), arguments, 2);
  if (!output_) {
    // zlib.error: the deflated data is damaged; anything else is passed on.
    if (!PyErr_ExceptionMatches(zlib_->error)) return false;
    PyErr_Clear();
    return context().reject("member %s: its deflated data is damaged", name_.c_str());
  }
  output_was_full_ = PyBytes_GET_SIZE(output_.get()) == kOutputChunk;
  Ref eof = steal(PyObject_GetAttr(decompressor_.get(), context().names().eof));
  if (!eof) return false;
  if (eof.get() == Py_True) {
    // The deflated data has ended. zlib may still hold what followed it as
    // unconsumed_tail, which it would never take however often it is fed
    // again; what follows is ignored, as zipfile ignores it.
    tail_ = Ref();
    output_was_full_ = false;
    input_left_ = 0;
  } else {
    tail_ = steal(PyObject_GetAttr(decompressor_.get(), context().names().unconsumed_tail));
    if (!tail_) return false;
  }
  return account(output_.get());
}

bool MemberReader::account(PyObject* output) {
  uint64_t length = static_cast<uint64_t>(PyBytes_GET_SIZE(output));
  if (length > member_.size - produced_) {
    return context().reject("member %s inflates beyond its recorded size", name_.c_str());
  }
  produced_ += length;
  PyObject* arguments[] = {output, crc_.get()};
  crc_ = common::call_vector(zlib_->crc32, arguments, 2);
  return static_cast<bool>(crc_);
}

bool MemberReader::finish() {
  done_ = true;
  ScanContext& context = archive_->context();
  if (decompressor_) {
    Ref eof = steal(PyObject_GetAttr(decompressor_.get(), context.names().eof));
    if (!eof) return false;
    if (eof.get() != Py_True) {
      return context.reject("member %s: its deflated data ends early", name_.c_str());
    }
  }
  if (produced_ != member_.size) {
    return context.reject("member %s is shorter than recorded", name_.c_str());
  }
  unsigned long crc = PyLong_AsUnsignedLong(crc_.get());
  if (crc == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
  if (crc != member_.crc) return context.reject("member %s: bad CRC", name_.c_str());
  return true;
}

bool MemberReader::next(const char** data, size_t* length) {
  *length = 0;
  output_ = Ref();
  while (!done_) {
    if (PyErr_CheckSignals() < 0) return false;
    if (!decompressor_) {
      if (input_left_ == 0) return finish();
      if (!read_input(&output_) || !account(output_.get())) return false;
    } else if ((tail_ && PyBytes_GET_SIZE(tail_.get()) > 0) || output_was_full_) {
      Ref input = tail_ ? tail_.share() : steal(PyBytes_FromStringAndSize(nullptr, 0));
      if (!input || !inflate(input.get())) return false;
    } else if (input_left_ > 0) {
      Ref input;
      if (!read_input(&input) || !inflate(input.get())) return false;
    } else {
      return finish();
    }
    if (PyBytes_GET_SIZE(output_.get()) > 0) {
      *data = PyBytes_AS_STRING(output_.get());
      *length = static_cast<size_t>(PyBytes_GET_SIZE(output_.get()));
      return true;
    }
  }
  return true;
}

}  // namespace sheetscan
