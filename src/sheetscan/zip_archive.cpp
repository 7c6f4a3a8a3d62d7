#include "zip_archive.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "common/little_endian.hpp"
#include "common/read_at.hpp"

namespace sheetscan {

namespace {

constexpr size_t kInputChunk = 64 * 1024;
constexpr Py_ssize_t kOutputChunk = 256 * 1024;
constexpr size_t kEndRecordSize = 22;
constexpr size_t kLargestComment = 0xFFFF;
constexpr size_t kCentralHeaderSize = 46;
constexpr size_t kLocalHeaderSize = 30;
constexpr uint16_t kStored = 0;
constexpr uint16_t kDeflated = 8;
// Encrypted (bit 0) and patched data (bit 5), which zipfile does not read either.
constexpr uint16_t kUnreadableFlags = 0x0021;

// A member name as looked up when no name matches exactly: part names ignore
// ASCII case, and some writers separate folders with backslashes.
std::string folded(std::string name) {
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c == '\\') c = '/';
  }
  return name;
}

using common::le16;
using common::le32;

PyObject* zlib_module() {
  static PyObject* module = nullptr;  // kept for the life of the process
  if (!module) module = PyImport_ImportModule("zlib");
  return module;
}

}  // namespace

bool read_exactly(int fd, uint64_t offset, void* buffer, size_t length) {
  switch (common::read_exactly(fd, buffer, length, offset)) {
    case common::ReadStatus::kComplete:
      return true;
    case common::ReadStatus::kEndOfFile:
      return refuse("the archive ends early");
    case common::ReadStatus::kError:
      break;
  }
  PyErr_SetFromErrno(PyExc_OSError);
  return false;
}

bool ZipArchive::open(int fd) {
  fd_ = fd;
  struct stat status;
  if (fstat(fd, &status) != 0) {
    PyErr_SetFromErrno(PyExc_OSError);
    return false;
  }
  file_size_ = static_cast<uint64_t>(status.st_size);
  if (file_size_ < kEndRecordSize) return refuse("too short for a zip archive");
  // The end record is the last one in the final 64 KiB + 22 bytes (after it, only its comment).
  size_t tail_size = static_cast<size_t>(file_size_ < kEndRecordSize + kLargestComment
                                             ? file_size_
                                             : kEndRecordSize + kLargestComment);
  std::vector<unsigned char> tail(tail_size);
  uint64_t tail_start = file_size_ - tail_size;
  if (!read_exactly(fd, tail_start, tail.data(), tail_size)) return false;
  for (size_t at = tail_size - kEndRecordSize + 1; at-- > 0;) {
    const unsigned char* end = tail.data() + at;
    if (std::memcmp(end, "PK\5\6", 4) != 0) continue;
    uint64_t count = le16(end + 10);
    uint64_t size = le32(end + 12);
    uint64_t offset = le32(end + 16);
    if (count == 0xFFFF || size == 0xFFFFFFFF || offset == 0xFFFFFFFF) {
      return refuse("zip64 archives are not read natively");
    }
    uint64_t end_position = tail_start + at;
    if (size > end_position) return refuse("the central directory lies outside the archive");
    uint64_t start = end_position - size;
    // Data prepended to the archive shifts every recorded offset, as zipfile allows.
    if (offset > start) return refuse("the central directory lies outside the archive");
    return read_central_directory(start, size, count, start - offset);
  }
  return refuse("not a zip archive (no end of central directory)");
}

bool ZipArchive::read_central_directory(uint64_t start, uint64_t size, uint64_t count,
                                        uint64_t shift) {
  std::vector<unsigned char> directory(static_cast<size_t>(size));
  if (size && !read_exactly(fd_, start, directory.data(), directory.size())) return false;
  size_t at = 0;
  for (uint64_t index = 0; index < count; ++index) {
    if (directory.size() - at < kCentralHeaderSize ||
        std::memcmp(directory.data() + at, "PK\1\2", 4) != 0) {
      return refuse("the central directory is damaged");
    }
    const unsigned char* header = directory.data() + at;
    size_t variable =
        static_cast<size_t>(le16(header + 28)) + le16(header + 30) + le16(header + 32);
    if (directory.size() - at - kCentralHeaderSize < variable) {
      return refuse("the central directory is damaged");
    }
    ZipMember member;
    member.flags = le16(header + 8);
    member.method = le16(header + 10);
    member.crc = le32(header + 16);
    member.compressed_size = le32(header + 20);
    member.size = le32(header + 24);
    member.header_offset = le32(header + 42);
    if (member.compressed_size == 0xFFFFFFFF || member.size == 0xFFFFFFFF ||
        member.header_offset == 0xFFFFFFFF) {
      return refuse("zip64 members are not read natively");
    }
    member.header_offset += shift;
    std::string name(reinterpret_cast<const char*>(header + kCentralHeaderSize), le16(header + 28));
    folded_names_[folded(name)] = name;
    members_[name] = member;
    at += kCentralHeaderSize + variable;
  }
  return true;
}

