#include "sheetscan/xml/expat_capi.hpp"

#include <cstring>

namespace sheetscan {

namespace {

constexpr char kModuleName[] = "pyexpat";
constexpr char kCapsuleAttribute[] = "expat_CAPI";
constexpr char kCapsuleName[] = "pyexpat.expat_CAPI";
constexpr char kMagicPrefix[] = "pyexpat.expat_CAPI 1.";

bool has_expected_layout(const ExpatApi* api) {
  return api->magic && std::strncmp(api->magic, kMagicPrefix, sizeof kMagicPrefix - 1) == 0 &&
         api->size >= static_cast<int>(sizeof(ExpatApi));
}

}  // namespace

const ExpatApi* import_expat_api(common::Ref* capsule) {
  common::Ref module = common::steal(PyImport_ImportModule(kModuleName));
  if (!module) return nullptr;
  auto* api = static_cast<const ExpatApi*>(PyCapsule_Import(kCapsuleName, 0));
  if (!api) return nullptr;
  if (!has_expected_layout(api)) {
    PyErr_SetString(PyExc_ImportError, "pyexpat exports an expat interface of another layout");
    return nullptr;
  }
  *capsule = common::steal(PyObject_GetAttrString(module.get(), kCapsuleAttribute));
  if (!*capsule) return nullptr;
  if (PyCapsule_GetPointer(capsule->get(), kCapsuleName) != api) {
    PyErr_SetString(PyExc_ImportError, "pyexpat's expat interface changed while it was imported");
    return nullptr;
  }
  return api;
}

}  // namespace sheetscan
