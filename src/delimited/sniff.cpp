#include "sniff.hpp"

#include "common/call.hpp"
#include "common/exception_boundary.hpp"
#include "common/fast_path.hpp"
#include "header_vote.hpp"
#include "originals.hpp"
#include "sample_sniffer.hpp"
#include "sniffer_guard.hpp"
#include "switches.hpp"

#include <utility>

namespace delimited {

namespace {

// type("dialect", (Dialect,), namespace): the class body's namespace, then
// the four attributes sniff() sets after it, in its order, so that vars() of
// the class is the sniffer's, key for key.
Ref make_dialect(const SnifferOriginals& sniffer, const SniffedLayout& layout) {
  Ref namespace_ = steal(PyDict_Copy(sniffer.dialect_namespace.get()));
  Ref delimiter = steal(PyUnicode_FromOrdinal(static_cast<int>(layout.delimiter)));
  Ref quotechar =
      steal(PyUnicode_FromOrdinal(layout.has_quotechar ? static_cast<int>(layout.quotechar) : '"'));
  if (!namespace_ || !delimiter || !quotechar) return Ref();
  PyObject* values[] = {layout.doublequote ? Py_True : Py_False, delimiter.get(), quotechar.get(),
                        layout.skipinitialspace ? Py_True : Py_False};
  for (Py_ssize_t i = 0; i < 4; ++i)
    if (PyDict_SetItem(namespace_.get(), PyTuple_GET_ITEM(sniffer.dialect_attributes.get(), i),
                       values[i]) < 0)
      return Ref();
  return call(reinterpret_cast<PyObject*>(&PyType_Type),
              {sniffer.dialect_name.get(), sniffer.dialect_bases.get(), namespace_.get()});
}

// 1 when answered; 0 when the sniffer must run (an error may be set); -1
// when the step fails.
int answer(PyObject* csv, PyObject* sample, bool want_header, SniffAnswers& answers) {
  if (!PyUnicode_CheckExact(sample) || ready_text(sample) < 0) return 0;
  const SnifferOriginals* sniffer = original_sniffer(csv);
  if (!sniffer) return 0;
  const ReaderOriginals& reader = *registry.reader;
  const SnifferRules& rules = sniffer->variant->rules;
  const CodePoints points = code_points_of(sample);
  SniffedLayout layout = sniff_layout(points, rules);
  if (!layout.found) return 0;  // the sniffer raises its own error
  Ref dialect = make_dialect(*sniffer, layout);
  if (!dialect) return 0;
  if (want_header) {
    int64_t field_limit;
    if (!current_field_size_limit(reader, field_limit)) {
      if (give_up_fast_path() < 0) return -1;
      field_limit = -1;  // unknown: the vote leaves every row to the reader
    }
    int vote = vote_header(reader.reader.get(), reader.string_io_type.get(), sample, dialect.get(),
                           points, layout, rules, field_limit);
    if (vote < 0) return 0;
    answers.title_first = borrow(vote ? Py_True : Py_False);
  }
  answers.dialect = std::move(dialect);
  return 1;
}

}  // namespace

int sniff_sample(PyObject* csv, PyObject* sample, bool want_header, SniffAnswers& answers) {
  // A C++ exception (running out of memory in the vectors) fails the step
  // with MemoryError, as the sniffer's own would.
  int answered =
      switches.sniff_natively ? without_exceptions<answer>(csv, sample, want_header, answers) : 0;
  if (answered == 0 && give_up_fast_path() < 0) answered = -1;
  ++(answered > 0 ? switches.sniff.native : switches.sniff.fallback);
  return answered;
}

}  // namespace delimited
