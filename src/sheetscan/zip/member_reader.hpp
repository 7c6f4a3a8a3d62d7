// The bytes of one member of a zip archive, inflated in bounded chunks
// through CPython's zlib; its size and CRC are checked when it ends.
#pragma once

#include "sheetscan/zip/zip_archive.hpp"

#include <string>

namespace sheetscan {

class MemberReader {
 public:
  bool open(const ZipArchive& archive, const std::string& name);
  // The next chunk in *data / *length, valid until the next call; *length is
  // 0 at the end, once the size and CRC have been checked.
  bool next(const char** data, size_t* length);
  const std::string& name() const { return name_; }
  ScanContext& context() const { return archive_->context(); }

 private:
  bool check_local_header(const std::string& name);
  bool start_inflater();
  bool read_input(Ref* chunk);
  bool inflate(PyObject* input);
  bool finish();
  bool account(PyObject* output);

  const ZipArchive* archive_ = nullptr;
  const ZlibFunctions* zlib_ = nullptr;
  std::string name_;
  ZipMember member_;
  uint64_t input_offset_ = 0;  // next compressed byte to read, in the file
  uint64_t input_left_ = 0;
  uint64_t produced_ = 0;
  Ref crc_;           // running CRC, a Python int
  Ref decompressor_;  // zlib.decompressobj(-15), for deflated members
  Ref decompress_;    // its bound method decompress
  Ref max_length_;    // the largest chunk decompress may give, a Python int
  Ref tail_;          // input the decompressor has not consumed yet
  Ref output_;        // the chunk handed out last
  bool output_was_full_ = false;
  bool done_ = false;
};

}  // namespace sheetscan
