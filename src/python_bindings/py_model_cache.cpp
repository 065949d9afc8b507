// The Model and Cache classes.

#include <fmt/format.h>

#include "python_bindings/arguments.h"
#include "python_bindings/method_descriptors.h"
#include "python_bindings/registration.h"
#include "python_bindings/wrappers.h"

namespace varkel::python {

PyModel::~PyModel() {
  if (!on_owner_thread()) {
    report_foreign_drop();
    (void)model.release();
  }
}

PyCache::~PyCache() {
  if (!on_owner_thread()) {
    report_foreign_drop();
    (void)cache.release();
  }
}

namespace {

uint64_t config_count(const Model& model, const char* key) { return model.config().get_usize(key).value_or(0); }

}  // namespace

void register_model(py::module_& module) {
  py::class_<PyModel>(module, "Model", "Model(model_path)\n--\n\n", py::is_final())
      .def(py::init([](py::object model_path) {
             const std::string path = str_arg(model_path, "model_path");
             return std::make_unique<PyModel>(value_or_raise(Model::load_shared(path), PyExc_RuntimeError));
           }),
           py::arg("model_path"), "__init__(self, model_path)\n--\n\n")
      .def("__repr__", [](const PyModel& self) {
        SharedBorrow borrow(self);
        return fmt::format("Model({} layers, hidden={})", config_count(self.get(), "num_hidden_layers"),
                           config_count(self.get(), "hidden_size"));
      });
}

void register_cache(py::module_& module) {
  auto cache_class = py::class_<PyCache>(module, "Cache", "Cache(model)\n--\n\n", py::is_final())
      .def(py::init([](py::object model) {
             PyModel& source = class_arg<PyModel>(model, "model", "Model");
             SharedBorrow borrow(source);
             return std::make_unique<PyCache>(value_or_raise(Cache::create(source.get().config()), PyExc_RuntimeError));
           }),
           py::arg("model"), "__init__(self, model)\n--\n\n")
      .def_property_readonly("pos", [](const PyCache& self) {
        SharedBorrow borrow(self);
        return static_cast<uint64_t>(self.cache->pos);
      })
      .def(
          "reset",
          [](PyCache& self) {
            ExclusiveBorrow borrow(self);
            self.cache->reset();
          },
          "reset($self)\n--\n\n")
      .def(
          "save",
          [](const PyCache& self, py::object bin_path, py::object json_path) {
            SharedBorrow borrow(self);
            const std::string bin = str_arg(bin_path, "bin_path");
            const std::string json = str_arg(json_path, "json_path");
            auto saved = self.cache->save(bin, json);
            if (!saved) raise_io(saved.error());
          },
          py::arg("bin_path"), py::arg("json_path"), "save($self, bin_path, json_path)\n--\n\n")
      .def_static(
          "load",
          [](py::object bin_path, py::object json_path) {
            const std::string bin = str_arg(bin_path, "bin_path");
            const std::string json = str_arg(json_path, "json_path");
            auto loaded = Cache::load(bin, json);
            if (!loaded) raise_io(loaded.error());
            return std::make_unique<PyCache>(std::move(*loaded));
          },
          py::arg("bin_path"), py::arg("json_path"), "load(bin_path, json_path)\n--\n\n")
      .def("__repr__", [](const PyCache& self) {
        SharedBorrow borrow(self);
        return fmt::format("Cache(pos={})", self.cache->pos);
      });
  install_method_descriptors(cache_class, {"reset", "save"});
  // pybind11 gives every property the docstring ""; this one has none.
  py::setattr(cache_class.attr("pos"), "__doc__", py::none());
}

}  // namespace varkel::python
