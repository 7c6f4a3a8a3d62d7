// The boundary between C++ and the C API: no C++ exception may cross into
// the interpreter. Containers allocate with operator new, so running out of
// memory (std::bad_alloc, or a size beyond what a container can hold)
// becomes MemoryError; any other C++ exception, which the code never throws
// on purpose, becomes SystemError.
#pragma once

#include <exception>
#include <new>
#include <stdexcept>
#include <type_traits>

#include "common/pyref.hpp"

namespace common {

// Sets the Python error that stands for the C++ exception being handled.
// Call it only inside a catch block.
inline void raise_for_cxx_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_Format(PyExc_SystemError, "unexpected C++ exception: %s", error.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
  }
}

template <auto Function>
struct ExceptionBoundary;

template <typename Result, typename... Arguments, Result (*Function)(Arguments...)>
struct ExceptionBoundary<Function> {
  static Result call(Arguments... arguments) noexcept {
    try {
      return Function(arguments...);
    } catch (...) {
      raise_for_cxx_exception();
      if constexpr (std::is_pointer_v<Result>) {
        return nullptr;
      } else {
        return Result(-1);
      }
    }
  }
};

// `Function` behind the boundary, with the same signature: where a C++
// exception would leave it, the Python error is set and the result is the
// C API's failure value (null for a pointer, -1 for a status).
template <auto Function>
constexpr auto without_exceptions = &ExceptionBoundary<Function>::call;

}  // namespace common
