#pragma once
// The interpreter's C API, limited to the stable ABI (set for the whole target
// by the build), and an owning reference to a Python object.

#ifndef Py_LIMITED_API
#error "the module is built against the limited API only"
#endif
#include <Python.h>

#include <utility>

namespace varkel::python {

// Owns one strong reference; null means none.
class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (as the C API returns them).
  static PyRef steal(PyObject* object) { return PyRef(object); }
  static PyRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return PyRef(object);
  }
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace varkel::python
