// An XML member of the archive parsed with CPython's expat as it inflates.
//
// Element names reach the handler as expat gives them with namespace
// processing: "namespace\x01local" (or "local" outside any namespace), and
// attributes as a null-terminated list of name/value pairs. A handler stops
// the parse by returning false from `start`/`end`/`text` after calling
// `ScanContext::refuse` or setting another Python error; documents with a document type
// declaration are refused before their internal subset could expand entities.
#pragma once

#include "sheetscan/zip/zip_archive.hpp"

#include <cstring>
#include <string>

namespace sheetscan {

constexpr char kNamespaceSeparator = '\x01';

class XmlHandler {
 public:
  virtual ~XmlHandler() = default;
  virtual bool start(const char* name, const char** attributes) = 0;
  virtual bool end(const char* name) = 0;
  virtual bool text(const char* data, int length) = 0;
  // Whether the rest of the part can be left unread (checked between chunks).
  virtual bool finished() const { return false; }
};

// Parses member `name` of `archive` with `handler`; false with an error set on failure.
bool parse_xml_member(const ZipArchive& archive, const std::string& name, XmlHandler* handler);

// The local part of an element or attribute name, after its namespace.
inline const char* local_name(const char* name) {
  const char* separator = std::strrchr(name, kNamespaceSeparator);
  return separator ? separator + 1 : name;
}

// The value of attribute `name` (an unqualified name, or "namespace\x01local"), or null.
inline const char* attribute(const char** attributes, const char* name) {
  for (; attributes[0]; attributes += 2) {
    if (std::strcmp(attributes[0], name) == 0) return attributes[1];
  }
  return nullptr;
}

// Whether the element `name` is in the namespace of `qualified_name`
// ("namespace\x01local" both).
inline bool in_namespace(const char* name, const std::string& qualified_name) {
  size_t length = qualified_name.find(kNamespaceSeparator);
  return length != std::string::npos && std::strncmp(name, qualified_name.c_str(), length + 1) == 0;
}

// "namespace\x01local", the form in which expat reports a qualified name.
inline std::string qualified(const std::string& space, const char* local) {
  return space + kNamespaceSeparator + local;
}

}  // namespace sheetscan
