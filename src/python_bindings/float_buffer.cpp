#include "python_bindings/float_buffer.h"

#include "python_bindings/errors.h"

namespace varkel::python {

namespace {

struct FloatBuffer {
  PyObject_HEAD
  std::vector<float>* values;
};

int get_buffer(PyObject* self, Py_buffer* view, int flags) {
  std::vector<float>& values = *reinterpret_cast<FloatBuffer*>(self)->values;
  // An empty vector may have no storage; the view still needs an address.
  static float empty = 0.0f;
  void* data = values.empty() ? &empty : values.data();
  return PyBuffer_FillInfo(view, self, data, static_cast<Py_ssize_t>(values.size() * sizeof(float)), 0, flags);
}

void dealloc(PyObject* self) {
  delete reinterpret_cast<FloatBuffer*>(self)->values;
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

PyType_Slot slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(&get_buffer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)},
    {0, nullptr},
};

PyType_Spec spec = {"_varkel.FloatBuffer", sizeof(FloatBuffer), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};

PyTypeObject* float_buffer_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) type = reinterpret_cast<PyTypeObject*>(checked(PyType_FromSpec(&spec)).release());
  return type;
}

}  // namespace

PyRef float_buffer(std::vector<float>&& values) {
  PyTypeObject* type = float_buffer_type();
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyRef self = checked(alloc(type, 0));
  reinterpret_cast<FloatBuffer*>(self.get())->values = new std::vector<float>(std::move(values));
  return self;
}

}  // namespace varkel::python
