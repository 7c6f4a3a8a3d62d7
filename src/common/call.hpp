// callable(*args), spelled as the call it stands for: the arguments in braces,
// passed with the vector call (compat.hpp). A null `Ref` reports the error.
#pragma once

#include <initializer_list>

#include "common/compat.hpp"

namespace common {

inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args) {
  return call_vector(callable, args.begin(), static_cast<Py_ssize_t>(args.size()));
}

}  // namespace common
