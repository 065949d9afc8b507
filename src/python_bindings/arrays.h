#pragma once
// NumPy array arguments and results, through the buffer protocol and NumPy's
// Python-level API.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "python_bindings/py_ref.h"

namespace varkel::python {

// One export of an object's buffer (format, shape and strides included),
// released when this goes; PythonError when the object exports none.
class ExportedBuffer {
 public:
  explicit ExportedBuffer(PyObject* object);
  ~ExportedBuffer() { PyBuffer_Release(&view_); }
  ExportedBuffer(const ExportedBuffer&) = delete;
  ExportedBuffer& operator=(const ExportedBuffer&) = delete;

  const Py_buffer& view() const { return view_; }

 private:
  Py_buffer view_;
};

// An array argument, held through the buffer the array exports for as long as
// the view lives. The element type, item size and dimensions are the buffer's
// own: attributes such as `dtype` or `ndim` can be overridden by a subclass
// and say nothing about the memory behind them.
class ArrayView {
 public:
  // A NumPy array (an ndarray or a subclass, not any other buffer) of int64 with
  // 1 dimension, or float32 with 2, in native byte order; TypeError
  // "argument '<name>': ..." otherwise.
  static ArrayView int64_vector(PyObject* value, const char* name);
  static ArrayView float32_matrix(PyObject* value, const char* name);

  // TypeError "The given array is not contiguous" unless C or Fortran
  // contiguous. The readers below check it too.
  void require_contiguous() const;

  std::size_t shape(int axis) const { return static_cast<std::size_t>(buffer_.view().shape[axis]); }
  // The elements of an int64 vector, copied out bytewise: NumPy allows an array
  // at any address (a view into a bytearray at an odd offset), and a typed read
  // there is undefined.
  std::vector<int64_t> int64s() const;
  // A float32 matrix in row-major order, copied out of the array's memory
  // (whatever its layout or address), so that nothing the caller does
  // afterwards can change or free what a pass reads.
  std::vector<float> float_rows() const;

 private:
  struct Kind;
  ArrayView(PyObject* value, const char* name, const Kind& kind);

  ExportedBuffer buffer_;
};

// A float32 array [rows, cols] over `values` without a copy; its memory is
// owned by a small object of the module's own (the array's base).
PyRef owned_float_array(std::vector<float>&& values, std::size_t rows, std::size_t cols);

}  // namespace varkel::python
