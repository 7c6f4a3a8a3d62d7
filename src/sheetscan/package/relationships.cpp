#include "sheetscan/package/relationships.hpp"

#include <cstring>

#include "sheetscan/limits.hpp"
#include "sheetscan/xml/xml_part.hpp"

namespace sheetscan {

namespace {

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

class RelationshipsHandler : public XmlHandler {
 public:
  RelationshipsHandler(ScanContext& context, const std::string& part, Relationships* relationships)
      : context_(context), folder_(folder_of(part)), relationships_(relationships) {}
  bool start(const char* name, const char** attributes) override {
    if (std::strcmp(local_name(name), "Relationship") != 0) return true;
    const char* id = attribute(attributes, "Id");
    const char* type = attribute(attributes, "Type");
    const char* target = attribute(attributes, "Target");
    const char* mode = attribute(attributes, "TargetMode");
    if (!id || !type || !target) return true;
    if (relationships_->order.size() == kMaxRelationships) {
      return context_.reject("a part has more than %zu relationships", kMaxRelationships);
    }
    text_bytes_ += 2 * std::strlen(id) + std::strlen(type) + std::strlen(target);
    if (text_bytes_ > kMaxEntryTextBytes) {
      return context_.reject("a part's relationships take more than %zu bytes", kMaxEntryTextBytes);
    }
    relationships_->by_id[id] = Relationship{type, resolved(target, mode)};
    relationships_->order.push_back(id);
    return true;
  }
  bool end(const char*) override { return true; }
  bool text(const char*, int) override { return true; }

 private:
  std::string resolved(const char* target, const char* mode) const {
    if (mode && std::strcmp(mode, "External") == 0) {
      return std::string("external:") + target;  // never a member name
    }
    if (target[0] == '/') return target + 1;
    return normalised(folder_.empty() ? target : folder_ + "/" + target);
  }

  ScanContext& context_;
  std::string folder_;
  Relationships* relationships_;
  size_t text_bytes_ = 0;  // kept of the relationships: ids (twice), types, targets
};

}  // namespace

bool read_relationships(const ZipArchive& archive, const std::string& part,
                        Relationships* relationships) {
  RelationshipsHandler handler(archive.context(), part, relationships);
  return parse_xml_member(archive, relationships_member(part), &handler);
}

bool ends_with(const std::string& text, const char* suffix) {
  size_t length = std::strlen(suffix);
  return text.size() >= length && text.compare(text.size() - length, length, suffix) == 0;
}

}  // namespace sheetscan
