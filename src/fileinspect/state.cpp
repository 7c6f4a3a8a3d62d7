#include "state.hpp"

namespace fileinspect {

State state;

namespace {

// Each helper fills an empty slot only, so that a retried initialisation
// after a failure keeps what the first attempt made.
int intern(PyObject** slot, const char* text) {
  if (!*slot) *slot = PyUnicode_InternFromString(text);
  return *slot ? 0 : -1;
}

int make_int(PyObject** slot, long value) {
  if (!*slot) *slot = PyLong_FromLong(value);
  return *slot ? 0 : -1;
}

int make_slice_from_one(PyObject** slot) {
  if (*slot) return 0;
  Ref one = steal(PyLong_FromLong(1));
  if (!one) return -1;
  *slot = PySlice_New(one.get(), Py_None, Py_None);
  return *slot ? 0 : -1;
}

int make_encoding_kwnames(Constants& made) {
  if (!made.encoding_kwnames) made.encoding_kwnames = PyTuple_Pack(1, made.encoding);
  return made.encoding_kwnames ? 0 : -1;
}

}  // namespace

int init_constants() {
  Constants& made = state.constants;
#define FILEINSPECT_MAKE(member, text) \
  if (intern(&made.member, text) < 0) return -1;
  FILEINSPECT_STRINGS(FILEINSPECT_MAKE)
#undef FILEINSPECT_MAKE
  if (make_int(&made.sample_size, 1024) < 0 || make_int(&made.zero, 0) < 0) return -1;
  if (make_slice_from_one(&made.one_to_end) < 0) return -1;
  return make_encoding_kwnames(made);
}

void hold(PyObject*& slot, PyObject* value) {
  PyObject* old = slot;
  slot = borrow(value).release();
  Ref previous = steal(old);  // released on return
}

}  // namespace fileinspect
