#include "sheetscan/package/content_types.hpp"

#include <cstring>

#include "sheetscan/xml/xml_part.hpp"

namespace sheetscan {

namespace {

constexpr char kContentTypesPart[] = "[Content_Types].xml";
constexpr char kDefaultWorkbookPart[] = "xl/workbook.xml";
constexpr char kSharedStringsType[] =
    "application/vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml";
// In the order in which openpyxl looks for them.
constexpr const char* kWorkbookTypes[] = {
    "application/vnd.ms-excel.template.macroEnabled.main+xml",
    "application/vnd.openxmlformats-officedocument.spreadsheetml.template.main+xml",
    "application/vnd.ms-excel.sheet.macroEnabled.main+xml",
    "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml",
};
constexpr size_t kWorkbookTypeCount = sizeof kWorkbookTypes / sizeof kWorkbookTypes[0];

int workbook_type(const char* content_type) {
  for (size_t i = 0; i < kWorkbookTypeCount; ++i) {
    if (std::strcmp(content_type, kWorkbookTypes[i]) == 0) return static_cast<int>(i);
  }
  return -1;
}

// openpyxl takes a part name without its first character (the leading slash).
std::string member_of(const char* part_name) {
  return *part_name ? std::string(part_name + 1) : std::string();
}

class ContentTypesHandler : public XmlHandler {
 public:
  bool start(const char* name, const char** attributes) override {
    if (++depth_ != 2) return true;
    const char* local = local_name(name);
    const char* content_type = attribute(attributes, "ContentType");
    if (!content_type) return true;
    int type = workbook_type(content_type);
    if (std::strcmp(local, "Override") == 0) {
      const char* part = attribute(attributes, "PartName");
      if (!part) return true;
      if (type >= 0 && workbook_[type].empty()) workbook_[type] = member_of(part);
      if (shared_strings_.empty() && std::strcmp(content_type, kSharedStringsType) == 0) {
        shared_strings_ = member_of(part);
      }
    } else if (std::strcmp(local, "Default") == 0 && type >= 0) {
      default_workbook_ = true;
    }
    return true;
  }
  bool end(const char*) override {
    --depth_;
    return true;
  }
  bool text(const char*, int) override { return true; }

  void fill(ContentTypes* types) const {
    for (const std::string& part : workbook_) {
      if (!part.empty()) {
        types->workbook_part = part;
        break;
      }
    }
    if (types->workbook_part.empty() && default_workbook_) {
      types->workbook_part = kDefaultWorkbookPart;
    }
    types->shared_strings_part = shared_strings_;
  }

 private:
  int depth_ = 0;
  std::string workbook_[kWorkbookTypeCount];
  std::string shared_strings_;
  bool default_workbook_ = false;
};

}  // namespace

bool read_content_types(const ZipArchive& archive, ContentTypes* types) {
  // openpyxl looks for the part under its exact name only.
  if (archive.stored_name(kContentTypesPart) != kContentTypesPart ||
      !archive.find(kContentTypesPart)) {
    return true;
  }
  ContentTypesHandler handler;
  if (!parse_xml_member(archive, kContentTypesPart, &handler)) return false;
  types->present = true;
  handler.fill(types);
  return true;
}

}  // namespace sheetscan
