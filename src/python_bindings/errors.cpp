#include "python_bindings/errors.h"

namespace varkel::python {

void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw PythonError();
}

PyObject* panic_exception_type() {
  static PyObject* type = PyErr_NewExceptionWithDoc(
      "_varkel.PanicException",
      "A failure the native code treats as impossible, such as using an object on another thread.",
      PyExc_BaseException, nullptr);
  return type;
}

void raise_panic(const std::string& message) {
  // Like an ordinary panic hook, say it on standard error first.
  PySys_WriteStderr("%s\n", message.c_str());
  PyObject* type = panic_exception_type();
  if (type == nullptr) throw PythonError();
  raise(type, message);
}

}  // namespace varkel::python
