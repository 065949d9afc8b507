#include "metal/kernels/linear_attention_delta_net.h"

#include <algorithm>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "metal/kernels/linear_attention_delta_net.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/cache_control.h"
#include "hwy/highway.h"

// A row's two dot products are sums in key order, so a vector cannot run
// along the row: the rows are stepped in quads whose products are stored
// interleaved by key, and one vector lane per row adds them in order.
HWY_BEFORE_NAMESPACE();
namespace varkel::metal::delta_net::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

constexpr uint32_t kQuad = 4;
// Quads stepped together: their in-order sums run as independent chains.
constexpr uint32_t kQuads = 8;
using D4 = hn::CappedTag<float, kQuad>;

// Per quad, [key][row of the quad].
struct Products {
  HWY_ALIGN float t[kQuads][kDim][kQuad];
};

// sums[4q + j] = row j of quad q's products summed from 0 in key order, for
// q < quads (the other quads' products may be stale).
HWY_INLINE void OrderedSums(const Products& p, uint32_t quads, float* HWY_RESTRICT sums) {
  const D4 d;
  const size_t L = hn::Lanes(d);
  static_assert(kQuads == 8);
  for (size_t l = 0; l < kQuad; l += L) {
    auto a0 = hn::Zero(d), a1 = hn::Zero(d), a2 = hn::Zero(d), a3 = hn::Zero(d);
    auto a4 = hn::Zero(d), a5 = hn::Zero(d), a6 = hn::Zero(d), a7 = hn::Zero(d);
    for (uint32_t ki = 0; ki < kDim; ++ki) {
      a0 = hn::Add(a0, hn::Load(d, &p.t[0][ki][l]));
      a1 = hn::Add(a1, hn::Load(d, &p.t[1][ki][l]));
      a2 = hn::Add(a2, hn::Load(d, &p.t[2][ki][l]));
      a3 = hn::Add(a3, hn::Load(d, &p.t[3][ki][l]));
      a4 = hn::Add(a4, hn::Load(d, &p.t[4][ki][l]));
      a5 = hn::Add(a5, hn::Load(d, &p.t[5][ki][l]));
      a6 = hn::Add(a6, hn::Load(d, &p.t[6][ki][l]));
      a7 = hn::Add(a7, hn::Load(d, &p.t[7][ki][l]));
    }
    const hn::Vec<D4> acc[kQuads] = {a0, a1, a2, a3, a4, a5, a6, a7};
    for (uint32_t q = 0; q < quads; ++q) hn::StoreU(acc[q], d, sums + q * kQuad + l);
  }
}

// One pass over the quads of a tile: each row's new values s = update(j,
// row j of the quad, key offset i) replace it, and s × x goes to p
// interleaved by key. With `next`, the same quad of the next tile is
// prefetched, which the hardware fetches too late on a busy memory bus.
template <class Update>
HWY_INLINE void QuadPass(float* HWY_RESTRICT tile, uint32_t quads, const float* x, const float* next, Products& p,
                         Update update) {
  const hn::ScalableTag<float> d;
  const size_t N = hn::Lanes(d);
  for (uint32_t qd = 0; qd < quads; ++qd) {
    float* rows = tile + size_t{qd} * kQuad * kDim;
    for (size_t i = 0; i < kDim; i += N) {
      if (next != nullptr) {
        for (uint32_t j = 0; j < kQuad; ++j) hwy::Prefetch(next + (qd * kQuad + j) * kDim + i);
      }
      const auto s0 = update(qd * kQuad, hn::LoadU(d, rows + i), i);
      const auto s1 = update(qd * kQuad + 1, hn::LoadU(d, rows + kDim + i), i);
      const auto s2 = update(qd * kQuad + 2, hn::LoadU(d, rows + 2 * kDim + i), i);
      const auto s3 = update(qd * kQuad + 3, hn::LoadU(d, rows + 3 * kDim + i), i);
      hn::StoreU(s0, d, rows + i);
      hn::StoreU(s1, d, rows + kDim + i);
      hn::StoreU(s2, d, rows + 2 * kDim + i);
      hn::StoreU(s3, d, rows + 3 * kDim + i);
      const auto vx = hn::LoadU(d, x + i);
      hn::StoreInterleaved4(hn::Mul(s0, vx), hn::Mul(s1, vx), hn::Mul(s2, vx), hn::Mul(s3, vx), d, &p.t[qd][i][0]);
    }
  }
}

// Rows [r0, r0 + 4 × quads): decay, write, read out.
HWY_INLINE void StepQuads(float* HWY_RESTRICT state, const float* q, const float* k, const float* v, float g,
                          float beta, uint32_t r0, uint32_t quads, bool prefetch, float* output, Products& p) {
  const hn::ScalableTag<float> d;
  using V = hn::Vec<decltype(d)>;
  float* tile = state + size_t{r0} * kDim;
  const auto vg = hn::Set(d, g);
  float sums[kQuads * kQuad];
  QuadPass(tile, quads, k, prefetch ? tile + size_t{kQuads * kQuad} * kDim : nullptr, p,
           [&](uint32_t, V row, size_t) { return hn::Mul(row, vg); });
  OrderedSums(p, quads, sums);
  float deltas[kQuads * kQuad];
  for (uint32_t r = 0; r < quads * kQuad; ++r) deltas[r] = (v[r0 + r] - sums[r]) * beta;
  QuadPass(tile, quads, q, nullptr, p, [&](uint32_t r, V row, size_t i) {
    return hn::Add(row, hn::Mul(hn::LoadU(d, k + i), hn::Set(d, deltas[r])));
  });
  OrderedSums(p, quads, sums);
  std::copy(sums, sums + quads * kQuad, output + r0);
}

// One row on its own, for the rows past the last whole quad.
HWY_INLINE void StepRow(float* HWY_RESTRICT row, const float* q, const float* k, float v, float g, float beta,
                        float* output) {
  float sum = 0.0f;
  for (uint32_t i = 0; i < kDim; ++i) {
    row[i] = row[i] * g;
    sum += row[i] * k[i];
  }
  const float delta = (v - sum) * beta;
  sum = 0.0f;
  for (uint32_t i = 0; i < kDim; ++i) {
    row[i] = row[i] + k[i] * delta;
    sum += row[i] * q[i];
  }
  *output = sum;
}

void StepHead(float* HWY_RESTRICT state, const float* q, const float* k, const float* v, float g, float beta,
              uint32_t rows, float* output) {
  Products p = {};
  const uint32_t whole = rows / kQuad * kQuad;
  for (uint32_t r0 = 0; r0 < whole; r0 += kQuads * kQuad) {
    StepQuads(state, q, k, v, g, beta, r0, std::min(kQuads, (whole - r0) / kQuad), r0 + 2 * kQuads * kQuad <= whole,
              output, p);
  }
  for (uint32_t r = whole; r < rows; ++r) StepRow(state + size_t{r} * kDim, q, k, v[r], g, beta, output + r);
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
