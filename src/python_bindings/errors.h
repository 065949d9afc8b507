#pragma once
// Raising Python exceptions from native code. Each helper sets the exception
// and throws PythonError; the entry points catch it and return null to the
// interpreter, which then raises what was set.

#include <exception>
#include <expected>
#include <string>

#include "error/moe_error.h"
#include "python_bindings/py_ref.h"

namespace varkel::python {

// A Python exception is set; unwinding carries it to the entry point.
struct PythonError : std::exception {
  const char* what() const noexcept override { return "a Python exception is set"; }
};

[[noreturn]] void raise(PyObject* type, const std::string& message);
[[noreturn]] inline void raise_runtime(const std::string& message) { raise(PyExc_RuntimeError, message); }
[[noreturn]] inline void raise_value(const std::string& message) { raise(PyExc_ValueError, message); }
[[noreturn]] inline void raise_type(const std::string& message) { raise(PyExc_TypeError, message); }
[[noreturn]] inline void raise_io(const std::string& message) { raise(PyExc_OSError, message); }

// A new reference from the C API, or PythonError when it failed (null).
inline PyRef checked(PyObject* result) {
  if (result == nullptr) throw PythonError();
  return PyRef::steal(result);
}

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

// Runs an entry point's body: a C++ exception never crosses into the
// interpreter. The body returns a new reference; null means an error is set.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body().release();
  } catch (const PythonError&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  }
  return nullptr;
}

}  // namespace varkel::python
