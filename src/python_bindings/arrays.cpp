#include "python_bindings/arrays.h"

#include <cstring>

#include <fmt/format.h>

#include "python_bindings/arguments.h"
#include "python_bindings/float_buffer.h"
#include "python_bindings/numpy_access.h"

namespace varkel::python {

namespace {

PyRef attribute(PyObject* object, const char* name) { return checked(PyObject_GetAttrString(object, name)); }

long long long_attribute(PyObject* object, const char* name) {
  PyRef value = attribute(object, name);
  const long long number = PyLong_AsLongLong(value.get());
  if (number == -1 && PyErr_Occurred()) throw PythonError();
  return number;
}

PyObject* typed_array(PyObject* value, const char* name, char kind, long long itemsize, long long ndim,
                      const char* wanted) {
  PyObject* ndarray = loaded_ndarray_type();
  const int is_array = ndarray == nullptr ? 0 : PyObject_IsInstance(value, ndarray);
  if (is_array < 0) throw PythonError();
  if (is_array == 0) {
    raise_argument(name, fmt::format("'{}' object cannot be converted to '{}'", type_name(value), wanted));
  }
  PyRef dtype = attribute(value, "dtype");
  const std::string dtype_kind = str_text(attribute(dtype.get(), "kind").get());
  const int native = PyObject_IsTrue(attribute(dtype.get(), "isnative").get());
  if (native < 0) throw PythonError();
  const long long dims = long_attribute(value, "ndim");
  if (dtype_kind != std::string(1, kind) || long_attribute(dtype.get(), "itemsize") != itemsize || native == 0 ||
      dims != ndim) {
    raise_argument(name, fmt::format("expected {}, got {} array of {} dimension{}", wanted, str_text(dtype.get()), dims,
                                     dims == 1 ? "" : "s"));
  }
  return value;
}

}  // namespace

PyObject* int64_vector_arg(PyObject* value, const char* name) {
  return typed_array(value, name, 'i', 8, 1, "a NumPy int64 array of 1 dimension");
}

PyObject* float32_matrix_arg(PyObject* value, const char* name) {
  return typed_array(value, name, 'f', 4, 2, "a NumPy float32 array of 2 dimensions");
}

ArrayView::ArrayView(PyObject* array) {
  if (PyObject_GetBuffer(array, &view_, PyBUF_RECORDS_RO) != 0) throw PythonError();
  if (!PyBuffer_IsContiguous(&view_, 'A')) {
    PyBuffer_Release(&view_);
    raise_type("The given array is not contiguous");
  }
}

std::span<const int64_t> ArrayView::int64s() const {
  return {static_cast<const int64_t*>(view_.buf), static_cast<std::size_t>(view_.len) / sizeof(int64_t)};
}

std::vector<float> ArrayView::float_rows() const {
  const auto rows = static_cast<std::size_t>(view_.shape[0]);
  const auto cols = static_cast<std::size_t>(view_.shape[1]);
  std::vector<float> out(rows * cols);
  if (PyBuffer_IsContiguous(&view_, 'C')) {
    if (!out.empty()) std::memcpy(out.data(), view_.buf, out.size() * sizeof(float));
    return out;
  }
  // Fortran order: read each element where its strides put it.
  const auto* base = static_cast<const char*>(view_.buf);
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < cols; ++c) {
      std::memcpy(&out[r * cols + c], base + r * view_.strides[0] + c * view_.strides[1], sizeof(float));
    }
  }
  return out;
}

PyRef owned_float_array(std::vector<float>&& values, std::size_t rows, std::size_t cols) {
  PyRef owner = float_buffer(std::move(values));
  PyRef shape = checked(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(rows), static_cast<Py_ssize_t>(cols)));
  PyRef dtype = checked(PyUnicode_FromString("float32"));
  PyRef arguments = checked(PyTuple_Pack(3, shape.get(), dtype.get(), owner.get()));
  return checked(PyObject_Call(ndarray_type(), arguments.get(), nullptr));
}

}  // namespace varkel::python
