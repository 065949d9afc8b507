#pragma once
// pybind11 binds methods as instancemethod objects over builtin functions whose
// __self__ is set, so inspect treats the "$self" of their text signatures as
// already bound and drops it. Real method descriptors, as the interpreter makes
// for its own types, keep "$self" and let inspect.signature work on methods.

#include <pybind11/pybind11.h>

namespace varkel::python {

// Replaces each named pybind11 method of `cls` by a method descriptor whose
// docstring (with its text signature) is that method's own, forwarding every
// call to the original.
void install_method_descriptors(pybind11::handle cls, std::initializer_list<const char*> names);

}  // namespace varkel::python
