#include "metal/kernels/linear_attention_delta_net.h"

#include <algorithm>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "metal/kernels/linear_attention_delta_net.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace varkel::metal::delta_net::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Rows stepped together: their in-order sums run as independent chains.
constexpr uint32_t kTile = 8;

// Sums each of `rows` rows of products[r][0 .. kDim) strictly in index order.
HWY_INLINE void ordered_sums(const float (*products)[kDim], uint32_t rows, float* sums) {
  float acc[kTile] = {};
  for (uint32_t ki = 0; ki < kDim; ++ki) {
    for (uint32_t r = 0; r < kTile; ++r) acc[r] += products[r][ki];
  }
  std::copy(acc, acc + rows, sums);
}

void StepHead(float* HWY_RESTRICT state, const float* q, const float* k, const float* v, float g, float beta,
              uint32_t rows, float* output) {
  const hn::ScalableTag<float> d;
  const size_t N = hn::Lanes(d);
  const auto vg = hn::Set(d, g);
  HWY_ALIGN float products[kTile][kDim] = {};
  float sums[kTile];
  for (uint32_t r0 = 0; r0 < rows; r0 += kTile) {
    const uint32_t n = std::min(kTile, rows - r0);
    // Decay each row, keeping the products with k for the in-order dot product.
    for (uint32_t r = 0; r < n; ++r) {
      float* row = state + size_t{r0 + r} * kDim;
      for (size_t i = 0; i < kDim; i += N) {
        const auto s = hn::Mul(hn::LoadU(d, row + i), vg);
        hn::StoreU(s, d, row + i);
        hn::Store(hn::Mul(s, hn::LoadU(d, k + i)), d, products[r] + i);
      }
    }
    ordered_sums(products, n, sums);
    // Write along k with strength δ, then read the updated row out with q.
    for (uint32_t r = 0; r < n; ++r) {
      const float delta = (v[r0 + r] - sums[r]) * beta;
      const auto vd = hn::Set(d, delta);
      float* row = state + size_t{r0 + r} * kDim;
      for (size_t i = 0; i < kDim; i += N) {
        const auto s = hn::Add(hn::LoadU(d, row + i), hn::Mul(hn::LoadU(d, k + i), vd));
        hn::StoreU(s, d, row + i);
        hn::Store(hn::Mul(s, hn::LoadU(d, q + i)), d, products[r] + i);
      }
    }
    ordered_sums(products, n, sums);
    std::copy(sums, sums + n, output + r0);
  }
}

}  // namespace varkel::metal::delta_net::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace varkel::metal::delta_net {

HWY_EXPORT(StepHead);

void step_head(float* state, const float* q, const float* k, const float* v, float g, float beta, uint32_t rows,
               float* output) {
  HWY_DYNAMIC_DISPATCH(StepHead)(state, q, k, v, g, beta, rows, output);
}

}  // namespace varkel::metal::delta_net
#endif
