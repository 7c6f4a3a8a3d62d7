// The extensions' common base (src/common/), under this module's namespace.
#pragma once

#include "common/compat.hpp"
#include "common/pyref.hpp"

namespace fileinspect {
using namespace common;
}  // namespace fileinspect
