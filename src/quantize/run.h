#pragma once
// The offline conversion of a safetensors checkpoint into a model directory:
// "model_weights.bin" with its manifest, one expert file per MoE layer and a
// copy of "config.json". Progress goes to standard error.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "hf_util/hf_repo.h"
#include "quantize/quant_result.h"
#include "quantize/quant_scheme.h"

namespace varkel {

// Polled once before each shard. Returns the text of a pending interrupt
// (e.g. the Python exception raised by Ctrl-C, already consumed), or nothing
// when the conversion may go on.
using InterruptCheck = std::function<std::optional<std::string>()>;

// `source` is a checkpoint directory or, when no such directory exists, a hub
// repository id. An earlier conversion in `output_dir` is removed before the
// first new file is written. Fails with a message; the files finished so far
// stay, the one being written goes, and a model load refuses what is left.
QuantResult<void> run(std::string_view source, std::string_view output_dir, const QuantScheme& scheme,
                      const InterruptCheck& check_interrupt = {});

// The same on a handle made by the caller; `source` is recorded as the
// manifest's "model". For a hub handle each shard is deleted after use.
QuantResult<void> run_with_repo(const HfRepo& repo, std::string_view source, const std::filesystem::path& out,
                                const QuantScheme& scheme, const InterruptCheck& check_interrupt = {});

}  // namespace varkel
