#pragma once
// A converted synthetic checkpoint and what the tests expect of it.

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "dtype/dtype.h"
#include "quantize/quant_result.h"
#include "quantize/quant_scheme.h"
#include "quantize/synthetic_checkpoint.h"

namespace varkel::quantize_test {

// The engine name a checkpoint name converts to.
std::string engine_name(const std::string& checkpoint_name);

// The storage type each scheme gives a non-expert source tensor.
DType expected_type(const SourceTensor& tensor, bool bq4);

// Norm weights that "3.6" stores as w - 1.
bool shifted_norm(const std::string& checkpoint_name);

bool is_expert_or_vision(const std::string& checkpoint_name);

struct Conversion {
  QuantResult<void> result;
  std::string log;  // standard error of the run
};

// Runs the driver with `scheme` on a local `source`, capturing standard error.
Conversion convert(const std::string& source, const std::filesystem::path& out, const QuantScheme& scheme);

nlohmann::json read_json(const std::filesystem::path& path);

}  // namespace varkel::quantize_test
