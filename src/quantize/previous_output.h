#pragma once
// What an earlier conversion left in an output directory. A conversion
// replaces it in place (a second copy of the experts may not fit on disk),
// so before the first new byte is written every file that a model load would
// read is removed, the one it reads first ahead of the others: from then on
// the directory holds only files of the new run, and until that run has
// written its last file it is refused at load.

#include <filesystem>

#include "quantize/quant_result.h"

namespace varkel {

// Removes "config.json" (unless `keep_config`: it is the source's own),
// "model_weights.json", "model_weights.bin", every "layer_{}.bin" in
// "packed_experts" and "packed_experts_lz4", and the partial files of a
// killed run. Directories are left alone.
QuantResult<void> remove_previous_output(const std::filesystem::path& out, bool keep_config);

}  // namespace varkel
