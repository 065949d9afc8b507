#pragma once
// The owner of a float32 result's memory: a small object of the module's own
// that holds the native vector and lends its bytes through the buffer
// protocol, so that a NumPy array can be made over them without a copy.

#include <vector>

#include "python_bindings/py_ref.h"

namespace varkel::python {

// A new owner of `values` exporting them as writable bytes.
PyRef float_buffer(std::vector<float>&& values);

}  // namespace varkel::python
