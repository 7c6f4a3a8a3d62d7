// The extensions' common base (src/common/), under this component's namespace.
#pragma once

#include "common/compat.hpp"
#include "common/pyref.hpp"

namespace delimited {
using namespace common;
}  // namespace delimited
