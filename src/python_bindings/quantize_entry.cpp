#include "python_bindings/quantize_entry.h"

#include "quantize/qwen35_moe/bq4/bq4_scheme.h"
#include "quantize/qwen35_moe/int4/int4_scheme.h"

namespace varkel::python {

namespace {

template <class Scheme>
QuantResult<void> convert(const std::string& model_path, const std::filesystem::path& model_dir,
                          const std::string& output_dir, bool add_one_to_norms, const InterruptCheck& interrupted) {
  auto scheme = Scheme::create(model_dir, add_one_to_norms);
  if (!scheme) return std::unexpected(scheme.error());
  return run(model_path, output_dir, *scheme, interrupted);
}

}  // namespace

QuantResult<void> run_quantizer(const std::string& model_path, const std::filesystem::path& model_dir,
                                const std::string& output_dir, const std::string& scheme, bool add_one_to_norms,
                                const InterruptCheck& interrupted) {
  if (scheme == "int4") return convert<Int4Scheme>(model_path, model_dir, output_dir, add_one_to_norms, interrupted);
  return convert<BQ4Scheme>(model_path, model_dir, output_dir, add_one_to_norms, interrupted);
}

}  // namespace varkel::python
