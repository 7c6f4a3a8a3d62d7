#include "sheetscan/zip/zip_archive.hpp"

#include <sys/stat.h>

#include <cstring>
#include <vector>

#include "common/little_endian.hpp"
#include "sheetscan/limits.hpp"

namespace sheetscan {

namespace {

constexpr size_t kEndRecordSize = 22;
constexpr size_t kLargestComment = 0xFFFF;
constexpr size_t kCentralHeaderSize = 46;

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
using common::le64;

// The uncompressed size that the zip64 extra field (id 1) of the central
// header `header` declares, its first item when the header's own says 0xFFFFFFFF.
bool zip64_size(const unsigned char* header, uint64_t* size) {
  const unsigned char* extra = header + kCentralHeaderSize + le16(header + 28);
  const unsigned char* end = extra + le16(header + 30);
  while (end - extra >= 4) {
    size_t length = le16(extra + 2);
    if (static_cast<size_t>(end - extra - 4) < length) return false;
    if (le16(extra) == 1 && length >= 8) {
      *size = le64(extra + 4);
      return true;
    }
    extra += 4 + length;
  }
  return false;
}

}  // namespace

common::ReadStatus ZipArchive::read_or_end(uint64_t offset, void* into, size_t length) const {
  common::ReadStatus status = common::read_exactly(fd_, into, length, offset);
  if (status == common::ReadStatus::kError) PyErr_SetFromErrno(PyExc_OSError);
  return status;
}

bool ZipArchive::read(uint64_t offset, void* into, size_t length) const {
  switch (read_or_end(offset, into, length)) {
    case common::ReadStatus::kComplete:
      return true;
    case common::ReadStatus::kEndOfFile:
      return context_.reject("the archive ends early");
    case common::ReadStatus::kError:
      break;
  }
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
  if (file_size_ < kEndRecordSize) return context_.reject("too short for a zip archive");
  // The end record is the last one in the final 64 KiB + 22 bytes (after it, only its comment).
  size_t tail_size = static_cast<size_t>(file_size_ < kEndRecordSize + kLargestComment
                                             ? file_size_
                                             : kEndRecordSize + kLargestComment);
  std::vector<unsigned char> tail(tail_size);
  uint64_t tail_start = file_size_ - tail_size;
  if (!read(tail_start, tail.data(), tail_size)) return false;
  for (size_t at = tail_size - kEndRecordSize + 1; at-- > 0;) {
    const unsigned char* end = tail.data() + at;
    if (std::memcmp(end, "PK\5\6", 4) != 0) continue;
    uint64_t count = le16(end + 10);
    uint64_t size = le32(end + 12);
    uint64_t offset = le32(end + 16);
    if (count == 0xFFFF || size == 0xFFFFFFFF || offset == 0xFFFFFFFF) {
      return context_.unsupported("zip64 archives are not read natively");
    }
    uint64_t end_position = tail_start + at;
    if (size > end_position)
      return context_.reject("the central directory lies outside the archive");
    uint64_t start = end_position - size;
    // Data prepended to the archive shifts every recorded offset, as zipfile allows.
    if (offset > start) return context_.reject("the central directory lies outside the archive");
    return read_central_directory(start, size, count, start - offset);
  }
  return context_.reject("not a zip archive (no end of central directory)");
}

bool ZipArchive::read_central_directory(uint64_t start, uint64_t size, uint64_t count,
                                        uint64_t shift) {
  if (count > kMaxParts) {
    return context_.reject("the archive holds more than %zu parts", kMaxParts);
  }
  std::vector<unsigned char> directory(static_cast<size_t>(size));
  if (size && !read(start, directory.data(), directory.size())) return false;
  size_t at = 0;
  bool has_zip64_members = false, sizes_known = true;
  for (uint64_t index = 0; index < count; ++index) {
    if (directory.size() - at < kCentralHeaderSize ||
        std::memcmp(directory.data() + at, "PK\1\2", 4) != 0) {
      return context_.reject("the central directory is damaged");
    }
    const unsigned char* header = directory.data() + at;
    size_t variable =
        static_cast<size_t>(le16(header + 28)) + le16(header + 30) + le16(header + 32);
    if (directory.size() - at - kCentralHeaderSize < variable) {
      return context_.reject("the central directory is damaged");
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
      has_zip64_members = true;
      if (member.size == 0xFFFFFFFF && !zip64_size(header, &member.size)) sizes_known = false;
    }
    member.header_offset += shift;
    declared_bytes_ +=
        member.size < UINT64_MAX - declared_bytes_ ? member.size : UINT64_MAX - declared_bytes_;
    std::string name(reinterpret_cast<const char*>(header + kCentralHeaderSize), le16(header + 28));
    folded_names_[folded(name)] = name;
    members_[name] = member;
    at += kCentralHeaderSize + variable;
  }
  // The sizes are read even so: they say whether openpyxl may be handed the file.
  sizes_known_ = sizes_known;
  if (has_zip64_members) return context_.unsupported("zip64 members are not read natively");
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

}  // namespace sheetscan
