#include "sheetscan/scan_context.hpp"

#include <cstdarg>

#include "common/compat.hpp"
#include "sheetscan/limits.hpp"

namespace sheetscan {

namespace {

bool raise(PyObject* type, const char* format, va_list arguments) {
  PyErr_FormatV(type, format, arguments);
  return false;
}

}  // namespace

bool ScanContext::unsupported(const char* format, ...) const {
  va_list arguments;
  va_start(arguments, format);
  raise(state_.unreadable, format, arguments);
  va_end(arguments);
  return false;
}

bool ScanContext::reject(const char* format, ...) const {
  va_list arguments;
  va_start(arguments, format);
  raise(state_.rejected, format, arguments);
  va_end(arguments);
  return false;
}

void ScanContext::keep_fallback_within_budget(bool known, uint64_t declared) const {
  if (known && declared <= kMaxFallbackBytes) return;
  if (!PyErr_ExceptionMatches(state_.unreadable) || PyErr_ExceptionMatches(state_.rejected)) {
    return;
  }
  Ref cause = common::fetch_raised_exception().value;
  if (known) {
    PyErr_Format(state_.rejected,
                 "%S; the archive's parts declare %llu bytes, more than the %llu another reader "
                 "may be handed",
                 cause.get(), static_cast<unsigned long long>(declared),
                 static_cast<unsigned long long>(kMaxFallbackBytes));
  } else {
    PyErr_Format(state_.rejected,
                 "%S; the archive does not declare its parts' sizes, which another reader "
                 "would have to read",
                 cause.get());
  }
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
