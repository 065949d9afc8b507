// The _varkel extension module. Importing it registers the classes and
// functions and does nothing else: no device, thread pool, file or network.

#include <pybind11/pybind11.h>

#include "python_bindings/registration.h"

PYBIND11_MODULE(_varkel, module) {
  // Docstrings carry their own text signatures ("name($self, ...)\n--\n\n"),
  // so inspect.signature works; pybind11's generated ones would shadow them.
  pybind11::options options;
  options.disable_function_signatures();
  module.doc() = "";

  using namespace varkel::python;
  register_model(module);
  register_engine(module);
  register_cache(module);
  register_record_engine_telemetry(module);
  register_qwen35_moe_quantize(module);
  register_hf_repo(module);
}
