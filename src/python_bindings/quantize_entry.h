#pragma once
// The conversion behind qwen35_moe_quantize, once its arguments and the
// checkpoint's "config.json" have been checked.

#include <filesystem>
#include <string>

#include "quantize/quant_result.h"
#include "quantize/run.h"

namespace varkel::python {

// Builds the scheme ("bq4" or "int4") from `model_dir` and runs the driver on
// `model_path` as the caller gave it.
QuantResult<void> run_quantizer(const std::string& model_path, const std::filesystem::path& model_dir,
                                const std::string& output_dir, const std::string& scheme, bool add_one_to_norms,
                                const InterruptCheck& interrupted);

}  // namespace varkel::python
