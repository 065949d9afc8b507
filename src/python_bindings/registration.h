#pragma once
#include "python_bindings/py_ref.h"

namespace varkel::python {

// Each adds its class or function to the module (raising PythonError on
// failure); module.cpp calls them in the module's registration order.
void register_model(PyObject* module);
void register_engine(PyObject* module);
void register_cache(PyObject* module);
void register_record_engine_telemetry(PyObject* module);
void register_qwen35_moe_quantize(PyObject* module);
void register_hf_repo(PyObject* module);

}  // namespace varkel::python
