#pragma once
// NumPy reached through its Python-level API only, and only once a call needs
// it: importing the module does not import NumPy, and no NumPy C header ties
// the binary to one NumPy version.

#include "python_bindings/py_ref.h"

namespace varkel::python {

// numpy.ndarray and numpy.bool_ when NumPy is already imported, else null (a
// value can then be neither). Borrowed references, kept for the process.
PyObject* loaded_ndarray_type();
PyObject* loaded_bool_type();

// numpy.ndarray, importing NumPy if need be; raises PythonError when it cannot.
PyObject* ndarray_type();

}  // namespace varkel::python
