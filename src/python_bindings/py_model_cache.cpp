// The Model and Cache classes.

#include <fmt/format.h>

#include "python_bindings/arguments.h"
#include "python_bindings/entry_points.h"
#include "python_bindings/registration.h"
#include "python_bindings/wrappers.h"

namespace varkel::python {

namespace {

uint64_t config_count(const Model& model, const char* key) { return model.config().get_usize(key).value_or(0); }

PyRef new_model(PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"model_path", nullptr};
  PyObject* model_path = nullptr;
  match_arguments(args, kwargs, "O:Model", keywords, &model_path);
  const std::string path = str_arg(model_path, "model_path");
  return box(std::make_unique<PyModel>(value_or_raise(Model::load_shared(path), PyExc_RuntimeError)));
}

PyRef model_repr(PyObject* self) {
  const PyModel& model = unbox<PyModel>(self);
  SharedBorrow borrow(model);
  return str_value(fmt::format("Model({} layers, hidden={})", config_count(model.get(), "num_hidden_layers"),
                               config_count(model.get(), "hidden_size")));
}

PyType_Slot model_slots[] = {
    {Py_tp_doc, const_cast<char*>("Model(model_path)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(&new_entry<new_model>)},
    {Py_tp_repr, reinterpret_cast<void*>(&repr_entry<model_repr>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&boxed_dealloc<PyModel>)},
    {0, nullptr},
};
PyType_Spec model_spec = {"_varkel.Model", sizeof(Boxed<PyModel>), 0, Py_TPFLAGS_DEFAULT, model_slots};

PyRef new_cache(PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"model", nullptr};
  PyObject* model = nullptr;
  match_arguments(args, kwargs, "O:Cache", keywords, &model);
  const PyModel& source = class_arg<PyModel>(model, "model", "Model");
  SharedBorrow borrow(source);
  return box(std::make_unique<PyCache>(value_or_raise(Cache::create(source.get().config()), PyExc_RuntimeError)));
}

PyRef cache_repr(PyObject* self) {
  const PyCache& cache = unbox<PyCache>(self);
  SharedBorrow borrow(cache);
  return str_value(fmt::format("Cache(pos={})", cache.cache.pos));
}

PyRef cache_pos(PyObject* self) {
  const PyCache& cache = unbox<PyCache>(self);
  SharedBorrow borrow(cache);
  return checked(PyLong_FromUnsignedLongLong(cache.cache.pos));
}

PyRef cache_reset(PyObject* self) {
  PyCache& cache = unbox<PyCache>(self);
  ExclusiveBorrow borrow(cache);
  cache.cache.reset();
  return none();
}

PyRef cache_save(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"bin_path", "json_path", nullptr};
  PyObject* bin_path = nullptr;
  PyObject* json_path = nullptr;
  match_arguments(args, kwargs, "OO:save", keywords, &bin_path, &json_path);
  const PyCache& cache = unbox<PyCache>(self);
  SharedBorrow borrow(cache);
  const std::string bin = str_arg(bin_path, "bin_path");
  const std::string json = str_arg(json_path, "json_path");
  auto saved = cache.cache.save(bin, json);
  if (!saved) raise_io(saved.error());
  return none();
}

PyRef cache_load(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"bin_path", "json_path", nullptr};
  PyObject* bin_path = nullptr;
  PyObject* json_path = nullptr;
  match_arguments(args, kwargs, "OO:load", keywords, &bin_path, &json_path);
  const std::string bin = str_arg(bin_path, "bin_path");
  const std::string json = str_arg(json_path, "json_path");
  auto loaded = Cache::load(bin, json);
  if (!loaded) raise_io(loaded.error());
  return box(std::make_unique<PyCache>(std::move(*loaded)));
}

PyMethodDef cache_methods[] = {
    {"reset", as_cfunction(&no_args_entry<cache_reset>), METH_NOARGS, "reset($self)\n--\n\n"},
    {"save", as_cfunction(&method_entry<cache_save>), METH_VARARGS | METH_KEYWORDS,
     "save($self, bin_path, json_path)\n--\n\n"},
    {"load", as_cfunction(&method_entry<cache_load>), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "load(bin_path, json_path)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef cache_getters[] = {
    {"pos", &getter_entry<cache_pos>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot cache_slots[] = {
    {Py_tp_doc, const_cast<char*>("Cache(model)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(&new_entry<new_cache>)},
    {Py_tp_repr, reinterpret_cast<void*>(&repr_entry<cache_repr>)},
    {Py_tp_methods, cache_methods},
    {Py_tp_getset, cache_getters},
    {Py_tp_dealloc, reinterpret_cast<void*>(&boxed_dealloc<PyCache>)},
    {0, nullptr},
};
PyType_Spec cache_spec = {"_varkel.Cache", sizeof(Boxed<PyCache>), 0, Py_TPFLAGS_DEFAULT, cache_slots};

}  // namespace

void register_model(PyObject* module) { add_boxed_type<PyModel>(module, model_spec); }

void register_cache(PyObject* module) { add_boxed_type<PyCache>(module, cache_spec); }

}  // namespace varkel::python
