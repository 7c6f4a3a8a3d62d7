// The relationships of a part of the package (its "_rels/NAME.rels" member):
// each one's type and target, the target resolved to a member name as openpyxl
// resolves it.
#pragma once

#include "sheetscan/zip/zip_archive.hpp"

#include <string>
#include <unordered_map>
#include <vector>

namespace sheetscan {

struct Relationship {
  std::string type;
  std::string target;  // resolved to a member name
};

struct Relationships {
  std::unordered_map<std::string, Relationship> by_id;
  std::vector<std::string> order;  // the ids, in file order
};

// The relationships of `part` ("" for the package's own).
bool read_relationships(const ZipArchive& archive, const std::string& part,
                        Relationships* relationships);

bool ends_with(const std::string& text, const char* suffix);

}  // namespace sheetscan
