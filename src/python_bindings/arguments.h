#pragma once
// Strict argument conversion: no silent copies or coercions. A wrong type is a
// TypeError whose message starts with "argument '<name>': ".

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "python_bindings/errors.h"

namespace varkel::python {

namespace py = pybind11;

[[noreturn]] void raise_argument(const char* name, const std::string& reason);

std::string str_arg(py::handle value, const char* name);
std::optional<std::string> optional_str_arg(py::handle value, const char* name);
// A non-negative int within u64; OverflowError when negative or too large.
uint64_t count_arg(py::handle value, const char* name);
// bool or a NumPy boolean scalar; int and everything else refused.
bool flag_arg(py::handle value, const char* name);
// A sequence of str; a bare str is refused.
std::vector<std::string> str_list_arg(py::handle value, const char* name);

// Instance of a bound class, e.g. class_arg<PyModel>(obj, "model", "Model").
template <class T>
T& class_arg(py::handle value, const char* name, const char* class_name) {
  if (!py::isinstance<T>(value)) {
    raise_argument(name, std::string("'") + Py_TYPE(value.ptr())->tp_name + "' object cannot be converted to '" +
                             class_name + "'");
  }
  return value.cast<T&>();
}

// A NumPy array (exactly ndarray, not another buffer) of int64 with 1
// dimension, or float32 with 2; contiguity is checked separately.
py::array int64_vector_arg(py::handle value, const char* name);
py::array float32_matrix_arg(py::handle value, const char* name);
// TypeError "The given array is not contiguous" unless C or Fortran contiguous.
void require_contiguous(const py::array& array);

// A float32 array [rows, cols] owning `values` without a copy.
py::array_t<float> owned_float_array(std::vector<float>&& values, std::size_t rows, std::size_t cols);

}  // namespace varkel::python
