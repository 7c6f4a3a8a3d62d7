#include "sniffer_variants.hpp"

#include "code_digest.hpp"

namespace delimited {

namespace {

// 3.7 to 3.9: lazy quote bodies, the doubled-quote test over a line, int,
// float and complex tried on a cell.
constexpr SnifferRules kClassicTryingThreeTypes{true, false, false, false, false};
// 3.10 to 3.13.0: the same, with complex alone.
constexpr SnifferRules kClassic{false, false, false, false, false};
// 3.14, and later patch releases of 3.13 (gh-103925, gh-98820, gh-109638):
// line ends normalised in sniff(), possessive quote bodies, whole fields for
// the doubled-quote test.
constexpr SnifferRules kWholeFields{false, true, true, true, false};
// 3.15: those, and _guess_delimiter counting lines with collections.Counter,
// which takes U+007F for ASCII (gh-137627).
constexpr SnifferRules kCountedLines{false, true, true, true, true};

// Each entry is proven by the differential tests of the native sniff on the
// interpreter it names (README: "Sniffer variants" says how to add one).
constexpr SnifferVariant kVariants[] = {
    {0xe2d4972612f88203, "CPython 3.7.16", kClassicTryingThreeTypes, SnifferImports::none},
    {0xfb990fc1f6238c5e, "CPython 3.8.18", kClassicTryingThreeTypes, SnifferImports::none},
    {0x03fb44f865be75a5, "CPython 3.9.18", kClassicTryingThreeTypes, SnifferImports::none},
    {0xfe3bf2eb385040ed, "CPython 3.10.13", kClassic, SnifferImports::none},
    // (also Debian 12's 3.11.2, which the 32-bit ARM tests run)
    {0x612cb218a97c4f32, "CPython 3.11.7", kClassic, SnifferImports::none},
    {0xa53cd10073dc5e38, "CPython 3.12.1", kClassic, SnifferImports::none},
    {0x6b820f93e983cdb3, "CPython 3.13.0", kClassic, SnifferImports::none},
    {0xd3166dac8fa9bdba, "CPython 3.13.18 (Debian)", kWholeFields, SnifferImports::none},
    {0x9fa01fdb8105258c, "CPython 3.14.10 (Debian)", kWholeFields, SnifferImports::re},
    {0xd14b08147fa2adbe, "CPython 3.15.2 (Debian)", kCountedLines,
     SnifferImports::re_and_collections},
};

}  // namespace

const char* const kSnifferMethodNames[kSnifferMethods] = {
    "__init__", "sniff", "_guess_quote_and_delimiter", "_guess_delimiter", "has_header"};

const SnifferVariant* known_variant(uint64_t digest) {
  for (const SnifferVariant& variant : kVariants)
    if (variant.digest == digest) return &variant;
  return nullptr;
}

bool sniffer_digest(PyObject* sniffer, uint64_t& digest) {
  PyObject* namespace_ = type_namespace(sniffer);
  Ref codes = steal(PyTuple_New(kSnifferMethods));
  if (!codes) return false;
  for (int i = 0; i < kSnifferMethods; ++i) {
    Ref name = steal(PyUnicode_InternFromString(kSnifferMethodNames[i]));
    PyObject* method = name ? PyDict_GetItemWithError(namespace_, name.get()) : nullptr;
    if (!method || !PyFunction_Check(method)) return false;
    PyTuple_SET_ITEM(codes.get(), i, borrow(PyFunction_GET_CODE(method)).release());
  }
  return digest_of_codes(codes.get(), digest);
}

}  // namespace delimited
