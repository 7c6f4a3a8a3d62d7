// A private module for the test suite and the benchmarks, made by the same
// shared object through a second entry point, so that it shares the
// extension's state without adding a name to fileInspect's namespace:
//
//   loader = importlib.machinery.ExtensionFileLoader("_fileinspect_knobs", fileInspect.__file__)
//
// It switches the fast paths (to compare them with the plain path, or to
// force the portable code on machines with vector units) and reports how
// often each was taken. Nothing here is part of the published interface.
#include "compat.hpp"

namespace fileinspect {

namespace {

PyMethodDef knob_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef knobs_def = {
    PyModuleDef_HEAD_INIT,
    "_fileinspect_knobs",
    "Private switches of the fast paths.",
    -1,
    knob_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace fileinspect

FILEINSPECT_MODINIT PyInit__fileinspect_knobs() {
  return PyModule_Create(&fileinspect::knobs_def);
}
