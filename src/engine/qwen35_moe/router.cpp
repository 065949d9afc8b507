#include "engine/qwen35_moe/router.h"

#include <cmath>
#include <limits>

#include "math_util/exp_f32.h"
#include "math_util/topk.h"

namespace varkel::qwen35 {

void softmax_in_place(std::span<float> x) {
  float m = -std::numeric_limits<float>::infinity();
  for (float v : x) m = std::fmax(m, v);
  for (float& v : x) v = exp_f32(v - m);
  float s = 0.0f;
  for (float v : x) s += v;
  const float inv = 1.0f / s;
  for (float& v : x) v = v * inv;
}

void renormalise(std::span<float> values) {
  float t = -0.0f;
  for (float v : values) t += v;
  if (!(t > 0.0f)) return;
  const float inv = 1.0f / t;
  for (float& v : values) v = v * inv;
}

Routing route(std::vector<float> logits, uint32_t k) {
  softmax_in_place(logits);
  Routing r{std::vector<uint32_t>(k, 0), std::vector<float>(k, 0.0f)};
  topk(logits, k, r.experts, r.weights);
  renormalise(r.weights);
  return r;
}

}  // namespace varkel::qwen35
