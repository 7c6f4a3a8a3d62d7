// The members of a zip archive read in place from an open file: the central
// directory is read once; member_reader.hpp inflates a member.
#pragma once

#include "sheetscan/scan_context.hpp"

#include <cstdint>
#include <string>
#include <unordered_map>

#include "common/read_at.hpp"

namespace sheetscan {

struct ZipMember {
  uint64_t header_offset = 0;  // of the local header, in the file
  uint64_t compressed_size = 0;
  uint64_t size = 0;
  uint32_t crc = 0;
  uint16_t flags = 0;
  uint16_t method = 0;
};

class ZipArchive {
 public:
  explicit ZipArchive(ScanContext& context) : context_(context) {}
  // Reads the central directory of the archive in the open file `fd`.
  bool open(int fd);
  // The member named `name` (the last one of that name, as zipfile does), else
  // the one whose name differs only in ASCII case or in backslashes for
  // slashes (as some writers store them), or null.
  const ZipMember* find(const std::string& name) const;
  // The name of the member that find(`name`) gives.
  std::string stored_name(const std::string& name) const;
  uint64_t file_size() const { return file_size_; }
  // Whether the central directory gave every member's size, and their sum.
  bool sizes_known() const { return sizes_known_; }
  uint64_t declared_bytes() const { return declared_bytes_; }
  ScanContext& context() const { return context_; }

  // Reads exactly `length` bytes at `offset` into `into`: OSError when
  // reading fails, Unreadable when the file ends first.
  bool read(uint64_t offset, void* into, size_t length) const;
  // The same, but a file that ends first is kEndOfFile with no error set, for
  // the caller to say what was missing.
  common::ReadStatus read_or_end(uint64_t offset, void* into, size_t length) const;

 private:
  bool read_central_directory(uint64_t start, uint64_t size, uint64_t count, uint64_t shift);
  ScanContext& context_;
  int fd_ = -1;
  uint64_t file_size_ = 0;
  bool sizes_known_ = false;
  uint64_t declared_bytes_ = 0;
  std::unordered_map<std::string, ZipMember> members_;
  std::unordered_map<std::string, std::string> folded_names_;  // lower case -> stored name
};

}  // namespace sheetscan
