#include "sheetscan/package/package.hpp"

#include <cerrno>
#include <cstdlib>
#include <unordered_map>

#include "sheetscan/xlsb/parts.hpp"
#include "sheetscan/xml/xml_part.hpp"

namespace sheetscan {

namespace {

constexpr char kTransitionalMain[] = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
constexpr char kStrictMain[] = "http://purl.oclc.org/ooxml/spreadsheetml/main";
constexpr char kTransitionalRelations[] =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
constexpr char kStrictRelations[] = "http://purl.oclc.org/ooxml/officeDocument/relationships";

struct Relationship {
  std::string type;
  std::string target;  // resolved to a member name
};

bool ends_with(const std::string& text, const char* suffix) {
  size_t length = std::strlen(suffix);
  return text.size() >= length && text.compare(text.size() - length, length, suffix) == 0;
}

// posixpath.normpath of a relative path: "." and empty steps dropped, ".." folded.
std::string normalised(const std::string& path) {
  std::vector<std::string> steps;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    std::string step = path.substr(start, slash - start);
    if (step == "..") {
      if (!steps.empty() && steps.back() != "..") {
        steps.pop_back();
      } else {
        steps.push_back(step);
      }
    } else if (!step.empty() && step != ".") {
      steps.push_back(step);
    }
    start = slash + 1;
  }
  std::string joined;
  for (const std::string& step : steps) joined += (joined.empty() ? "" : "/") + step;
  return joined.empty() ? "." : joined;
}

std::string folder_of(const std::string& part) {
  size_t slash = part.rfind('/');
  return slash == std::string::npos ? std::string() : part.substr(0, slash);
}

std::string relationships_member(const std::string& part) {
  std::string folder = folder_of(part);
  std::string file = part.substr(folder.empty() ? 0 : folder.size() + 1);
  return (folder.empty() ? "" : folder + "/") + "_rels/" + file + ".rels";
}

// The relationships of `part`, keyed by Id, targets resolved as openpyxl does.
class RelationshipsHandler : public XmlHandler {
 public:
  explicit RelationshipsHandler(const std::string& part) : folder_(folder_of(part)) {}
  bool start(const char* name, const char** attributes) override {
    if (std::strcmp(local_name(name), "Relationship") != 0) return true;
    const char* id = attribute(attributes, "Id");
    const char* type = attribute(attributes, "Type");
    const char* target = attribute(attributes, "Target");
    const char* mode = attribute(attributes, "TargetMode");
    if (!id || !type || !target) return true;
    std::string resolved = target;
    if (mode && std::strcmp(mode, "External") == 0) {
      resolved = std::string("external:") + target;  // never a member name
    } else if (!resolved.empty() && resolved[0] == '/') {
      resolved.erase(0, 1);
    } else {
      resolved = normalised(folder_.empty() ? resolved : folder_ + "/" + resolved);
    }
    relationships[id] = Relationship{type, resolved};
    order.push_back(id);
    return true;
  }
  bool end(const char*) override { return true; }
  bool text(const char*, int) override { return true; }

  std::unordered_map<std::string, Relationship> relationships;
  std::vector<std::string> order;

 private:
  std::string folder_;
};

bool read_relationships(const ZipArchive& archive, const std::string& part,
                        RelationshipsHandler* handler) {
  return parse_xml_member(archive, relationships_member(part), handler);
}

struct SheetEntry {
  std::string name;
  std::string relationship_id;
};

class WorkbookHandler : public XmlHandler {
 public:
  bool start(const char* name, const char** attributes) override {
    ++depth_;
    const char* local = local_name(name);
    if (depth_ == 1) {
      main_namespace.assign(name, static_cast<size_t>(local - name - (local == name ? 0 : 1)));
    } else if (depth_ == 2) {
      in_sheets_ = std::strcmp(local, "sheets") == 0;
      if (std::strcmp(local, "workbookPr") == 0) read_date_system(attributes);
    } else if (depth_ == 3 && in_sheets_ && std::strcmp(local, "sheet") == 0) {
      return add_sheet(attributes);
    }
    return true;
  }
  bool end(const char*) override {
    --depth_;
    return true;
  }
  bool text(const char*, int) override { return true; }

  std::string main_namespace;
  std::vector<SheetEntry> sheets;
  bool date1904 = false;

 private:
  // openpyxl's Bool: "false", "f", "0" and the empty text are false, any other text true.
  void read_date_system(const char** attributes) {
    const char* value = attribute(attributes, "date1904");
    date1904 = value && *value && std::strcmp(value, "false") != 0 &&
               std::strcmp(value, "f") != 0 && std::strcmp(value, "0") != 0;
  }
  bool add_sheet(const char** attributes) {
    const char* name = attribute(attributes, "name");
    if (!name || !*name) return refuse("a sheet of the workbook has no name");
    const char* id = attribute(attributes, qualified(kTransitionalRelations, "id").c_str());
    if (!id) id = attribute(attributes, qualified(kStrictRelations, "id").c_str());
    // Sheets without a relationship id are left out, as openpyxl does.
    if (id && *id) sheets.push_back(SheetEntry{name, id});
    return true;
  }
  int depth_ = 0;
  bool in_sheets_ = false;
};

std::string office_document(const RelationshipsHandler& package_relationships) {
  for (const std::string& id : package_relationships.order) {
    const Relationship& relationship = package_relationships.relationships.at(id);
    if (ends_with(relationship.type, "/officeDocument")) return relationship.target;
  }
  return std::string();
}

}  // namespace

