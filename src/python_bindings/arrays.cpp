#include "python_bindings/arrays.h"

#include <bit>
#include <cstring>
#include <string_view>

#include <fmt/format.h>

#include "python_bindings/arguments.h"
#include "python_bindings/float_buffer.h"
#include "python_bindings/numpy_access.h"

namespace varkel::python {

ExportedBuffer::ExportedBuffer(PyObject* object) {
  if (PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) != 0) throw PythonError();
}

// What an argument must be: its format codes (one of them, after an optional
// byte-order prefix), item size and number of dimensions.
struct ArrayView::Kind {
  std::string_view codes;
  Py_ssize_t itemsize;
  int ndim;
  const char* wanted;
};

namespace {

constexpr bool kLittleEndian = std::endian::native == std::endian::little;

// The struct module's byte-order prefixes: '@' and '=' mean the host's order,
// '<', '>' and '!' name one.
bool is_order_prefix(char c) { return std::string_view("@=<>!").find(c) != std::string_view::npos; }
bool is_native_order(char c) {
  if (c == '@' || c == '=') return true;
  return kLittleEndian ? c == '<' : (c == '>' || c == '!');
}

struct Format {
  std::string_view code;
  bool native;
};

Format parse_format(const Py_buffer& view) {
  // A buffer without a format holds unsigned bytes.
  std::string_view format = view.format != nullptr ? view.format : "B";
  if (!format.empty() && is_order_prefix(format.front())) {
    return {format.substr(1), is_native_order(format.front())};
  }
  return {format, true};
}

// The element type in NumPy's words where the format is a plain number.
std::string element_name(const Py_buffer& view) {
  const Format format = parse_format(view);
  const Py_ssize_t bits = view.itemsize * 8;
  std::string name = fmt::format("'{}'", view.format != nullptr ? view.format : "B");
  if (format.code.size() == 1) {
    const char code = format.code.front();
    if (std::string_view("bhilqn").find(code) != std::string_view::npos) name = fmt::format("int{}", bits);
    if (std::string_view("BHILQN").find(code) != std::string_view::npos) name = fmt::format("uint{}", bits);
    if (std::string_view("efdg").find(code) != std::string_view::npos) name = fmt::format("float{}", bits);
    if (code == '?') name = "bool";
  }
  return format.native ? name : "byte-swapped " + name;
}

// The buffer of a NumPy array; any other object, and an array whose items
// have no buffer format (such as datetimes), is refused.
ExportedBuffer array_buffer(PyObject* value, const char* name, const char* wanted) {
  // The type itself, not isinstance(): that would take a `__class__` an
  // object claims for itself.
  PyObject* ndarray = loaded_ndarray_type();
  if (ndarray == nullptr || !PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(ndarray))) {
    raise_argument(name, fmt::format("'{}' object cannot be converted to '{}'", type_name(value), wanted));
  }
  try {
    return ExportedBuffer(value);
  } catch (const PythonError&) {
    PyErr_Clear();
    raise_argument(name, fmt::format("expected {}, got an array whose items have no buffer format", wanted));
  }
}

}  // namespace

ArrayView::ArrayView(PyObject* value, const char* name, const Kind& kind)
    : buffer_(array_buffer(value, name, kind.wanted)) {
  const Py_buffer& view = buffer_.view();
  const Format format = parse_format(view);
  if (view.ndim != kind.ndim || view.itemsize != kind.itemsize || !format.native || format.code.size() != 1 ||
      kind.codes.find(format.code.front()) == std::string_view::npos) {
    raise_argument(name, fmt::format("expected {}, got {} array of {} dimension{}", kind.wanted, element_name(view),
                                     view.ndim, view.ndim == 1 ? "" : "s"));
  }
}

ArrayView ArrayView::int64_vector(PyObject* value, const char* name) {
  // NumPy names int64 'l' where a C long has 64 bits, 'q' elsewhere.
  static constexpr Kind kind{"lq", 8, 1, "a NumPy int64 array of 1 dimension"};
  return ArrayView(value, name, kind);
}

ArrayView ArrayView::float32_matrix(PyObject* value, const char* name) {
  static constexpr Kind kind{"f", 4, 2, "a NumPy float32 array of 2 dimensions"};
  return ArrayView(value, name, kind);
}

void ArrayView::require_contiguous() const {
  if (!PyBuffer_IsContiguous(&buffer_.view(), 'A')) raise_type("The given array is not contiguous");
}

std::vector<int64_t> ArrayView::int64s() const {
  require_contiguous();
  std::vector<int64_t> out(shape(0));
  if (!out.empty()) std::memcpy(out.data(), buffer_.view().buf, out.size() * sizeof(int64_t));
  return out;
}

std::vector<float> ArrayView::float_rows() const {
  require_contiguous();
  const Py_buffer& view = buffer_.view();
  const std::size_t rows = shape(0);
  const std::size_t cols = shape(1);
  std::vector<float> out(rows * cols);
  if (PyBuffer_IsContiguous(&view, 'C')) {
    if (!out.empty()) std::memcpy(out.data(), view.buf, out.size() * sizeof(float));
    return out;
  }
  // Fortran order: read each element where its strides put it.
  const auto* base = static_cast<const char*>(view.buf);
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < cols; ++c) {
      std::memcpy(&out[r * cols + c], base + r * view.strides[0] + c * view.strides[1], sizeof(float));
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
