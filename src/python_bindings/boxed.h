#pragma once
// The layout of the module's class instances: the object header and one
// owned native value, created whole by the type's constructor. An instance
// made any other way does not exist: the constructors are the types' only
// way in (`Class.__new__(Class)` needs the constructor's arguments).

#include <cstring>
#include <memory>

#include "python_bindings/confined.h"
#include "python_bindings/errors.h"

namespace varkel::python {

template <class Native>
struct Boxed {
  PyObject_HEAD
  Native* native;  // never null once the instance is handed out
};

// The type object of each boxed native value, set when the module makes it.
template <class Native>
inline PyTypeObject* bound_type = nullptr;

// A new instance of Native's type owning `native`.
template <class Native>
PyRef box(std::unique_ptr<Native> native) {
  PyTypeObject* type = bound_type<Native>;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyRef self = checked(alloc(type, 0));
  reinterpret_cast<Boxed<Native>*>(self.get())->native = native.release();
  return self;
}

// The native value behind an instance of Native's type (unchecked).
template <class Native>
Native& unbox(PyObject* self) {
  return *reinterpret_cast<Boxed<Native>*>(self)->native;
}

// Frees the native value on its own thread; on any other thread reports it and
// leaks the value rather than freeing it where it was never meant to be seen.
template <class Native>
void boxed_dealloc(PyObject* self) {
  auto* boxed = reinterpret_cast<Boxed<Native>*>(self);
  if (boxed->native != nullptr) {
    if (boxed->native->on_owner_thread()) {
      delete boxed->native;
    } else {
      boxed->native->report_foreign_drop();
    }
  }
  PyTypeObject* type = Py_TYPE(self);
  auto free_memory = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_memory(self);
  Py_DECREF(type);
}

// Makes Native's type from `spec` once (its slots must name boxed_dealloc<Native>
// as the deallocator) and adds it to the module under its short name.
template <class Native>
void add_boxed_type(PyObject* module, PyType_Spec& spec) {
  if (bound_type<Native> == nullptr) {
    bound_type<Native> = reinterpret_cast<PyTypeObject*>(checked(PyType_FromSpec(&spec)).release());
  }
  const char* dot = std::strrchr(spec.name, '.');
  if (PyModule_AddObjectRef(module, dot != nullptr ? dot + 1 : spec.name,
                            reinterpret_cast<PyObject*>(bound_type<Native>)) != 0) {
    throw PythonError();
  }
}

}  // namespace varkel::python