bool read_package(const ZipArchive& archive, Package* package) {
  RelationshipsHandler package_relationships("");
  if (!read_relationships(archive, "", &package_relationships)) return false;
  std::string workbook_part = office_document(package_relationships);
  if (workbook_part.empty()) return refuse("the package names no workbook part");
  WorkbookHandler workbook;
  if (ends_with(workbook_part, ".bin")) {
    std::vector<BinarySheetEntry> sheets;
    if (!read_binary_workbook(archive, workbook_part, &sheets, &workbook.date1904)) return false;
    for (const BinarySheetEntry& sheet : sheets) {
      workbook.sheets.push_back(SheetEntry{sheet.name, sheet.relationship_id});
    }
    package->binary = true;
  } else {
    if (!parse_xml_member(archive, workbook_part, &workbook)) return false;
    if (workbook.main_namespace != kTransitionalMain && workbook.main_namespace != kStrictMain) {
      return refuse("the workbook part is not SpreadsheetML");
    }
    package->main_namespace = workbook.main_namespace;
  }
  package->date1904 = workbook.date1904;
  RelationshipsHandler relationships(workbook_part);
  if (!read_relationships(archive, workbook_part, &relationships)) return false;
  for (const SheetEntry& sheet : workbook.sheets) {
    auto found = relationships.relationships.find(sheet.relationship_id);
    if (found == relationships.relationships.end()) {
      return refuse("sheet %s has no relationship", sheet.name.c_str());
    }
    const Relationship& relationship = found->second;
    // Chart sheets and sheets whose part is missing are not worksheets.
    if (relationship.type.find("chartsheet") != std::string::npos) continue;
    if (!archive.find(relationship.target)) continue;
    package->worksheets.push_back(SheetPart{sheet.name, relationship.target});
  }
  for (const std::string& id : relationships.order) {
    const Relationship& relationship = relationships.relationships.at(id);
    if (!archive.find(relationship.target)) continue;
    if (ends_with(relationship.type, "/sharedStrings") && package->shared_strings_part.empty()) {
      package->shared_strings_part = relationship.target;
    } else if (ends_with(relationship.type, "/styles") && package->styles_part.empty()) {
      package->styles_part = relationship.target;
    }
  }
  return true;
}

namespace {

// Parses a cell format's numFmtId as openpyxl's Integer does for plain digits;
// anything else is refused rather than guessed.
bool format_id(const char* text, long* id) {
  if (!text) {
    *id = 0;
    return true;
  }
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text, &end, 10);
  if (!*text || *end || errno || value < 0 || text[0] == '+' || text[0] == ' ') {
    return refuse("number format id %s is not a plain integer", text);
  }
  *id = value;
  return true;
}

class StylesHandler : public XmlHandler {
 public:
  explicit StylesHandler(NumberFormats* formats) : formats_(formats) {}
  bool start(const char* name, const char** attributes) override {
    ++depth_;
    const char* local = local_name(name);
    if (depth_ == 2) {
      section_ = std::strcmp(local, "numFmts") == 0   ? Section::kNumberFormats
                 : std::strcmp(local, "cellXfs") == 0 ? Section::kCellFormats
                                                      : Section::kOther;
    } else if (depth_ == 3 && section_ == Section::kCellFormats && !std::strcmp(local, "xf")) {
      long id = 0;
      if (!format_id(attribute(attributes, "numFmtId"), &id)) return false;
      formats_->style_format_ids.push_back(id);
    } else if (depth_ == 3 && section_ == Section::kNumberFormats &&
               !std::strcmp(local, "numFmt")) {
      long id = 0;
      const char* code = attribute(attributes, "formatCode");
      if (!code) return refuse("a number format has no code");
      if (!format_id(attribute(attributes, "numFmtId"), &id)) return false;
      formats_->custom.emplace_back(id, code);
    }
    return true;
  }
  bool end(const char*) override {
    --depth_;
    return true;
  }
  bool text(const char*, int) override { return true; }

 private:
  enum class Section { kOther, kNumberFormats, kCellFormats };
  NumberFormats* formats_;
  int depth_ = 0;
  Section section_ = Section::kOther;
};

}  // namespace

bool read_number_formats(const ZipArchive& archive, const Package& package,
                         NumberFormats* formats) {
  if (package.styles_part.empty()) return true;
  if (package.binary) return read_binary_number_formats(archive, package.styles_part, formats);
  StylesHandler handler(formats);
  return parse_xml_member(archive, package.styles_part, &handler);
}

}  // namespace sheetscan
