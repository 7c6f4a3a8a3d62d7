#include "sheetscan/xls/problem.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "common/read_at.hpp"

namespace sheetscan::xls {

bool Problem::record(StopKind kind, const char* format, va_list arguments) {
  if (kind_ != StopKind::kNone) return false;  // the first problem is the cause
  char text[512];
  std::vsnprintf(text, sizeof text, format, arguments);
  kind_ = kind;
  message_ = text;
  return false;
}

bool Problem::unsupported(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  record(StopKind::kUnsupported, format, arguments);
  va_end(arguments);
  return false;
}

bool Problem::reject(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  record(StopKind::kRejected, format, arguments);
  va_end(arguments);
  return false;
}

bool Problem::os_error(int error_number) {
  if (kind_ != StopKind::kNone) return false;
  kind_ = StopKind::kOsError;
  error_number_ = error_number;
  return false;
}

bool read_file(int fd, void* into, size_t length, uint64_t offset, const char* what,
               Problem* problem) {
  switch (common::read_exactly(fd, into, length, offset)) {
    case common::ReadStatus::kComplete:
      return true;
    case common::ReadStatus::kEndOfFile:
      return problem->reject("the file ends inside %s", what);
    case common::ReadStatus::kError:
      break;
  }
  return problem->os_error(errno);
}

}  // namespace sheetscan::xls
