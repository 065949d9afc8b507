#include "python_bindings/arguments.h"

#include <fmt/format.h>

namespace varkel::python {

namespace {

const char* type_name(py::handle value) { return Py_TYPE(value.ptr())->tp_name; }

bool is_numpy_bool(py::handle value) {
  static PyObject* numpy_bool = [] {
    py::object type = py::module_::import("numpy").attr("bool_");
    return type.release().ptr();
  }();
  return PyObject_TypeCheck(value.ptr(), reinterpret_cast<PyTypeObject*>(numpy_bool));
}

std::string describe_array(const py::array& array) {
  return fmt::format("{} array of {} dimension{}", std::string(py::str(array.dtype())), array.ndim(),
                     array.ndim() == 1 ? "" : "s");
}

py::array typed_array(py::handle value, const char* name, char kind, py::ssize_t itemsize, py::ssize_t ndim,
                      const char* wanted) {
  // Exactly ndarray (or a subclass): other buffer objects are not accepted.
  if (!py::isinstance<py::array>(value)) {
    raise_argument(name, fmt::format("'{}' object cannot be converted to '{}'", type_name(value), wanted));
  }
  py::array array = py::reinterpret_borrow<py::array>(value);
  const py::dtype dtype = array.dtype();
  const bool native = dtype.attr("isnative").cast<bool>();
  if (dtype.kind() != kind || dtype.itemsize() != itemsize || !native || array.ndim() != ndim) {
    raise_argument(name, fmt::format("expected {}, got {}", wanted, describe_array(array)));
  }
  return array;
}

}  // namespace

void raise_argument(const char* name, const std::string& reason) {
  raise_type(fmt::format("argument '{}': {}", name, reason));
}

std::string str_arg(py::handle value, const char* name) {
  if (!PyUnicode_Check(value.ptr())) {
    raise_argument(name, fmt::format("'{}' object cannot be converted to 'str'", type_name(value)));
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
  if (data == nullptr) throw py::error_already_set();
  return std::string(data, static_cast<std::size_t>(size));
}

std::optional<std::string> optional_str_arg(py::handle value, const char* name) {
  if (value.is_none()) return std::nullopt;
  return str_arg(value, name);
}

uint64_t count_arg(py::handle value, const char* name) {
  if (!PyLong_Check(value.ptr())) {
    raise_argument(name, fmt::format("'{}' object cannot be interpreted as an integer", type_name(value)));
  }
  const unsigned long long count = PyLong_AsUnsignedLongLong(value.ptr());
  if (count == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    // Negative or beyond 64 bits: OverflowError, as the interpreter reports it.
    throw py::error_already_set();
  }
  return count;
}

bool flag_arg(py::handle value, const char* name) {
  if (PyBool_Check(value.ptr())) return value.ptr() == Py_True;
  if (is_numpy_bool(value)) {
    const int truth = PyObject_IsTrue(value.ptr());
    if (truth < 0) throw py::error_already_set();
    return truth == 1;
  }
  raise_argument(name, fmt::format("'{}' object cannot be converted to 'bool'", type_name(value)));
}

std::vector<std::string> str_list_arg(py::handle value, const char* name) {
  if (PyUnicode_Check(value.ptr())) raise_argument(name, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(value.ptr())) {
    raise_argument(name, fmt::format("'{}' object cannot be converted to 'Sequence'", type_name(value)));
  }
  // Iterate rather than index: the iterator keeps each item alive while it is
  // read, which a sequence making its items on demand needs.
  std::vector<std::string> out;
  const Py_ssize_t size = PySequence_Size(value.ptr());
  if (size < 0) PyErr_Clear();
  out.reserve(size > 0 ? static_cast<std::size_t>(size) : 0);
  for (const py::handle item : py::iter(value)) out.push_back(str_arg(item, name));
  return out;
}

py::array int64_vector_arg(py::handle value, const char* name) {
  return typed_array(value, name, 'i', 8, 1, "a NumPy int64 array of 1 dimension");
}

py::array float32_matrix_arg(py::handle value, const char* name) {
  return typed_array(value, name, 'f', 4, 2, "a NumPy float32 array of 2 dimensions");
}

void require_contiguous(const py::array& array) {
  const int flags = array.flags();
  if (!(flags & py::array::c_style) && !(flags & py::array::f_style)) raise_type("The given array is not contiguous");
}

py::array_t<float> owned_float_array(std::vector<float>&& values, std::size_t rows, std::size_t cols) {
  auto* owned = new std::vector<float>(std::move(values));
  py::capsule owner(owned, [](void* p) { delete static_cast<std::vector<float>*>(p); });
  return py::array_t<float>({static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(cols)}, owned->data(), owner);
}

}  // namespace varkel::python
