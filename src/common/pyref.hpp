// Owning reference to a Python object, shared by both extension modules.
//
// `Ref` owns one strong reference and releases it when it goes out of scope,
// so every exit path of a function releases what it holds. Where a reference
// is born, `steal` (a new reference returned by the C API) or `borrow` (a
// borrowed one, which gets its own increment) says which kind it was.
// A null `Ref` is how a failing call reports that a Python error is set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace common {

class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    PyObject* old = ptr_;
    ptr_ = other.ptr_;
    other.ptr_ = nullptr;
    Py_XDECREF(old);
    return *this;
  }
  ~Ref() { Py_XDECREF(ptr_); }

  friend Ref steal(PyObject* ptr) noexcept;
  friend Ref borrow(PyObject* ptr) noexcept;

  PyObject* get() const noexcept { return ptr_; }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }

  // Hands the reference back to the C API (for example as a return value).
  PyObject* release() noexcept {
    PyObject* ptr = ptr_;
    ptr_ = nullptr;
    return ptr;
  }

  // Releases the reference now; the `Ref` is null afterwards.
  void reset() noexcept {
    PyObject* ptr = ptr_;
    ptr_ = nullptr;
    Py_XDECREF(ptr);
  }

  // A second owning reference to the same object.
  Ref share() const noexcept {
    Py_XINCREF(ptr_);
    return Ref(ptr_);
  }

 private:
  explicit Ref(PyObject* ptr) noexcept : ptr_(ptr) {}
  PyObject* ptr_ = nullptr;
};

// Takes ownership of a new reference (null stays null).
inline Ref steal(PyObject* ptr) noexcept {
  return Ref(ptr);
}

// Adds a reference of its own to a borrowed one (null stays null).
inline Ref borrow(PyObject* ptr) noexcept {
  Py_XINCREF(ptr);
  return Ref(ptr);
}

}  // namespace common
