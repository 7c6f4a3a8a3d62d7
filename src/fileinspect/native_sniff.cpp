#include "native_sniff.hpp"

#include "header_vote.hpp"
#include "nativecount.hpp"
#include "ops.hpp"
#include "sniff_guard.hpp"
#include "sniffer.hpp"
#include "state.hpp"

namespace fileinspect {

namespace {

// type("dialect", (Dialect,), namespace): the class body's namespace, then
// the four attributes sniff() sets after it, in its order, so that vars() of
// the class is the sniffer's, key for key.
Ref make_dialect(const SniffedLayout& layout) {
  const SnifferOriginals& o = state.sniffer;
  Ref namespace_ = steal(PyDict_Copy(o.dialect_namespace));
  Ref delimiter = steal(PyUnicode_FromOrdinal(static_cast<int>(layout.delimiter)));
  Ref quotechar =
      steal(PyUnicode_FromOrdinal(layout.has_quotechar ? static_cast<int>(layout.quotechar) : '"'));
  if (!namespace_ || !delimiter || !quotechar) return Ref();
  PyObject* values[] = {layout.doublequote ? Py_True : Py_False, delimiter.get(), quotechar.get(),
                        layout.skipinitialspace ? Py_True : Py_False};
  for (Py_ssize_t i = 0; i < 4; ++i)
    if (PyDict_SetItem(namespace_.get(), PyTuple_GET_ITEM(o.dialect_attributes, i), values[i]) < 0)
      return Ref();
  return call(reinterpret_cast<PyObject*>(&PyType_Type),
              {o.dialect_name, o.dialect_bases, namespace_.get()});
}

bool answer(PyObject* sample, bool want_header, Ref& title_first, Ref& dialect) {
  const CodePoints points = code_points_of(sample);
  SniffedLayout layout = sniff_layout(points);
  if (!layout.found) return false;  // the sniffer raises its own error
  Ref made = make_dialect(layout);
  if (!made) return PyErr_Clear(), false;
  if (want_header) {
    const SnifferOriginals& o = state.sniffer;
    int64_t field_limit = -1;  // unknown: every row is left to the reader
    current_field_size_limit(field_limit);
    int vote = vote_header(o.reader, o.string_io, sample, made.get(), points, layout, field_limit);
    if (vote < 0) return false;
    title_first = borrow(vote ? Py_True : Py_False);
  }
  dialect = std::move(made);
  return true;
}

}  // namespace

bool sniff_natively(PyObject* csv, PyObject* sample, bool want_header, Ref& title_first,
                    Ref& dialect) {
  SniffCounters& counters = state.sniff_counters;
  bool done = !counters.disabled && PyUnicode_CheckExact(sample) && ready_text(sample) == 0 &&
              sniffer_is_original(csv) && answer(sample, want_header, title_first, dialect);
  ++(done ? counters.native : counters.fallback);
  return done;
}

}  // namespace fileinspect
