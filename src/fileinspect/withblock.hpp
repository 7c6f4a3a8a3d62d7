// The with-statement protocol around a context manager, as the interpreter
// runs it: `__exit__` is looked up on the type first, then `__enter__` is
// looked up and called; the block is left through `__exit__`, which sees the
// exception when one is being raised.
#pragma once

#include "base.hpp"

namespace fileinspect {

class WithBlock {
 public:
  // Enters the block; returns what `__enter__` returned, or null.
  Ref enter(PyObject* manager);

  // Leaves the block after its body ran to the end: __exit__(None, None, None).
  // Returns 0, or -1 with the exception `__exit__` raised.
  int exit_normally();

  // Leaves the block while an exception is being raised: `__exit__` gets
  // (type, value, traceback), with that exception as the one being handled.
  // Returns 1 when `__exit__` suppressed it, or -1 with an exception set:
  // the same one, or the one `__exit__` raised.
  int exit_with_exception();

 private:
  Ref exit_;
};

}  // namespace fileinspect
