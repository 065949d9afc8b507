// The _varkel extension module. Importing it registers the classes and
// functions and does nothing else: no device, thread pool, file or network,
// and not even NumPy.

#include "python_bindings/errors.h"
#include "python_bindings/registration.h"

namespace {

PyModuleDef module_definition = {PyModuleDef_HEAD_INIT, "_varkel", "", -1, nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__varkel() {
  using namespace varkel::python;
  return guarded([] {
    PyRef module = checked(PyModule_Create(&module_definition));
    register_model(module.get());
    register_engine(module.get());
    register_cache(module.get());
    register_record_engine_telemetry(module.get());
    register_qwen35_moe_quantize(module.get());
    register_hf_repo(module.get());
    return module;
  });
}
