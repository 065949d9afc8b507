#include "python_bindings/arguments.h"

#include <fmt/format.h>

#include "python_bindings/numpy_access.h"

namespace varkel::python {

namespace {

std::string utf8(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) throw PythonError();
  return std::string(data, static_cast<std::size_t>(size));
}

std::string type_attribute(PyObject* type, const char* attribute) {
  PyRef value = checked(PyObject_GetAttrString(type, attribute));
  if (!PyUnicode_Check(value.get())) return "?";
  return utf8(value.get());
}

}  // namespace

std::string type_name(PyObject* value) {
  auto* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  const std::string name = type_attribute(type, "__qualname__");
  const std::string module = type_attribute(type, "__module__");
  // Built-in types are named plainly, other static types with their module;
  // classes made at run time carry the name they were made with, which for
  // this module's own types includes the module.
  const bool heap = (PyType_GetFlags(Py_TYPE(value)) & Py_TPFLAGS_HEAPTYPE) != 0;
  if (module == "builtins" || (heap && module != "_varkel")) return name;
  return module + "." + name;
}

void raise_argument(const char* name, const std::string& reason) {
  raise_type(fmt::format("argument '{}': {}", name, reason));
}

std::string str_arg(PyObject* value, const char* name) {
  if (!PyUnicode_Check(value)) {
    raise_argument(name, fmt::format("'{}' object cannot be converted to 'str'", type_name(value)));
  }
  return utf8(value);
}

std::optional<std::string> optional_str_arg(PyObject* value, const char* name) {
  if (value == nullptr || value == Py_None) return std::nullopt;
  return str_arg(value, name);
}

uint64_t count_arg(PyObject* value, const char* name) {
  if (!PyLong_Check(value)) {
    raise_argument(name, fmt::format("'{}' object cannot be interpreted as an integer", type_name(value)));
  }
  const unsigned long long count = PyLong_AsUnsignedLongLong(value);
  // Negative or beyond 64 bits: OverflowError, as the interpreter reports it.
  if (count == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError();
  return count;
}

bool flag_arg(PyObject* value, const char* name) {
  if (PyBool_Check(value)) return value == Py_True;
  PyObject* numpy_bool = loaded_bool_type();
  if (numpy_bool != nullptr && PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(numpy_bool))) {
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) throw PythonError();
    return truth == 1;
  }
  raise_argument(name, fmt::format("'{}' object cannot be converted to 'bool'", type_name(value)));
}

std::vector<std::string> str_list_arg(PyObject* value, const char* name) {
  if (PyUnicode_Check(value)) raise_argument(name, "'str' object cannot be converted to a list of names");
  if (!PySequence_Check(value)) {
    raise_argument(name, fmt::format("'{}' object cannot be converted to 'Sequence'", type_name(value)));
  }
  // Iterate rather than index: each item stays alive while it is read, which a
  // sequence making its items on demand needs.
  std::vector<std::string> out;
  const Py_ssize_t size = PySequence_Size(value);
  if (size < 0) PyErr_Clear();
  out.reserve(size > 0 ? static_cast<std::size_t>(size) : 0);
  PyRef iterator = checked(PyObject_GetIter(value));
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) out.push_back(str_arg(item.get(), name));
  if (PyErr_Occurred()) throw PythonError();
  return out;
}

PyRef str_value(const std::string& text) {
  return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace varkel::python
