// The module functions record_engine_telemetry and qwen35_moe_quantize.

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "engine/telemetry.h"
#include "hf_util/hf_repo.h"
#include "model/config/json_text.h"
#include "model/io/text_file.h"
#include "python_bindings/arguments.h"
#include "python_bindings/entry_points.h"
#include "python_bindings/pending_signal.h"
#include "python_bindings/quantize_entry.h"
#include "python_bindings/registration.h"

namespace varkel::python {

namespace {

constexpr std::string_view kArchitecture = "Qwen3_5MoeForConditionalGeneration";

// The first top-level "architectures" entry when it is a string; the family's
// own name in every other case.
std::string checkpoint_architecture(const nlohmann::json& config) {
  if (config.is_object()) {
    const auto it = config.find("architectures");
    if (it != config.end() && it->is_array() && !it->empty() && it->front().is_string()) {
      return it->front().get<std::string>();
    }
  }
  return std::string(kArchitecture);
}

// Where "config.json" lives: the directory itself, or the hub cache after
// fetching it there.
std::filesystem::path locate_model_dir(const std::string& model_path) {
  std::error_code error;
  if (std::filesystem::is_directory(model_path, error)) return model_path;
  auto repo = HfRepo::from_hf(model_path);
  if (!repo) raise_runtime(repo.error());
  auto fetched = repo->ensure("config.json", pending_signal);
  if (!fetched) raise_io(fetched.error());
  return repo->path();
}

PyRef quantize(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"model_path", "output_dir", "version", "scheme", nullptr};
  PyObject* model_path_object = nullptr;
  PyObject* output_dir_object = nullptr;
  PyObject* version_object = nullptr;
  PyObject* scheme_object = nullptr;
  match_arguments(args, kwargs, "OO|$OO:qwen35_moe_quantize", keywords, &model_path_object, &output_dir_object,
                  &version_object, &scheme_object);
  if (version_object == nullptr) {
    raise_type("qwen35_moe_quantize() missing required keyword-only argument: 'version'");
  }
  const std::string model_path = str_arg(model_path_object, "model_path");
  const std::string output_dir = str_arg(output_dir_object, "output_dir");
  const std::string version = str_arg(version_object, "version");
  const std::string scheme = scheme_object == nullptr ? "bq4" : str_arg(scheme_object, "scheme");

  if (version != "3.5" && version != "3.6") {
    raise_value(fmt::format("Unknown version: {}. Expected '3.5' or '3.6'.", version));
  }
  const bool add_one_to_norms = version == "3.6";

  const std::filesystem::path model_dir = locate_model_dir(model_path);
  auto text = read_text_file(model_dir / "config.json");
  if (!text) raise_io(text.error().to_string());
  const auto config = parse_json(*text);
  if (!config) raise_runtime(config.error());
  const std::string architecture = checkpoint_architecture(*config);
  if (architecture != kArchitecture) raise_value(fmt::format("Unknown architecture: {}", architecture));
  if (scheme != "bq4" && scheme != "int4") {
    raise_value(fmt::format("Unknown scheme: {}. Expected 'bq4' or 'int4'.", scheme));
  }

  auto converted = run_quantizer(model_path, model_dir, output_dir, scheme, add_one_to_norms, pending_signal);
  if (!converted) raise_runtime(converted.error());
  return none();
}

PyRef record_engine_telemetry(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* const keywords[] = {"on", nullptr};
  PyObject* on = nullptr;
  match_arguments(args, kwargs, "O:record_engine_telemetry", keywords, &on);
  set_record_telemetry(flag_arg(on, "on"));
  return none();
}

// Module functions: built-in functions bound to the module.
PyMethodDef record_engine_telemetry_def = {
    "record_engine_telemetry", as_cfunction(&method_entry<record_engine_telemetry>), METH_VARARGS | METH_KEYWORDS,
    "record_engine_telemetry(on)\n--\n\nEnable or disable engine-level telemetry recording globally."};

PyMethodDef quantize_def = {
    "qwen35_moe_quantize", as_cfunction(&method_entry<quantize>), METH_VARARGS | METH_KEYWORDS,
    "qwen35_moe_quantize(model_path, output_dir, *, version, scheme=\"bq4\")\n--\n\n"
    "Run the full quantization pipeline: a model hub's safetensors checkpoint in, the BQ4 format out.\n\n"
    "Reads the bf16 safetensors, classifies each weight tensor with the BQ4 rules, quantizes, and writes\n"
    "model_weights.bin, model_weights.json and packed_experts/layer_XX.bin."};

void add_function(PyObject* module, PyMethodDef& definition) {
  PyRef name = checked(PyModule_GetNameObject(module));
  PyRef function = checked(PyCFunction_NewEx(&definition, module, name.get()));
  if (PyModule_AddObjectRef(module, definition.ml_name, function.get()) != 0) throw PythonError();
}

}  // namespace

void register_record_engine_telemetry(PyObject* module) { add_function(module, record_engine_telemetry_def); }

void register_qwen35_moe_quantize(PyObject* module) { add_function(module, quantize_def); }

}  // namespace varkel::python