std::string ZipArchive::stored_name(const std::string& name) const {
  if (members_.count(name)) return name;
  auto found = folded_names_.find(folded(name));
  return found == folded_names_.end() ? name : found->second;
}

const ZipMember* ZipArchive::find(const std::string& name) const {
  auto found = members_.find(stored_name(name));
  return found == members_.end() ? nullptr : &found->second;
}

bool MemberReader::open(const ZipArchive& archive, const std::string& name) {
  const ZipMember* member = archive.find(name);
  if (!member) return refuse("the archive has no member %s", name.c_str());
  archive_ = &archive;
  name_ = archive.stored_name(name);
  member_ = *member;
  if (member_.flags & kUnreadableFlags) return refuse("member %s is encrypted", name.c_str());
  if (member_.method != kStored && member_.method != kDeflated) {
    return refuse("member %s is compressed with method %d", name.c_str(), member_.method);
  }
  unsigned char header[kLocalHeaderSize];
  if (member_.header_offset > archive.file_size() ||
      !read_exactly(archive.fd(), member_.header_offset, header, sizeof header)) {
    PyErr_Clear();
    return refuse("member %s: its local header lies outside the archive", name.c_str());
  }
  if (std::memcmp(header, "PK\3\4", 4) != 0) {
    return refuse("member %s: bad local header", name.c_str());
  }
  size_t name_length = le16(header + 26);
  std::string local_name(name_length, '\0');
  if (name_length && !read_exactly(archive.fd(), member_.header_offset + kLocalHeaderSize,
                                   &local_name[0], name_length)) {
    return false;
  }
  if (local_name != name_) return refuse("member %s: its local header names another", name.c_str());
  input_offset_ = member_.header_offset + kLocalHeaderSize + name_length + le16(header + 28);
  if (input_offset_ > archive.file_size() ||
      member_.compressed_size > archive.file_size() - input_offset_) {
    return refuse("member %s extends beyond the archive", name.c_str());
  }
  if (member_.method == kStored && member_.compressed_size != member_.size) {
    return refuse("member %s: stored sizes differ", name.c_str());
  }
  input_left_ = member_.compressed_size;
  crc_ = steal(PyLong_FromLong(0));
  if (!crc_) return false;
  if (member_.method == kDeflated) {
    PyObject* zlib = zlib_module();
    if (!zlib) return false;
    decompressor_ = steal(PyObject_CallMethod(zlib, "decompressobj", "i", -15));
    if (!decompressor_) return false;
  }
  return true;
}

bool MemberReader::read_input(Ref* chunk) {
  size_t length = input_left_ < kInputChunk ? static_cast<size_t>(input_left_) : kInputChunk;
  *chunk = steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length)));
  if (!*chunk ||
      !read_exactly(archive_->fd(), input_offset_, PyBytes_AS_STRING(chunk->get()), length)) {
    return false;
  }
  input_offset_ += length;
  input_left_ -= length;
  return true;
}

bool MemberReader::inflate(PyObject* input) {
  output_ =
      steal(PyObject_CallMethod(decompressor_.get(), "decompress", "On", input, kOutputChunk));
  if (!output_) {
    // zlib.error: the deflated data is damaged.
    if (!PyErr_ExceptionMatches(PyExc_MemoryError)) {
      PyErr_Clear();
      return refuse("member %s: its deflated data is damaged", name_.c_str());
    }
    return false;
  }
  output_was_full_ = PyBytes_GET_SIZE(output_.get()) == kOutputChunk;
  Ref eof = steal(PyObject_GetAttrString(decompressor_.get(), "eof"));
  if (!eof) return false;
  if (eof.get() == Py_True) {
    // The deflated data has ended. zlib may still hold what followed it as
    // unconsumed_tail, which it would never take however often it is fed
    // again; what follows is ignored, as zipfile ignores it.
    tail_ = Ref();
    output_was_full_ = false;
    input_left_ = 0;
  } else {
    tail_ = steal(PyObject_GetAttrString(decompressor_.get(), "unconsumed_tail"));
    if (!tail_) return false;
  }
  return account(output_.get());
}

bool MemberReader::account(PyObject* output) {
  uint64_t length = static_cast<uint64_t>(PyBytes_GET_SIZE(output));
  if (length > member_.size - produced_) {
    return refuse("member %s inflates beyond its recorded size", name_.c_str());
  }
  produced_ += length;
  crc_ = steal(PyObject_CallMethod(zlib_module(), "crc32", "OO", output, crc_.get()));
  return static_cast<bool>(crc_);
}

bool MemberReader::finish() {
  done_ = true;
  if (decompressor_) {
    Ref eof = steal(PyObject_GetAttrString(decompressor_.get(), "eof"));
    if (!eof) return false;
    if (eof.get() != Py_True)
      return refuse("member %s: its deflated data ends early", name_.c_str());
  }
  if (produced_ != member_.size) return refuse("member %s is shorter than recorded", name_.c_str());
  unsigned long crc = PyLong_AsUnsignedLong(crc_.get());
  if (crc == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
  if (crc != member_.crc) return refuse("member %s: bad CRC", name_.c_str());
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
