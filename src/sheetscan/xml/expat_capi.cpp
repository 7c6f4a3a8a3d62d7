#include "sheetscan/xml/expat_capi.hpp"

#include <cstring>

namespace sheetscan {

namespace {

constexpr char kCapsuleName[] = "pyexpat.expat_CAPI";
constexpr char kMagicPrefix[] = "pyexpat.expat_CAPI 1.";

const ExpatApi* load_expat_api() {
  common::Ref module = common::steal(PyImport_ImportModule("pyexpat"));
  if (!module) return nullptr;
  auto* api = static_cast<const ExpatApi*>(PyCapsule_Import(kCapsuleName, 0));
  if (!api) return nullptr;
  if (!api->magic || std::strncmp(api->magic, kMagicPrefix, sizeof kMagicPrefix - 1) != 0 ||
      api->size < static_cast<int>(sizeof(ExpatApi))) {
    PyErr_SetString(PyExc_ImportError, "pyexpat exports an expat interface of another layout");
    return nullptr;
  }
  return api;
}

}  // namespace

const ExpatApi* expat_api() {
  // pyexpat is never unloaded, so the table stays valid once found.
  static const ExpatApi* api = nullptr;
  if (!api) api = load_expat_api();
  return api;
}

}  // namespace sheetscan
