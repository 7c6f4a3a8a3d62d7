#include "sheetscan/scan_context.hpp"

#include <cstdarg>

namespace sheetscan {

bool ScanContext::refuse(const char* format, ...) const {
  va_list arguments;
  va_start(arguments, format);
  PyErr_FormatV(state_.unreadable, format, arguments);
  va_end(arguments);
  return false;
}

const ZlibFunctions* ScanContext::zlib() {
  if (!state_.zlib.decompressobj && !load_zlib(&state_)) return nullptr;
  return &state_.zlib;
}

const ExpatApi* ScanContext::expat() {
  if (!state_.expat && !load_expat(&state_)) return nullptr;
  return state_.expat;
}

}  // namespace sheetscan
