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

const char* error_text(uint32_t code) {
  switch (code) {
    case 0x00:
      return "#NULL!";
    case 0x07:
      return "#DIV/0!";
    case 0x0F:
      return "#VALUE!";
    case 0x17:
      return "#REF!";
    case 0x1D:
      return "#NAME?";
    case 0x24:
      return "#NUM!";
    case 0x2A:
      return "#N/A";
    case 0x2B:
      return "#GETTING_DATA";
    default:
      return "#ERROR";
  }
}

}  // namespace sheetscan
