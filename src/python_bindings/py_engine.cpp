// The Engine class.

#include <algorithm>
#include <cstring>

#include <fmt/format.h>

#include "python_bindings/arguments.h"
#include "python_bindings/method_descriptors.h"
#include "python_bindings/registration.h"
#include "python_bindings/wrappers.h"

namespace varkel::python {

PyEngine::PyEngine(DynEngine engine, std::shared_ptr<const Model> model)
    : Confined("_varkel::python_bindings::Engine"),
      native(std::make_unique<Native>(Native{std::move(engine), std::move(model), {}})) {}

PyEngine::~PyEngine() {
  if (!on_owner_thread()) {
    report_foreign_drop();
    (void)native.release();
  }
}

namespace {

const char* const kIncompatibleShape = "ShapeError/IncompatibleShape: incompatible shapes";

uint64_t config_count(const PyEngine& engine, const char* key) {
  return engine.native->model->config().get_usize(key).value_or(0);
}

std::size_t hidden_size(const PyEngine& engine) { return config_count(engine, "hidden_size"); }
std::size_t vocab_size(const PyEngine& engine) { return config_count(engine, "vocab_size"); }

// Runs pending Python signal handlers; an exception they raise (KeyboardInterrupt
// from Ctrl-C, or anything else) is discarded and stops the pass.
bool check_signals() {
  if (PyErr_CheckSignals() != 0) {
    PyErr_Clear();
    return true;
  }
  return false;
}

// Upload, pass, and on success download and snapshot the telemetry. A failure
// anywhere leaves the cache and the snapshot as they were.
py::array_t<float> run_pass(PyEngine& self, Cache& cache, std::span<const float> embeddings, std::size_t rows) {
  Engine& engine = self.native->engine.engine();
  value_or_raise(engine.upload_cache(cache), PyExc_RuntimeError);
  std::vector<float> logits = value_or_raise(engine.forward_hidden(embeddings, check_signals), PyExc_RuntimeError);
  value_or_raise(engine.download_cache(cache), PyExc_RuntimeError);
  self.native->last_telemetry = engine.telemetry();
  const std::size_t vocab = vocab_size(self);
  if (logits.size() != rows * vocab) raise_runtime(fmt::format("shape error: {}", kIncompatibleShape));
  return owned_float_array(std::move(logits), rows, vocab);
}

py::array_t<float> forward(PyEngine& self, py::handle input_ids, py::handle cache_object) {
  ExclusiveBorrow engine_borrow(self);
  const py::array ids = int64_vector_arg(input_ids, "input_ids");
  PyCache& cache = class_arg<PyCache>(cache_object, "cache", "Cache");
  ExclusiveBorrow cache_borrow(cache);
  require_contiguous(ids);

  const auto* all_ids = static_cast<const int64_t*>(ids.data());
  const std::size_t n = static_cast<std::size_t>(ids.size());
  // A sequence longer than the cache holds is the whole sequence so far: its
  // first `pos` ids are already in the cache.
  const std::size_t start = cache.cache->pos < n ? cache.cache->pos : 0;
  const std::size_t rows = n - start;
  const std::size_t hidden = hidden_size(self);
  std::vector<float> embeddings(rows * hidden, 0.0f);
  value_or_raise(self.native->engine->embed_lookup(std::span(all_ids + start, rows), embeddings),
                 PyExc_RuntimeError);
  return run_pass(self, *cache.cache, embeddings, rows);
}

py::array_t<float> forward_hidden(PyEngine& self, py::handle embeddings_object, py::handle cache_object) {
  ExclusiveBorrow engine_borrow(self);
  py::array embeddings = float32_matrix_arg(embeddings_object, "embeddings");
  PyCache& cache = class_arg<PyCache>(cache_object, "cache", "Cache");
  ExclusiveBorrow cache_borrow(cache);
  require_contiguous(embeddings);

  const std::size_t rows = static_cast<std::size_t>(embeddings.shape(0));
  if (static_cast<std::size_t>(embeddings.shape(1)) != hidden_size(self)) {
    raise_runtime(fmt::format("shape error: {}", kIncompatibleShape));
  }
  // A Fortran-ordered matrix is read in its logical order, not its memory order.
  if (!(embeddings.flags() & py::array::c_style)) {
    embeddings = py::module_::import("numpy").attr("ascontiguousarray")(embeddings);
  }
  const auto* data = static_cast<const float*>(embeddings.data());
  return run_pass(self, *cache.cache, std::span(data, rows * hidden_size(self)), rows);
}

py::array_t<float> embed_lookup(const PyEngine& self, py::handle input_ids) {
  SharedBorrow borrow(self);
  const py::array ids = int64_vector_arg(input_ids, "input_ids");
  require_contiguous(ids);
  const std::size_t n = static_cast<std::size_t>(ids.size());
  const std::size_t hidden = hidden_size(self);
  std::vector<float> out(n * hidden, 0.0f);
  value_or_raise(self.native->engine->embed_lookup(std::span(static_cast<const int64_t*>(ids.data()), n), out),
                 PyExc_RuntimeError);
  return owned_float_array(std::move(out), n, hidden);
}

py::dict telemetry_dict(const TelemetryMap& telemetry) {
  py::dict out;
  for (const auto& [key, value] : telemetry) {
    if (const double* ms = std::get_if<double>(&value.value)) {
      out[py::str(key)] = py::float_(*ms);
    } else {
      py::list values;
      for (double v : std::get<std::vector<double>>(value.value)) values.append(py::float_(v));
      out[py::str(key)] = values;
    }
  }
  return out;
}

}  // namespace

void register_engine(py::module_& module) {
  auto engine_class = py::class_<PyEngine>(module, "Engine", "Engine(model, pipeline_mode=\"Qwen35MoEFusedExp2\", k=0)\n--\n\n",
                                         py::is_final())
      .def(py::init([](py::object model, py::object pipeline_mode, py::object k) {
             PyModel& source = class_arg<PyModel>(model, "model", "Model");
             SharedBorrow borrow(source);
             const std::string mode = str_arg(pipeline_mode, "pipeline_mode");
             const uint64_t experts = count_arg(k, "k");
             std::shared_ptr<const Model> handle = *source.model;
             DynEngine engine = value_or_raise(DynEngine::create(mode, handle, experts), PyExc_ValueError);
             return std::make_unique<PyEngine>(std::move(engine), std::move(handle));
           }),
           py::arg("model"), py::arg("pipeline_mode") = "Qwen35MoEFusedExp2", py::arg("k") = 0,
           "__init__(self, model, pipeline_mode=\"Qwen35MoEFusedExp2\", k=0)\n--\n\n")
      .def("embed_lookup", &embed_lookup, py::arg("input_ids"),
           "embed_lookup($self, input_ids)\n--\n\nConvert token IDs to embeddings. Returns [n, hidden_dim] float32 "
           "array.")
      .def("forward_hidden", &forward_hidden, py::arg("embeddings"), py::arg("cache"),
           "forward_hidden($self, embeddings, cache)\n--\n\nProcess pre-computed embeddings through the LM. Returns "
           "[n, vocab_size] logits.")
      .def("forward", &forward, py::arg("input_ids"), py::arg("cache"), "forward($self, input_ids, cache)\n--\n\n")
      .def(
          "upload_cache",
          [](const PyEngine& self, py::handle cache_object) {
            SharedBorrow borrow(self);
            PyCache& cache = class_arg<PyCache>(cache_object, "cache", "Cache");
            SharedBorrow cache_borrow(cache);
            value_or_raise(self.native->engine.engine().upload_cache(*cache.cache), PyExc_RuntimeError);
          },
          py::arg("cache"), "upload_cache($self, cache)\n--\n\nExpose upload/download for callers that manage cache persistence.")
      .def(
          "download_cache",
          [](const PyEngine& self, py::handle cache_object) {
            SharedBorrow borrow(self);
            PyCache& cache = class_arg<PyCache>(cache_object, "cache", "Cache");
            ExclusiveBorrow cache_borrow(cache);
            value_or_raise(self.native->engine.engine().download_cache(*cache.cache), PyExc_RuntimeError);
          },
          py::arg("cache"), "download_cache($self, cache)\n--\n\n")
      .def(
          "telemetry",
          [](const PyEngine& self) {
            SharedBorrow borrow(self);
            return telemetry_dict(self.native->last_telemetry);
          },
          "telemetry($self)\n--\n\nEngine-level telemetry (only populated when record_engine_telemetry(true)).")
      .def("__repr__", [](const PyEngine& self) {
        SharedBorrow borrow(self);
        return fmt::format("Engine(loaded: {} layers, hidden={})", config_count(self, "num_hidden_layers"),
                           config_count(self, "hidden_size"));
      });
  install_method_descriptors(engine_class, {"embed_lookup", "forward_hidden", "forward", "upload_cache",
                                            "download_cache", "telemetry"});
}

}  // namespace varkel::python
