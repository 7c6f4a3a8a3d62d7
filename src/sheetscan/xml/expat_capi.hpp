// The expat entry points that pyexpat exports through its capsule
// "pyexpat.expat_CAPI", the parser that xml.etree uses.
//
// The layout mirrors the leading members of `struct PyExpat_CAPI` of
// <pyexpat.h>, which is the same from 3.7 to 3.13 (3.13 only appends a member);
// expat's own header is not installed with CPython, so its types are declared
// here as the C ABI sees them: opaque parser pointers and enums passed as int.
#pragma once

#include "common/pyref.hpp"

namespace sheetscan {

using XmlParser = struct XmlParserOpaque*;
using XmlStartHandler = void (*)(void* data, const char* name, const char** attributes);
using XmlEndHandler = void (*)(void* data, const char* name);
using XmlCharacterHandler = void (*)(void* data, const char* text, int length);
using XmlDoctypeHandler = void (*)(void* data, const char* name, const char* system_id,
                                   const char* public_id, int has_internal_subset);

struct ExpatApi {
  char* magic;
  int size;
  int major_version;
  int minor_version;
  int micro_version;
  const char* (*ErrorString)(int code);
  int (*GetErrorCode)(XmlParser parser);
  unsigned long (*GetErrorColumnNumber)(XmlParser parser);  // unused; sizes vary
  unsigned long (*GetErrorLineNumber)(XmlParser parser);    // unused; sizes vary
  int (*Parse)(XmlParser parser, const char* data, int length, int is_final);
  XmlParser (*ParserCreate_MM)(const char* encoding, const void* memsuite,
                               const char* namespace_separator);
  void (*ParserFree)(XmlParser parser);
  void (*SetCharacterDataHandler)(XmlParser parser, XmlCharacterHandler handler);
  void (*SetCommentHandler)(XmlParser parser, void* handler);
  void (*SetDefaultHandlerExpand)(XmlParser parser, void* handler);
  void (*SetElementHandler)(XmlParser parser, XmlStartHandler start, XmlEndHandler end);
  void (*SetNamespaceDeclHandler)(XmlParser parser, void* start, void* end);
  void (*SetProcessingInstructionHandler)(XmlParser parser, void* handler);
  void (*SetUnknownEncodingHandler)(XmlParser parser, void* handler, void* data);
  void (*SetUserData)(XmlParser parser, void* data);
  void (*SetStartDoctypeDeclHandler)(XmlParser parser, XmlDoctypeHandler start);
};

// The capsule's table, checked for its magic text and size, and in *capsule
// the capsule object, which owns the table (in newer versions it is freed
// with the capsule); null with a Python error set when pyexpat cannot be
// imported or exports something else.
const ExpatApi* import_expat_api(common::Ref* capsule);

}  // namespace sheetscan
