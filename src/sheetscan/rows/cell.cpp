#include "common/pyref.hpp"  // Python.h first in every unit

#include "sheetscan/rows/cell.hpp"

#include <cstring>

namespace sheetscan {

namespace {

struct NamedType {
  const char* name;
  CellType type;
};

constexpr NamedType kNamedTypes[] = {
    {"n", CellType::kNumber},          {"s", CellType::kSharedString},
    {"b", CellType::kBoolean},         {"e", CellType::kError},
    {"str", CellType::kFormulaString}, {"inlineStr", CellType::kInlineString},
    {"d", CellType::kIsoDate},
};

}  // namespace

CellType cell_type_named(const char* name) {
  if (!name) return CellType::kNumber;
  for (const NamedType& named : kNamedTypes) {
    if (std::strcmp(name, named.name) == 0) return named.type;
  }
  return CellType::kOther;
}

const char* cell_type_name(CellType type) {
  for (const NamedType& named : kNamedTypes) {
    if (named.type == type) return named.name;
  }
  return "";
}

}  // namespace sheetscan
