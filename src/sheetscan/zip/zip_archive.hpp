// Members of a zip archive read in place from an open file: the central
// directory is read once, each member is inflated in bounded chunks (through
// CPython's zlib module) and its size and CRC are checked when it ends.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "sheetscan/failure.hpp"

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
  // Reads the central directory of the archive in the open file `fd`.
  bool open(int fd);
  // The member named `name` (the last one of that name, as zipfile does), else
  // the one whose name differs only in ASCII case or in backslashes for
  // slashes (as some writers store them), or null.
  const ZipMember* find(const std::string& name) const;
  // The name of the member that find(`name`) gives.
  std::string stored_name(const std::string& name) const;
  int fd() const { return fd_; }
  uint64_t file_size() const { return file_size_; }

 private:
  bool read_central_directory(uint64_t start, uint64_t size, uint64_t count, uint64_t shift);
  int fd_ = -1;
  uint64_t file_size_ = 0;
  std::unordered_map<std::string, ZipMember> members_;
  std::unordered_map<std::string, std::string> folded_names_;  // lower case -> stored name
};

// Reads `length` bytes at `offset` of `fd`; refuses a short read.
bool read_exactly(int fd, uint64_t offset, void* buffer, size_t length);

// The inflated bytes of one member, a chunk at a time.
class MemberReader {
 public:
  bool open(const ZipArchive& archive, const std::string& name);
  // The next chunk in *data / *length, valid until the next call; *length is
  // 0 at the end, once the size and CRC have been checked.
  bool next(const char** data, size_t* length);
  const std::string& name() const { return name_; }

 private:
  bool read_input(Ref* chunk);
  bool inflate(PyObject* input);
  bool finish();
  bool account(PyObject* output);

  const ZipArchive* archive_ = nullptr;
  std::string name_;
  ZipMember member_;
  uint64_t input_offset_ = 0;  // next compressed byte to read, in the file
  uint64_t input_left_ = 0;
  uint64_t produced_ = 0;
  Ref crc_;           // running CRC, a Python int
  Ref decompressor_;  // zlib.decompressobj(-15), for deflated members
  Ref tail_;          // input the decompressor has not consumed yet
  Ref output_;        // the chunk handed out last
  bool output_was_full_ = false;
  bool done_ = false;
};

}  // namespace sheetscan
