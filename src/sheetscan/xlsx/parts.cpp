#include "sheetscan/xlsx/parts.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "sheetscan/limits.hpp"
#include "sheetscan/xlsx/rich_text.hpp"
#include "sheetscan/xml/xml_part.hpp"

namespace sheetscan {
namespace xlsx {

namespace {

constexpr char kTransitionalMain[] = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
constexpr char kStrictMain[] = "http://purl.oclc.org/ooxml/spreadsheetml/main";
constexpr char kTransitionalRelations[] =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
constexpr char kStrictRelations[] = "http://purl.oclc.org/ooxml/officeDocument/relationships";
constexpr char kEscapedUnderscore[] = "x005F_";

// openpyxl keeps the last of sections repeated (in any namespace), the
// scanner would merge them: such a part is left to openpyxl.
bool repeated_section(ScanContext& context, const char* section) {
  return context.unsupported("more than one %s section", section);
}

class WorkbookHandler : public XmlHandler {
 public:
  WorkbookHandler(ScanContext& context, WorkbookContents* workbook)
      : context_(context), workbook_(workbook) {}
  bool start(const char* name, const char** attributes) override {
    ++depth_;
    const char* local = local_name(name);
    if (depth_ == 1) {
      workbook_->main_namespace.assign(name,
                                       static_cast<size_t>(local - name - (local == name ? 0 : 1)));
    } else if (depth_ == 2) {
      in_sheets_ = std::strcmp(local, "sheets") == 0;
      if (in_sheets_ && sheets_seen_++) return repeated_section(context_, "sheets");
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

 private:
  // openpyxl's Bool: "false", "f", "0" and the empty text are false, any other text true.
  void read_date_system(const char** attributes) {
    const char* value = attribute(attributes, "date1904");
    workbook_->date1904 = value && *value && std::strcmp(value, "false") != 0 &&
                          std::strcmp(value, "f") != 0 && std::strcmp(value, "0") != 0;
  }
  bool add_sheet(const char** attributes) {
    const char* name = attribute(attributes, "name");
    if (!name || !*name) return context_.unsupported("a sheet of the workbook has no name");
    const char* id = attribute(attributes, qualified(kTransitionalRelations, "id").c_str());
    if (!id) id = attribute(attributes, qualified(kStrictRelations, "id").c_str());
    // Sheets without a relationship id are left out, as openpyxl does.
    if (id && *id) return workbook_->add_sheet(context_, SheetEntry{name, id});
    return true;
  }

  ScanContext& context_;
  WorkbookContents* workbook_;
  int depth_ = 0;
  bool in_sheets_ = false;
  int sheets_seen_ = 0;
};

// Parses a cell format's numFmtId as openpyxl's Integer does for plain digits;
// anything else is refused rather than guessed.
bool format_id(ScanContext& context, const char* text, long* id) {
  if (!text) {
    *id = 0;
    return true;
  }
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(text, &end, 10);
  if (!*text || *end || errno || value < 0 || text[0] == '+' || text[0] == ' ') {
    return context.unsupported("number format id %s is not a plain integer", text);
  }
  *id = value;
  return true;
}

class StylesHandler : public XmlHandler {
 public:
  StylesHandler(ScanContext& context, NumberFormats* formats)
      : context_(context), formats_(formats) {}
  bool start(const char* name, const char** attributes) override {
    ++depth_;
    const char* local = local_name(name);
    if (depth_ == 2) {
      section_ = std::strcmp(local, "numFmts") == 0   ? Section::kNumberFormats
                 : std::strcmp(local, "cellXfs") == 0 ? Section::kCellFormats
                                                      : Section::kOther;
      if (section_ != Section::kOther && seen_[static_cast<int>(section_)]++) {
        return repeated_section(context_, local);
      }
    } else if (depth_ == 3 && section_ == Section::kCellFormats && !std::strcmp(local, "xf")) {
      return add_cell_format(attributes);
    } else if (depth_ == 3 && section_ == Section::kNumberFormats &&
               !std::strcmp(local, "numFmt")) {
      return add_number_format(attributes);
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

  bool add_cell_format(const char** attributes) {
    long id = 0;
    if (!format_id(context_, attribute(attributes, "numFmtId"), &id)) return false;
    return formats_->add_cell_format(context_, id);
  }
  bool add_number_format(const char** attributes) {
    long id = 0;
    const char* code = attribute(attributes, "formatCode");
    if (!code) return context_.unsupported("a number format has no code");
    if (!format_id(context_, attribute(attributes, "numFmtId"), &id)) return false;
    return formats_->add_number_format(context_, id, code);
  }

  ScanContext& context_;
  NumberFormats* formats_;
  int depth_ = 0;
  Section section_ = Section::kOther;
  int seen_[3] = {0, 0, 0};  // of each section
};

// openpyxl reads each entry with text.replace("x005F_", "").
std::string unescaped(const std::string& text) {
  std::string result;
  size_t start = 0;
  for (size_t found; (found = text.find(kEscapedUnderscore, start)) != std::string::npos;) {
    result.append(text, start, found - start);
    start = found + sizeof kEscapedUnderscore - 1;
  }
  result.append(text, start, std::string::npos);
  return result;
}

// Visits the text of each <si> of the table.
class TableHandler : public XmlHandler {
 public:
  TableHandler(ScanContext& context, const std::string& main_namespace, const StringVisitor& visit)
      : context_(context), entry_tag_(qualified(main_namespace, "si")), visit_(visit) {
    text_.set_limit(kMaxTextBytes);
  }
  bool start(const char* name, const char**) override {
    if (++depth_ == 1 && !in_namespace(name, entry_tag_)) return other_namespace(context_);
    if (entry_depth_) {
      // openpyxl would count an entry inside an entry as one more string.
      if (entry_tag_ == name) return context_.unsupported("a shared string inside a shared string");
      text_.start(local_name(name), depth_ - entry_depth_);
      return true;
    }
    if (entry_tag_ == name) {
      entry_depth_ = depth_;
      text_.clear();
    }
    return true;
  }
  bool end(const char*) override {
    if (entry_depth_ && depth_ > entry_depth_) {
      text_.end(depth_ - entry_depth_);
    } else if (entry_depth_ == depth_) {
      entry_depth_ = 0;
      if (!visit_(text_.empty() ? std::string() : unescaped(text_.content()), text_.cut())) {
        return false;
      }
    }
    --depth_;
    return true;
  }
  bool text(const char* data, int length) override {
    if (entry_depth_) text_.text(data, length);
    return true;
  }

 private:
  ScanContext& context_;
  std::string entry_tag_;
  const StringVisitor& visit_;
  RichText text_;
  int depth_ = 0;
  int entry_depth_ = 0;
};

}  // namespace

bool other_namespace(ScanContext& context) {
  return context.unsupported("a part in another namespace than the workbook part");
}

bool read_workbook(const ZipArchive& archive, const std::string& part, WorkbookContents* workbook) {
  WorkbookHandler handler(archive.context(), workbook);
  if (!parse_xml_member(archive, part, &handler)) return false;
  if (workbook->main_namespace != kTransitionalMain && workbook->main_namespace != kStrictMain) {
    return archive.context().unsupported("the workbook part is not SpreadsheetML");
  }
  return true;
}

bool read_number_formats(const ZipArchive& archive, const std::string& part,
                         NumberFormats* formats) {
  StylesHandler handler(archive.context(), formats);
  return parse_xml_member(archive, part, &handler);
}

bool read_strings(const ZipArchive& archive, const std::string& part,
                  const std::string& main_namespace, const StringVisitor& visit) {
  TableHandler handler(archive.context(), main_namespace, visit);
  return parse_xml_member(archive, part, &handler);
}

}  // namespace xlsx
}  // namespace sheetscan
