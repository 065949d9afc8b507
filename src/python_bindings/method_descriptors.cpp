#include "python_bindings/method_descriptors.h"

#include <array>
#include <cstddef>
#include <stdexcept>
#include <utility>

namespace varkel::python {

namespace {

// One slot per replaced method: the original callable and the definition the
// descriptor points at. Both live as long as the process, like the types.
constexpr std::size_t kSlots = 32;
std::array<PyObject*, kSlots> originals{};
std::array<PyMethodDef, kSlots> definitions{};
std::size_t used = 0;

template <std::size_t N>
PyObject* forward_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  // (self, *args) to the original function.
  const Py_ssize_t count = PyTuple_GET_SIZE(args);
  PyObject* full = PyTuple_New(count + 1);
  if (full == nullptr) return nullptr;
  Py_INCREF(self);
  PyTuple_SET_ITEM(full, 0, self);
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyTuple_GET_ITEM(args, i);
    Py_INCREF(item);
    PyTuple_SET_ITEM(full, i + 1, item);
  }
  PyObject* result = PyObject_Call(originals[N], full, kwargs);
  Py_DECREF(full);
  return result;
}

template <std::size_t... N>
constexpr std::array<PyCFunctionWithKeywords, sizeof...(N)> make_trampolines(std::index_sequence<N...>) {
  return {&forward_call<N>...};
}
constexpr auto trampolines = make_trampolines(std::make_index_sequence<kSlots>{});

}  // namespace

void install_method_descriptors(pybind11::handle cls, std::initializer_list<const char*> names) {
  auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  for (const char* name : names) {
    if (used == kSlots) throw std::logic_error("too many method descriptors");
    pybind11::object method = cls.attr("__dict__")[name];
    // The builtin function inside pybind11's instancemethod.
    pybind11::object function = method.attr("__func__");
    const std::size_t slot = used++;
    originals[slot] = function.release().ptr();
    PyMethodDef& definition = definitions[slot];
    definition.ml_name = name;
    definition.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(trampolines[slot]));
    definition.ml_flags = METH_VARARGS | METH_KEYWORDS;
    // The raw docstring, text signature included (__doc__ would strip it).
    if (!PyCFunction_Check(originals[slot])) throw std::logic_error("not a builtin function");
    definition.ml_doc = reinterpret_cast<PyCFunctionObject*>(originals[slot])->m_ml->ml_doc;
    PyObject* descriptor = PyDescr_NewMethod(type, &definition);
    if (descriptor == nullptr) throw pybind11::error_already_set();
    if (PyObject_SetAttrString(cls.ptr(), name, descriptor) != 0) {
      Py_DECREF(descriptor);
      throw pybind11::error_already_set();
    }
    Py_DECREF(descriptor);
  }
}

}  // namespace varkel::python
