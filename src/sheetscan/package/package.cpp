#include "sheetscan/package/package.hpp"

#include "sheetscan/package/content_types.hpp"
#include "sheetscan/package/part_contents.hpp"
#include "sheetscan/package/relationships.hpp"
#include "sheetscan/xlsb/parts.hpp"
#include "sheetscan/xlsx/parts.hpp"

namespace sheetscan {

namespace {

constexpr char kStylesPart[] = "xl/styles.xml";

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

// Whether `named` (what openpyxl reads; empty for none) is the member `found`
// (what the scanner reads; empty for none), names compared as the archive
// looks them up.
bool same_part(const ZipArchive& archive, const std::string& named, const std::string& found) {
  if (named.empty() || found.empty()) return named.empty() == found.empty();
  return archive.stored_name(named) == archive.stored_name(found);
}

// openpyxl finds the workbook part and the shared strings through the content
// types, and the styles under the fixed name "xl/styles.xml"; a package whose
// relationships lead elsewhere is left to openpyxl, whose answer stands. One
// that openpyxl cannot open (no workbook part named, or a part named that is
// missing) keeps the scanner's answer.
bool check_parts_agree(const ZipArchive& archive, const std::string& workbook_part,
                       const Package& package) {
  ContentTypes types;
  if (!read_content_types(archive, &types)) return false;
  if (!types.present || types.workbook_part.empty() || !archive.find(types.workbook_part) ||
      (!types.shared_strings_part.empty() && !archive.find(types.shared_strings_part))) {
    return true;
  }
  std::string styles_part = archive.find(kStylesPart) ? kStylesPart : "";
  if (!same_part(archive, types.workbook_part, workbook_part) ||
      !same_part(archive, types.shared_strings_part, package.shared_strings_part) ||
      !same_part(archive, styles_part, package.styles_part)) {
    return archive.context().unsupported(
        "the content types and the relationships name different workbook, shared strings or "
        "styles parts");
  }
  return true;
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
  return package->binary || check_parts_agree(archive, workbook_part, *package);
}

}  // namespace sheetscan
