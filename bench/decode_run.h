#pragma once
// Shared by the decode benchmarks: one engine decoding a continuing sequence,
// and the bytes the design must move per token.

#include <cstddef>
#include <cstdint>
#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/decode_profile.h"
#include "engine/engine.h"
#include "model/model.h"

namespace varkel::bench {

// Bytes one decoded token must move: every weight-file tensor except the
// embedding table read once, one embedding row, each of the k expert records
// of every layer twice (read from the page cache, written into its staging
// slot) and each linear-attention layer's recurrent state (delta-net and
// convolution history) read and written once.
struct DecodeBytes {
  uint64_t weights = 0;
  uint64_t embedding_row = 0;
  uint64_t experts = 0;
  uint64_t linear_state = 0;
  uint64_t total() const { return weights + embedding_row + experts + linear_state; }
};
DecodeBytes decode_bytes(const Model& model, std::size_t k);

// Per token: the forward pass's stages (decode_profile.h), what the stages
// leave out (encoding, waits, the embedding), and the worker pool's parallel
// runs and the time callers waited in them for the last chunks.
struct DecodeBreakdown {
  std::array<double, static_cast<std::size_t>(DecodeStage::Count)> stage_ms{};
  double other_ms = 0;
  double reads_landed_ms = 0;    // inside "experts"
  double stage_waiting_ms = 0;   // inside "experts"
  double records_read = 0;       // per token; the others were used in place
  double records_in_place = 0;   // per token
  // Of the records of layers whose experts were guessed, the share guessed
  // right; nan when nothing was guessed.
  double prediction_hit_rate = 0;
  // Of the records the guess started loading, the share the router chose;
  // nan when none was.
  double warmed_used_rate = 0;
  double pool_regions = 0;
  double pool_wait_ms = 0;
  // Per stage: the share of the pool's threads that were working (0 to 1).
  std::array<double, static_cast<std::size_t>(DecodeStage::Count)> busy{};
};

struct DecodeRound {
  double seconds_per_token;
  double expert_io_ms_per_token;
  DecodeBreakdown breakdown;
};

// "pre-expert 1.23, routing 0.01, ..." in milliseconds per token.
std::string format_breakdown(const DecodeBreakdown& b);

// One engine whose GPU state carries the sequence; each round decodes more
// tokens, one per forward call.
class Decoder {
 public:
  // Decodes `warmup` tokens (at least one) before returning. Decoders with
  // the same `sequence` decode the same tokens; with different ones, other
  // tokens (whose experts the other decoders did not just fetch).
  Decoder(std::string_view mode, std::shared_ptr<const Model> model, std::size_t k, std::size_t warmup = 2,
          std::size_t sequence = 0);

  std::string_view mode() const { return mode_; }
  DecodeRound round(std::size_t tokens);

 private:
  void step(int64_t id);
  double expert_io_ms() const;

  std::string_view mode_;
  std::unique_ptr<DynEngine> engine_;
  std::vector<float> row_;
  std::size_t next_ = 0;
  std::size_t sequence_ = 0;
};

// The middle value (mean of the two middle ones for an even count); 0 for none.
double median(std::vector<double> values);

}  // namespace varkel::bench
