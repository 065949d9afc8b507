#pragma once
// Raising Python exceptions from native code: each helper sets the exception
// and throws pybind11::error_already_set, so pybind11 hands it to Python as is.

#include <Python.h>

#include <string>

#include "error/moe_error.h"

namespace varkel::python {

[[noreturn]] void raise(PyObject* type, const std::string& message);
[[noreturn]] inline void raise_runtime(const std::string& message) { raise(PyExc_RuntimeError, message); }
[[noreturn]] inline void raise_value(const std::string& message) { raise(PyExc_ValueError, message); }
[[noreturn]] inline void raise_type(const std::string& message) { raise(PyExc_TypeError, message); }
[[noreturn]] inline void raise_io(const std::string& message) { raise(PyExc_OSError, message); }

// The module's panic exception type (derived from BaseException). It is not a
// module attribute; it is made at first use.
PyObject* panic_exception_type();
[[noreturn]] void raise_panic(const std::string& message);

// Unwraps a native result or raises `type` with the error's display text.
template <class T>
T value_or_raise(std::expected<T, MoEError>&& result, PyObject* type) {
  if (!result) raise(type, result.error().to_string());
  return std::move(*result);
}
inline void value_or_raise(std::expected<void, MoEError>&& result, PyObject* type) {
  if (!result) raise(type, result.error().to_string());
}

}  // namespace varkel::python
