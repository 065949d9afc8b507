#pragma once
#include <pybind11/pybind11.h>

namespace varkel::python {

// Each adds its class or function to the module; module.cpp calls them in the
// module's registration order.
void register_model(pybind11::module_& module);
void register_engine(pybind11::module_& module);
void register_cache(pybind11::module_& module);
void register_record_engine_telemetry(pybind11::module_& module);
void register_qwen35_moe_quantize(pybind11::module_& module);
void register_hf_repo(pybind11::module_& module);

}  // namespace varkel::python
