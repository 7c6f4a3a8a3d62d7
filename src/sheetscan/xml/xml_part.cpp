#include "sheetscan/xml/xml_part.hpp"

#include "common/exception_boundary.hpp"
#include "sheetscan/limits.hpp"
#include "sheetscan/xml/expat_capi.hpp"
#include "sheetscan/zip/member_reader.hpp"

namespace sheetscan {

namespace {

// Before the root element starts, input goes to expat in slices this small, so
// that a document type declaration is seen before much of it is parsed.
constexpr size_t kPrologSlice = 64;
// expat's error code for an allocation that failed (XML_ERROR_NO_MEMORY).
constexpr int kExpatNoMemory = 1;

struct ParseState {
  XmlHandler* handler;
  bool failed = false;
  bool root_seen = false;
  bool has_doctype = false;
  bool event_seen = false;  // since the last slice was fed
  uint64_t fed = 0;         // bytes given to expat
  uint64_t quiet_from = 0;  // where the input without any event starts
};

// Runs `event` (the handler's answer to one expat callback) unless the parse
// has failed already. Expat is C: no C++ exception may unwind through it, so
// one becomes the Python error it stands for, and the parse fails.
template <typename Event>
void handle(void* data, Event event) {
  auto* state = static_cast<ParseState*>(data);
  state->event_seen = true;
  if (state->failed) return;
  try {
    if (!event(state->handler)) state->failed = true;
  } catch (...) {
    common::raise_for_cxx_exception();
    state->failed = true;
  }
}

void on_start(void* data, const char* name, const char** attributes) {
  static_cast<ParseState*>(data)->root_seen = true;
  handle(data, [&](XmlHandler* handler) { return handler->start(name, attributes); });
}

void on_end(void* data, const char* name) {
  handle(data, [&](XmlHandler* handler) { return handler->end(name); });
}

void on_text(void* data, const char* text, int length) {
  handle(data, [&](XmlHandler* handler) { return handler->text(text, length); });
}

void on_doctype(void* data, const char*, const char*, const char*, int) {
  static_cast<ParseState*>(data)->has_doctype = true;
}

class Parser {
 public:
  explicit Parser(const ExpatApi* api) : api_(api) {
    const char separator[] = {kNamespaceSeparator, '\0'};
    parser_ = api->ParserCreate_MM(nullptr, nullptr, separator);
  }
  ~Parser() {
    if (parser_) api_->ParserFree(parser_);
  }
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;
  XmlParser get() const { return parser_; }

 private:
  const ExpatApi* api_;
  XmlParser parser_;
};

// Why expat stopped: out of memory is the interpreter's MemoryError, anything
// else a refusal of the part.
bool parse_error(ScanContext& context, const ExpatApi* api, XmlParser parser,
                 const std::string& member) {
  int code = api->GetErrorCode(parser);
  if (code == kExpatNoMemory) {
    PyErr_NoMemory();
    return false;
  }
  return context.reject("%s is not well-formed XML (%s)", member.c_str(), api->ErrorString(code));
}

bool feed(ScanContext& context, const ExpatApi* api, XmlParser parser, ParseState* state,
          const std::string& member, const char* data, size_t length, bool last) {
  while (length > 0 || last) {
    size_t slice = state->root_seen ? length : (length < kPrologSlice ? length : kPrologSlice);
    if (slice > 0x40000000) slice = 0x40000000;  // expat takes an int length
    bool final_slice = last && slice == length;
    int status = api->Parse(parser, data, static_cast<int>(slice), final_slice ? 1 : 0);
    if (state->failed) return false;
    state->fed += slice;
    if (state->event_seen) {
      state->event_seen = false;
      state->quiet_from = state->fed;
    } else if (state->fed - state->quiet_from > kMaxXmlTokenBytes) {
      return context.reject("%s holds a tag or comment longer than %zu bytes", member.c_str(),
                            kMaxXmlTokenBytes);
    }
    // What follows the point where the handler had all it wanted is not looked at.
    if (state->handler->finished()) return true;
    if (state->has_doctype) {
      return context.reject("%s holds a document type declaration", member.c_str());
    }
    if (status == 0) return parse_error(context, api, parser, member);
    data += slice;
    length -= slice;
    if (final_slice) break;
  }
  return true;
}

}  // namespace

bool parse_xml_member(const ZipArchive& archive, const std::string& name, XmlHandler* handler) {
  ScanContext& context = archive.context();
  const ExpatApi* api = context.expat();
  if (!api) return false;
  MemberReader reader;
  if (!reader.open(archive, name)) return false;
  Parser parser(api);
  if (!parser.get()) {
    PyErr_NoMemory();
    return false;
  }
  ParseState state{handler};
  api->SetUserData(parser.get(), &state);
  api->SetElementHandler(parser.get(), on_start, on_end);
  api->SetCharacterDataHandler(parser.get(), on_text);
  api->SetStartDoctypeDeclHandler(parser.get(), on_doctype);
  for (;;) {
    const char* data = nullptr;
    size_t length = 0;
    if (!reader.next(&data, &length)) return false;
    if (!feed(context, api, parser.get(), &state, name, data, length, length == 0)) return false;
    if (length == 0 || handler->finished()) return true;
  }
}

}  // namespace sheetscan
