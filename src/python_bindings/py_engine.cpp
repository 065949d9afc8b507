// The Engine class.

#include <optional>
#include <span>
#include <vector>

#include <fmt/format.h>

#include "python_bindings/arguments.h"
#include "python_bindings/arrays.h"
#include "python_bindings/entry_points.h"
#include "python_bindings/registration.h"
#include "python_bindings/wrappers.h"

namespace varkel::python {

namespace {

const char* const kIncompatibleShape = "ShapeError/IncompatibleShape: incompatible shapes";

uint64_t config_count(const PyEngine& engine, const char* key) {
  return engine.model->config().get_usize(key).value_or(0);
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
// anywhere leaves the cache and the snapshot as they were. `embeddings` is
// owned here: the signal handlers the pass runs cannot reach it.
PyRef run_pass(PyEngine& self, Cache& cache, const std::vector<float>& embeddings, std::size_t rows) {
  Engine& engine = self.engine.engine();
  value_or_raise(engine.upload_cache(cache), PyExc_RuntimeError);
  std::vector<float> logits = value_or_raise(engine.forward_hidden(embeddings, check_signals), PyExc_RuntimeError);
  value_or_raise(engine.download_cache(cache), PyExc_RuntimeError);
  self.last_telemetry = engine.telemetry();
  const std::size_t vocab = vocab_size(self);
  if (logits.size() != rows * vocab) raise_runtime(fmt::format("shape error: {}", kIncompatibleShape));
  return owned_float_array(std::move(logits), rows, vocab);
}

PyRef new_engine(PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"model", "pipeline_mode", "k", nullptr};
  PyObject* model = nullptr;
  PyObject* pipeline_mode = nullptr;
  PyObject* k = nullptr;
  match_arguments(args, kwargs, "O|OO:Engine", keywords, &model, &pipeline_mode, &k);
  const PyModel& source = class_arg<PyModel>(model, "model", "Model");
  SharedBorrow borrow(source);
  const std::string mode = pipeline_mode == nullptr ? "Qwen35MoEFusedExp2" : str_arg(pipeline_mode, "pipeline_mode");
  const uint64_t experts = k == nullptr ? 0 : count_arg(k, "k");
  DynEngine engine = value_or_raise(DynEngine::create(mode, source.model, experts), PyExc_ValueError);
  return box(std::make_unique<PyEngine>(std::move(engine), source.model));
}

PyRef forward(PyObject* self_object, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"input_ids", "cache", nullptr};
  PyObject* input_ids = nullptr;
  PyObject* cache_object = nullptr;
  match_arguments(args, kwargs, "OO:forward", keywords, &input_ids, &cache_object);
  PyEngine& self = unbox<PyEngine>(self_object);
  ExclusiveBorrow engine_borrow(self);
  const ArrayView ids = ArrayView::int64_vector(input_ids, "input_ids");
  PyCache& cache = class_arg<PyCache>(cache_object, "cache", "Cache");
  ExclusiveBorrow cache_borrow(cache);

  const std::vector<int64_t> all_ids = ids.int64s();
  const std::size_t n = all_ids.size();
  // A sequence longer than the cache holds is the whole sequence so far: its
  // first `pos` ids are already in the cache.
  const std::size_t start = cache.cache.pos < n ? cache.cache.pos : 0;
  const std::size_t rows = n - start;
  std::vector<float> embeddings(rows * hidden_size(self), 0.0f);
  value_or_raise(self.engine->embed_lookup(std::span(all_ids).subspan(start), embeddings), PyExc_RuntimeError);
  return run_pass(self, cache.cache, embeddings, rows);
}

PyRef forward_hidden(PyObject* self_object, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"embeddings", "cache", nullptr};
  PyObject* embeddings_object = nullptr;
  PyObject* cache_object = nullptr;
  match_arguments(args, kwargs, "OO:forward_hidden", keywords, &embeddings_object, &cache_object);
  PyEngine& self = unbox<PyEngine>(self_object);
  ExclusiveBorrow engine_borrow(self);
  // The array's export ends before the pass, the cache's borrow does not.
  std::optional<ExclusiveBorrow> cache_borrow;
  PyCache* cache = nullptr;
  std::vector<float> embeddings;
  std::size_t rows = 0;
  {
    const ArrayView view = ArrayView::float32_matrix(embeddings_object, "embeddings");
    cache = &class_arg<PyCache>(cache_object, "cache", "Cache");
    cache_borrow.emplace(*cache);
    view.require_contiguous();
    if (view.shape(1) != hidden_size(self)) raise_runtime(fmt::format("shape error: {}", kIncompatibleShape));
    rows = view.shape(0);
    // A copy in logical order: a signal handler run between layers may
    // resize or rewrite the caller's array.
    embeddings = view.float_rows();
  }
  return run_pass(self, cache->cache, embeddings, rows);
}

