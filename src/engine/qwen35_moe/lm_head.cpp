#include "engine/qwen35_moe/lm_head.h"

#include <cstring>

#include <fmt/format.h>

#include "engine/qwen35_constants.h"

namespace varkel::qwen35 {

Status gpu_lm_head(const WeightFile& weights, std::span<const float> hidden, std::span<float> logits,
                   const WeightBuffer& weight_buffer, const MetalContext& ctx) {
  auto input = ctx.device->new_buffer(kHiddenSize * sizeof(float), metal::kResourceStorageModeShared);
  if (!input) return fail(MoEError::metal(fmt::format("lm head input buffer: {}", input.error())));
  auto output = ctx.device->new_buffer(logits.size() * sizeof(float), metal::kResourceStorageModeShared);
  if (!output) return fail(MoEError::metal(fmt::format("lm head output buffer: {}", output.error())));
  std::memcpy((*input)->contents(), hidden.data(), kHiddenSize * sizeof(float));

  metal::CommandBufferPtr cmd = ctx.queue->command_buffer();
  metal::ComputeCommandEncoderPtr enc = cmd->compute_command_encoder();
  // A missing head or pipeline has been reported by the mat-vec; the fresh
  // (zero-filled) output buffer then becomes the row.
  (void)weight_buffer.encode_matvec_into(weights, ctx, *enc, "language_model.lm_head", *input, *output,
                                         static_cast<uint32_t>(logits.size()), static_cast<uint32_t>(kHiddenSize));
  enc->end_encoding();
  cmd->commit();
  cmd->wait_until_completed();
  if (cmd->status() == metal::CommandBufferStatus::Error) {
    return fail(MoEError::metal(fmt::format("lm head: {}", cmd->error())));
  }
  std::memcpy(logits.data(), (*output)->contents(), logits.size() * sizeof(float));
  return {};
}

}  // namespace varkel::qwen35
