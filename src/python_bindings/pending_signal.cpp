#include "python_bindings/pending_signal.h"

#include "python_bindings/py_ref.h"

namespace varkel::python {

std::optional<std::string> pending_signal() {
  if (PyErr_CheckSignals() == 0) return std::nullopt;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef type_ref = PyRef::steal(type), value_ref = PyRef::steal(value), traceback_ref = PyRef::steal(traceback);
  const auto text = [](PyObject* object) -> std::string {
    PyRef str = PyRef::steal(object == nullptr ? nullptr : PyObject_Str(object));
    const char* data = str ? PyUnicode_AsUTF8AndSize(str.get(), nullptr) : nullptr;
    if (data == nullptr) {
      PyErr_Clear();
      return "";
    }
    return data;
  };
  PyRef name = PyRef::steal(type == nullptr ? nullptr : PyObject_GetAttrString(type, "__name__"));
  if (!name) PyErr_Clear();
  return text(name.get()) + ": " + text(value);
}

}  // namespace varkel::python
