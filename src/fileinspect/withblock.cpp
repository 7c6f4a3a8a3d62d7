#include "withblock.hpp"

#include "base.hpp"
#include "state.hpp"

#include <utility>

namespace fileinspect {

namespace {

// `name` looked up on the type of `object` and bound to it, the way the
// interpreter finds special methods (the instance dictionary does not count).
Ref lookup_special(PyObject* object, PyObject* name) {
  PyObject* found = find_on_type(Py_TYPE(object), name);  // borrowed
  if (!found) {
    if (!PyErr_Occurred()) PyErr_SetObject(PyExc_AttributeError, name);
    return Ref();
  }
  descrgetfunc get = descriptor_get(found);
  if (!get) return borrow(found);
  return steal(get(found, object, reinterpret_cast<PyObject*>(Py_TYPE(object))));
}

PyObject* or_none(const Ref& ref) {
  return ref ? ref.get() : Py_None;
}

}  // namespace

Ref WithBlock::enter(PyObject* manager) {
  exit_ = lookup_special(manager, constants.dunder_exit);
  if (!exit_) return Ref();
  Ref enter = lookup_special(manager, constants.dunder_enter);
  if (!enter) return Ref();
  return call_vector(enter.get(), nullptr, 0);
}

int WithBlock::exit_normally() {
  PyObject* args[] = {Py_None, Py_None, Py_None};
  return call_vector(exit_.get(), args, 3) ? 0 : -1;
}

int WithBlock::exit_with_exception() {
  RaisedException raised = fetch_raised_exception();
  Ref result;
  {
    HandledExceptionScope handling;
    handling.handle(raised);
    PyObject* args[] = {or_none(raised.type), or_none(raised.value), or_none(raised.traceback)};
    result = call_vector(exit_.get(), args, 3);
  }
  if (!result) return -1;  // __exit__'s own exception replaces the first
  int suppress = PyObject_IsTrue(result.get());
  if (suppress < 0) return -1;
  if (suppress) return 1;
  restore_raised_exception(std::move(raised));
  return -1;
}

}  // namespace fileinspect