PyRef embed_lookup(PyObject* self_object, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"input_ids", nullptr};
  PyObject* input_ids = nullptr;
  match_arguments(args, kwargs, "O:embed_lookup", keywords, &input_ids);
  const PyEngine& self = unbox<PyEngine>(self_object);
  SharedBorrow borrow(self);
  const ArrayView ids = ArrayView::int64_vector(input_ids, "input_ids");
  const std::vector<int64_t> id_values = ids.int64s();
  const std::size_t n = id_values.size();
  const std::size_t hidden = hidden_size(self);
  std::vector<float> out(n * hidden, 0.0f);
  value_or_raise(self.engine->embed_lookup(id_values, out), PyExc_RuntimeError);
  return owned_float_array(std::move(out), n, hidden);
}

PyRef upload_cache(PyObject* self_object, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"cache", nullptr};
  PyObject* cache_object = nullptr;
  match_arguments(args, kwargs, "O:upload_cache", keywords, &cache_object);
  PyEngine& self = unbox<PyEngine>(self_object);
  SharedBorrow borrow(self);
  const PyCache& cache = class_arg<PyCache>(cache_object, "cache", "Cache");
  SharedBorrow cache_borrow(cache);
  value_or_raise(self.engine.engine().upload_cache(cache.cache), PyExc_RuntimeError);
  return none();
}

PyRef download_cache(PyObject* self_object, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"cache", nullptr};
  PyObject* cache_object = nullptr;
  match_arguments(args, kwargs, "O:download_cache", keywords, &cache_object);
  PyEngine& self = unbox<PyEngine>(self_object);
  SharedBorrow borrow(self);
  PyCache& cache = class_arg<PyCache>(cache_object, "cache", "Cache");
  ExclusiveBorrow cache_borrow(cache);
  value_or_raise(self.engine.engine().download_cache(cache.cache), PyExc_RuntimeError);
  return none();
}

PyRef telemetry_dict(const TelemetryMap& telemetry) {
  PyRef out = checked(PyDict_New());
  for (const auto& [key, value] : telemetry) {
    PyRef item;
    if (const double* ms = std::get_if<double>(&value.value)) {
      item = checked(PyFloat_FromDouble(*ms));
    } else {
      const auto& values = std::get<std::vector<double>>(value.value);
      item = checked(PyList_New(static_cast<Py_ssize_t>(values.size())));
      for (std::size_t i = 0; i < values.size(); ++i) {
        if (PyList_SetItem(item.get(), static_cast<Py_ssize_t>(i), checked(PyFloat_FromDouble(values[i])).release()) != 0) {
          throw PythonError();
        }
      }
    }
    if (PyDict_SetItem(out.get(), str_value(key).get(), item.get()) != 0) throw PythonError();
  }
  return out;
}

PyRef telemetry(PyObject* self_object) {
  const PyEngine& self = unbox<PyEngine>(self_object);
  SharedBorrow borrow(self);
  return telemetry_dict(self.last_telemetry);
}

PyRef engine_repr(PyObject* self_object) {
  const PyEngine& self = unbox<PyEngine>(self_object);
  SharedBorrow borrow(self);
  return str_value(fmt::format("Engine(loaded: {} layers, hidden={})", config_count(self, "num_hidden_layers"),
                               config_count(self, "hidden_size")));
}

constexpr int kArguments = METH_VARARGS | METH_KEYWORDS;

PyMethodDef engine_methods[] = {
    {"embed_lookup", as_cfunction(&method_entry<embed_lookup>), kArguments,
     "embed_lookup($self, input_ids)\n--\n\nConvert token IDs to embeddings. Returns [n, hidden_dim] float32 array."},
    {"forward_hidden", as_cfunction(&method_entry<forward_hidden>), kArguments,
     "forward_hidden($self, embeddings, cache)\n--\n\nProcess pre-computed embeddings through the LM. Returns "
     "[n, vocab_size] logits."},
    {"forward", as_cfunction(&method_entry<forward>), kArguments, "forward($self, input_ids, cache)\n--\n\n"},
    {"upload_cache", as_cfunction(&method_entry<upload_cache>), kArguments,
     "upload_cache($self, cache)\n--\n\nExpose upload/download for callers that manage cache persistence."},
    {"download_cache", as_cfunction(&method_entry<download_cache>), kArguments, "download_cache($self, cache)\n--\n\n"},
    {"telemetry", as_cfunction(&no_args_entry<telemetry>), METH_NOARGS,
     "telemetry($self)\n--\n\nEngine-level telemetry (only populated when record_engine_telemetry(true))."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot engine_slots[] = {
    {Py_tp_doc, const_cast<char*>("Engine(model, pipeline_mode=\"Qwen35MoEFusedExp2\", k=0)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(&new_entry<new_engine>)},
    {Py_tp_repr, reinterpret_cast<void*>(&repr_entry<engine_repr>)},
    {Py_tp_methods, engine_methods},
    {Py_tp_dealloc, reinterpret_cast<void*>(&boxed_dealloc<PyEngine>)},
    {0, nullptr},
};
PyType_Spec engine_spec = {"_varkel.Engine", sizeof(Boxed<PyEngine>), 0, Py_TPFLAGS_DEFAULT, engine_slots};

}  // namespace

void register_engine(PyObject* module) { add_boxed_type<PyEngine>(module, engine_spec); }

}  // namespace varkel::python
