#include "sheetscan/failure.hpp"

#include <cstdarg>

namespace sheetscan {

PyObject* unreadable_error = nullptr;

bool refuse(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  PyErr_FormatV(unreadable_error, format, arguments);
  va_end(arguments);
  return false;
}

}  // namespace sheetscan
