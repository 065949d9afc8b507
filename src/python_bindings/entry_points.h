#pragma once
// Adapters from the interpreter's calling conventions to bodies that return a
// new reference and report failures by throwing (see errors.h).

#include "python_bindings/errors.h"

namespace varkel::python {

using MethodBody = PyRef (*)(PyObject* self, PyObject* args, PyObject* kwargs);
using NoArgsBody = PyRef (*)(PyObject* self);
using NewBody = PyRef (*)(PyObject* args, PyObject* kwargs);

template <MethodBody Body>
PyObject* method_entry(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] { return Body(self, args, kwargs); });
}

template <NoArgsBody Body>
PyObject* no_args_entry(PyObject* self, PyObject*) noexcept {
  return guarded([&] { return Body(self); });
}

template <NoArgsBody Body>
PyObject* repr_entry(PyObject* self) noexcept {
  return guarded([&] { return Body(self); });
}

template <NoArgsBody Body>
PyObject* getter_entry(PyObject* self, void*) noexcept {
  return guarded([&] { return Body(self); });
}

// The type's constructor: the whole construction happens here, so there is no
// instance that skipped it.
template <NewBody Body>
PyObject* new_entry(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] { return Body(args, kwargs); });
}

// The PyMethodDef form of a function pointer.
template <class Function>
PyCFunction as_cfunction(Function* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

inline PyRef none() { return PyRef::borrow(Py_None); }

}  // namespace varkel::python
