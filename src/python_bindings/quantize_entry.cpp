#include "python_bindings/quantize_entry.h"

namespace varkel::python {

QuantResult<void> run_quantizer(const std::string&, const std::filesystem::path&, const std::string&,
                                const std::string&, bool, const InterruptCheck&) {
  return quant_error("quantizer not linked yet");
}

}  // namespace varkel::python
