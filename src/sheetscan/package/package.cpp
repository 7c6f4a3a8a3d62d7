#include "sheetscan/package/package.hpp"

#include "sheetscan/package/part_contents.hpp"
#include "sheetscan/package/relationships.hpp"
#include "sheetscan/xlsb/parts.hpp"
#include "sheetscan/xlsx/parts.hpp"

namespace sheetscan {

namespace {

std::string office_document(const Relationships& package_relationships) {
  for (const std::string& id : package_relationships.order) {
    const Relationship& relationship = package_relationships.by_id.at(id);
    if (ends_with(relationship.type, "/officeDocument")) return relationship.target;
  }
  return std::string();
}

// The workbook part's sheets and date system, in either format.
bool read_workbook(const ZipArchive& archive, const std::string& workbook_part, Package* package,
                   WorkbookContents* workbook) {
  package->binary = ends_with(workbook_part, ".bin");
  if (package->binary) return xlsb::read_workbook(archive, workbook_part, workbook);
  if (!xlsx::read_workbook(archive, workbook_part, workbook)) return false;
  package->main_namespace = workbook->main_namespace;
  return true;
}

// The worksheets among the workbook's sheets, each with its part.
bool find_worksheets(const ZipArchive& archive, const WorkbookContents& workbook,
                     const Relationships& relationships, Package* package) {
  for (const SheetEntry& sheet : workbook.sheets) {
    auto found = relationships.by_id.find(sheet.relationship_id);
    if (found == relationships.by_id.end()) {
      return archive.context().unsupported("sheet %s has no relationship", sheet.name.c_str());
    }
    const Relationship& relationship = found->second;
    // Chart sheets and sheets whose part is missing are not worksheets.
    if (relationship.type.find("chartsheet") != std::string::npos) continue;
    if (!archive.find(relationship.target)) continue;
    package->worksheets.push_back(SheetPart{sheet.name, relationship.target});
  }
  return true;
}

// The first shared strings and styles parts that the archive holds.
void find_shared_parts(const ZipArchive& archive, const Relationships& relationships,
                       Package* package) {
  for (const std::string& id : relationships.order) {
    const Relationship& relationship = relationships.by_id.at(id);
    if (!archive.find(relationship.target)) continue;
    if (ends_with(relationship.type, "/sharedStrings") && package->shared_strings_part.empty()) {
      package->shared_strings_part = relationship.target;
    } else if (ends_with(relationship.type, "/styles") && package->styles_part.empty()) {
      package->styles_part = relationship.target;
    }
  }
}

}  // namespace

bool read_package(const ZipArchive& archive, Package* package) {
  Relationships package_relationships;
  if (!read_relationships(archive, "", &package_relationships)) return false;
  std::string workbook_part = office_document(package_relationships);
  if (workbook_part.empty()) {
    return archive.context().unsupported("the package names no workbook part");
  }
  WorkbookContents workbook;
  if (!read_workbook(archive, workbook_part, package, &workbook)) return false;
  package->date1904 = workbook.date1904;
  Relationships relationships;
  if (!read_relationships(archive, workbook_part, &relationships)) return false;
  if (!find_worksheets(archive, workbook, relationships, package)) return false;
  find_shared_parts(archive, relationships, package);
  return true;
}

}  // namespace sheetscan
