#include "sheetscan/module_state.hpp"

namespace sheetscan {

namespace {

using common::Ref;
using common::steal;

constexpr char kUnreadableName[] = "veltrane.corvalest.datareader._sheetscan.Unreadable";
constexpr char kRejectedName[] = "veltrane.corvalest.datareader._sheetscan.Rejected";

// Every reference the state owns, for traverse and clear alike.
template <typename Visit>
void for_each_reference(ModuleState* state, Visit visit) {
  visit(&state->unreadable);
  visit(&state->rejected);
  visit(&state->names.decompress);
  visit(&state->names.unconsumed_tail);
  visit(&state->names.eof);
  visit(&state->zlib.decompressobj);
  visit(&state->zlib.crc32);
  visit(&state->zlib.error);
  visit(&state->expat_capsule);
}

bool intern(PyObject** into, const char* text) {
  *into = PyUnicode_InternFromString(text);
  return *into != nullptr;
}

}  // namespace

int init_module_state(PyObject* module) {
  ModuleState* state = module_state(module);
  state->unreadable = PyErr_NewException(kUnreadableName, PyExc_ValueError, nullptr);
  state->rejected =
      state->unreadable ? PyErr_NewException(kRejectedName, state->unreadable, nullptr) : nullptr;
  if (!state->rejected || !intern(&state->names.decompress, "decompress") ||
      !intern(&state->names.unconsumed_tail, "unconsumed_tail") ||
      !intern(&state->names.eof, "eof")) {
    return -1;
  }
  return PyObject_SetAttrString(module, "Unreadable", state->unreadable) < 0
             ? -1
             : PyObject_SetAttrString(module, "Rejected", state->rejected);
}

int traverse_module_state(PyObject* module, visitproc visit, void* arg) {
  // Before 3.9 this may run before the state is allocated.
  ModuleState* state = module_state(module);
  if (!state) return 0;
  int status = 0;
  for_each_reference(state, [&](PyObject** reference) {
    if (status == 0 && *reference) status = visit(*reference, arg);
  });
  return status;
}

int clear_module_state(PyObject* module) {
  ModuleState* state = module_state(module);
  if (!state) return 0;
  state->expat = nullptr;  // the capsule that owns it goes below
  for_each_reference(state, [](PyObject** reference) { Py_CLEAR(*reference); });
  return 0;
}

bool load_zlib(ModuleState* state) {
  Ref zlib = steal(PyImport_ImportModule("zlib"));
  if (!zlib) return false;
  Ref decompressobj = steal(PyObject_GetAttrString(zlib.get(), "decompressobj"));
  Ref crc32 = decompressobj ? steal(PyObject_GetAttrString(zlib.get(), "crc32")) : Ref();
  Ref error = crc32 ? steal(PyObject_GetAttrString(zlib.get(), "error")) : Ref();
  if (!error) return false;
  state->zlib = ZlibFunctions{decompressobj.release(), crc32.release(), error.release()};
  return true;
}

bool load_expat(ModuleState* state) {
  Ref capsule;
  const ExpatApi* api = import_expat_api(&capsule);
  if (!api) return false;
  state->expat_capsule = capsule.release();
  state->expat = api;
  return true;
}

}  // namespace sheetscan
