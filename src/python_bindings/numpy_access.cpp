#include "python_bindings/numpy_access.h"

#include "python_bindings/errors.h"

namespace varkel::python {

namespace {

// numpy.<name> from an imported module, kept for the process; null when
// NumPy is not there (with no exception left set).
PyObject* numpy_attribute(PyObject* numpy, const char* name) {
  PyObject* value = PyObject_GetAttrString(numpy, name);
  if (value == nullptr) PyErr_Clear();
  return value;
}

struct NumpyTypes {
  PyObject* ndarray = nullptr;
  PyObject* bool_ = nullptr;
};

NumpyTypes& types_of(PyObject* numpy) {
  static NumpyTypes types;
  if (types.ndarray == nullptr && numpy != nullptr) {
    types.ndarray = numpy_attribute(numpy, "ndarray");
    types.bool_ = numpy_attribute(numpy, "bool_");
  }
  return types;
}

// sys.modules["numpy"], or null without importing it.
PyRef imported_numpy() {
  PyRef name = checked(PyUnicode_FromString("numpy"));
  PyObject* module = PyImport_GetModule(name.get());
  if (module == nullptr && PyErr_Occurred()) throw PythonError();
  return PyRef::steal(module);
}

}  // namespace

PyObject* loaded_ndarray_type() { return types_of(imported_numpy().get()).ndarray; }

PyObject* loaded_bool_type() { return types_of(imported_numpy().get()).bool_; }

PyObject* ndarray_type() {
  PyRef numpy = checked(PyImport_ImportModule("numpy"));
  PyObject* ndarray = types_of(numpy.get()).ndarray;
  if (ndarray == nullptr) raise(PyExc_ImportError, "numpy.ndarray not found");
  return ndarray;
}

}  // namespace varkel::python
