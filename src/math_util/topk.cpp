#include "math_util/topk.h"

#include <cstddef>
#include <utility>

namespace varkel {

void topk(std::span<const float> scores, uint32_t k, std::span<uint32_t> out_idx, std::span<float> out_val) {
  if (scores.empty()) return;
  const std::size_t heap_size = k;
  for (std::size_t i = 0; i < scores.size(); ++i) {
    const float x = scores[i];
    const auto index = static_cast<uint32_t>(i);
    if (i < heap_size) {
      // Filling: sift up past every parent strictly greater than x.
      std::size_t j = i;
      while (j > 0) {
        const std::size_t parent = (j - 1) / 2;
        if (!(out_val[parent] > x)) break;
        out_val[j] = out_val[parent];
        out_idx[j] = out_idx[parent];
        j = parent;
      }
      out_val[j] = x;
      out_idx[j] = index;
      continue;
    }
    if (!(x > out_val[0])) continue;
    // Replace the root and sift down towards the smaller child.
    out_val[0] = x;
    out_idx[0] = index;
    std::size_t j = 0;
    for (;;) {
      std::size_t c = j;
      const std::size_t left = 2 * j + 1;
      const std::size_t right = 2 * j + 2;
      if (left < heap_size && out_val[left] < x) c = left;
      if (right < heap_size && out_val[right] < out_val[c]) c = right;
      if (c == j) break;
      std::swap(out_val[j], out_val[c]);
      std::swap(out_idx[j], out_idx[c]);
      j = c;
    }
  }
}

}  // namespace varkel
