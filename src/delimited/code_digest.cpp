#include "code_digest.hpp"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace delimited {

namespace {

// The parts of a code object that decide what it does, by attribute name;
// those a version lacks are left out (co_posonlyargcount before 3.8,
// co_exceptiontable before 3.11). co_code is read as the attribute: from 3.11
// the interpreter rewrites the bytecode it runs, and the attribute gives it
// as compiled.
const char* const kCodeParts[] = {
    "co_argcount", "co_posonlyargcount", "co_kwonlyargcount", "co_flags",
    "co_code",     "co_exceptiontable",  "co_consts",         "co_names",
    "co_varnames", "co_freevars",        "co_cellvars",       "co_name"};

class Digest {
 public:
  uint64_t value() const { return state_; }

  bool add_code(PyObject* code) {
    add_frame('c', 0);
    for (const char* name : kCodeParts) {
      Ref part = steal(PyObject_GetAttrString(code, name));
      if (!part) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        continue;
      }
      if (!add_value(part.get())) return false;
    }
    return true;
  }

 private:
  // A constant, or a part of a code object. Every value is framed by a tag
  // and its size, so that two listings differ wherever their values do.
  bool add_value(PyObject* value) {
    if (PyCode_Check(value)) return add_code(value);
    if (PyTuple_CheckExact(value)) {
      add_frame('t', static_cast<uint64_t>(PyTuple_GET_SIZE(value)));
      for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(value); ++i)
        if (!add_value(PyTuple_GET_ITEM(value, i))) return false;
      return true;
    }
    if (PyFrozenSet_CheckExact(value)) return add_set(value);
    if (PyBytes_CheckExact(value)) {
      add_bytes('b', PyBytes_AS_STRING(value), static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
      return true;
    }
    // None, numbers, str, Ellipsis, slices: their repr tells them apart.
    Ref shown = steal(PyObject_Repr(value));
    Py_ssize_t size;
    const char* text = shown ? PyUnicode_AsUTF8AndSize(shown.get(), &size) : nullptr;
    if (!text) return false;
    add_bytes('r', text, static_cast<std::size_t>(size));
    return true;
  }

  // A frozenset's items come in an order that varies with string hashing:
  // their digests are taken in sorted order.
  bool add_set(PyObject* set) {
    std::vector<uint64_t> items;
    Ref iterator = steal(PyObject_GetIter(set));
    if (!iterator) return false;
    while (Ref item = steal(PyIter_Next(iterator.get()))) {
      Digest own;
      if (!own.add_value(item.get())) return false;
      items.push_back(own.value());
    }
    if (PyErr_Occurred()) return false;
    std::sort(items.begin(), items.end());
    add_frame('f', items.size());
    for (uint64_t item : items) add_number(item);
    return true;
  }

  void add_bytes(char tag, const char* data, std::size_t size) {
    add_frame(tag, size);
    for (std::size_t i = 0; i < size; ++i) add_byte(static_cast<unsigned char>(data[i]));
  }

  void add_frame(char tag, uint64_t size) {
    add_byte(static_cast<unsigned char>(tag));
    add_number(size);
  }

  // Little-endian whatever the platform's order and word size.
  void add_number(uint64_t number) {
    for (int shift = 0; shift < 64; shift += 8)
      add_byte(static_cast<unsigned char>(number >> shift));
  }

  void add_byte(unsigned char byte) {
    state_ ^= byte;
    state_ *= 0x100000001b3ULL;  // the 64-bit FNV prime
  }

  uint64_t state_ = 0xcbf29ce484222325ULL;  // the 64-bit FNV offset basis
};

}  // namespace

bool digest_of_codes(PyObject* codes, uint64_t& digest) {
  Digest made;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(codes); ++i)
    if (!made.add_code(PyTuple_GET_ITEM(codes, i))) return false;
  digest = made.value();
  return true;
}

}  // namespace delimited
