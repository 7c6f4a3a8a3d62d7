// Why the .xls reader stopped, as a plain record: the reader runs without the
// interpreter (a fuzzer can drive it as it is), and the module's glue turns
// the record into a Python exception.
#pragma once

#include "common/pyref.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

namespace sheetscan::xls {

enum class StopKind {
  kNone,
  kUnsupported,  // a layout the reader leaves to xlrd: older formats, encryption
  kRejected,     // damaged, hostile or beyond a limit: final, no other reader may try
  kOsError,      // reading the file failed; error_number() says why
};

class Problem {
 public:
  // Each records the first problem met and returns false, so that a failing
  // step reads `return problem->reject(...)`; messages are printf-style.
  bool unsupported(const char* format, ...) __attribute__((format(printf, 2, 3)));
  bool reject(const char* format, ...) __attribute__((format(printf, 2, 3)));
  bool os_error(int error_number);

  StopKind kind() const { return kind_; }
  const std::string& message() const { return message_; }
  int error_number() const { return error_number_; }

 private:
  bool record(StopKind kind, const char* format, va_list arguments);
  StopKind kind_ = StopKind::kNone;
  std::string message_;
  int error_number_ = 0;
};

// Reads `length` bytes at `offset` of the file into `into`: a file that ends
// before them is refused (it ends inside `what`), a failed read reported.
bool read_file(int fd, void* into, size_t length, uint64_t offset, const char* what,
               Problem* problem);

}  // namespace sheetscan::xls
