#pragma once
// NumPy array arguments and results, through the buffer protocol and NumPy's
// Python-level API.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "python_bindings/py_ref.h"

namespace varkel::python {

// A NumPy array (an ndarray or a subclass, not any other buffer) of int64 with
// 1 dimension, or float32 with 2, in native byte order; contiguity is checked
// when its memory is read. Returns `value`.
PyObject* int64_vector_arg(PyObject* value, const char* name);
PyObject* float32_matrix_arg(PyObject* value, const char* name);

// Read-only access to an array's memory while no Python code runs. TypeError
// "The given array is not contiguous" unless C or Fortran contiguous.
class ArrayView {
 public:
  explicit ArrayView(PyObject* array);
  ~ArrayView() { PyBuffer_Release(&view_); }
  ArrayView(const ArrayView&) = delete;
  ArrayView& operator=(const ArrayView&) = delete;

  std::size_t shape(int axis) const { return static_cast<std::size_t>(view_.shape[axis]); }
  // The elements of an int64 vector.
  std::span<const int64_t> int64s() const;
  // A float32 matrix in row-major order, copied out of the array's memory
  // (whatever its layout), so that nothing the caller does afterwards can
  // change or free what a pass reads.
  std::vector<float> float_rows() const;

 private:
  Py_buffer view_;
};

// A float32 array [rows, cols] over `values` without a copy; its memory is
// owned by a small object of the module's own (the array's base).
PyRef owned_float_array(std::vector<float>&& values, std::size_t rows, std::size_t cols);

}  // namespace varkel::python
