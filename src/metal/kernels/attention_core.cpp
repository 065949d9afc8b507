#include "metal/kernels/attention_core.h"

#include <algorithm>
#include <cmath>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "metal/kernels/attention_core.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"
// After highway.h, which the math functions build on.
#include "hwy/contrib/math/math-inl.h"

HWY_BEFORE_NAMESPACE();
namespace varkel::metal::attention::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Positions scored at once: the scores of one block live on the stack.
constexpr uint32_t kBlock = 64;

// Dot product of two kHeadDim vectors; four accumulators keep the adds
// independent.
HWY_INLINE float dot_head(const float* HWY_RESTRICT a, const float* HWY_RESTRICT b) {
  const hn::ScalableTag<float> d;
  const size_t N = hn::Lanes(d);
  auto s0 = hn::Zero(d), s1 = hn::Zero(d), s2 = hn::Zero(d), s3 = hn::Zero(d);
  for (size_t i = 0; i < kHeadDim; i += 4 * N) {
    s0 = hn::Add(s0, hn::Mul(hn::LoadU(d, a + i), hn::LoadU(d, b + i)));
    s1 = hn::Add(s1, hn::Mul(hn::LoadU(d, a + i + N), hn::LoadU(d, b + i + N)));
    s2 = hn::Add(s2, hn::Mul(hn::LoadU(d, a + i + 2 * N), hn::LoadU(d, b + i + 2 * N)));
    s3 = hn::Add(s3, hn::Mul(hn::LoadU(d, a + i + 3 * N), hn::LoadU(d, b + i + 3 * N)));
  }
  return hn::GetLane(hn::SumOfLanes(d, hn::Add(hn::Add(s0, s1), hn::Add(s2, s3))));
}

// Dot products of four queries with one key row, sharing its loads; results
// go to out[0], out[stride], out[2 × stride], out[3 × stride].
HWY_INLINE void dot_4_heads(const float* const* q, const float* HWY_RESTRICT key, float* out, size_t stride) {
  const hn::ScalableTag<float> d;
  const size_t N = hn::Lanes(d);
  auto a0 = hn::Zero(d), a1 = hn::Zero(d), b0 = hn::Zero(d), b1 = hn::Zero(d);
  auto c0 = hn::Zero(d), c1 = hn::Zero(d), e0 = hn::Zero(d), e1 = hn::Zero(d);
  for (size_t i = 0; i < kHeadDim; i += 2 * N) {
    const auto k0 = hn::LoadU(d, key + i), k1 = hn::LoadU(d, key + i + N);
    a0 = hn::Add(a0, hn::Mul(hn::LoadU(d, q[0] + i), k0));
    a1 = hn::Add(a1, hn::Mul(hn::LoadU(d, q[0] + i + N), k1));
    b0 = hn::Add(b0, hn::Mul(hn::LoadU(d, q[1] + i), k0));
    b1 = hn::Add(b1, hn::Mul(hn::LoadU(d, q[1] + i + N), k1));
    c0 = hn::Add(c0, hn::Mul(hn::LoadU(d, q[2] + i), k0));
    c1 = hn::Add(c1, hn::Mul(hn::LoadU(d, q[2] + i + N), k1));
    e0 = hn::Add(e0, hn::Mul(hn::LoadU(d, q[3] + i), k0));
    e1 = hn::Add(e1, hn::Mul(hn::LoadU(d, q[3] + i + N), k1));
  }
  out[0] = hn::GetLane(hn::SumOfLanes(d, hn::Add(a0, a1)));
  out[stride] = hn::GetLane(hn::SumOfLanes(d, hn::Add(b0, b1)));
  out[2 * stride] = hn::GetLane(hn::SumOfLanes(d, hn::Add(c0, c1)));
  out[3 * stride] = hn::GetLane(hn::SumOfLanes(d, hn::Add(e0, e1)));
}

// out = out × f, kHeadDim floats.
HWY_INLINE void scale_head(float* HWY_RESTRICT out, float f) {
  const hn::ScalableTag<float> d;
  const auto vf = hn::Set(d, f);
  for (size_t i = 0; i < kHeadDim; i += hn::Lanes(d)) hn::StoreU(hn::Mul(hn::LoadU(d, out + i), vf), d, out + i);
}

// out += e × v, kHeadDim floats.
HWY_INLINE void add_scaled_head(float* HWY_RESTRICT out, const float* HWY_RESTRICT v, float e) {
  const hn::ScalableTag<float> d;
  const auto ve = hn::Set(d, e);
  for (size_t i = 0; i < kHeadDim; i += hn::Lanes(d)) {
    hn::StoreU(hn::Add(hn::LoadU(d, out + i), hn::Mul(ve, hn::LoadU(d, v + i))), d, out + i);
  }
}

void Attend(const float* const* queries, uint32_t heads, const float* K, const float* V, size_t column,
            uint32_t p_begin, uint32_t p_end, float* records, size_t record_stride) {
  const hn::ScalableTag<float> d;
  const size_t N = hn::Lanes(d);
  const auto ln2 = hn::Set(d, 0.6931471805599453f);
  HWY_ALIGN float weights[kHeadsPerKv][kBlock];
  for (uint32_t p0 = p_begin; p0 < p_end; p0 += kBlock) {
    const uint32_t n = std::min(kBlock, p_end - p0);
    for (uint32_t i = 0; i < n; ++i) {
      const float* key = K + static_cast<size_t>(p0 + i) * kKvDim + column;
      uint32_t h = 0;
      for (; h + 4 <= heads; h += 4) dot_4_heads(queries + h, key, &weights[h][i], kBlock);
      for (; h < heads; ++h) weights[h][i] = dot_head(queries[h], key);
    }
    for (uint32_t h = 0; h < heads; ++h) {
      Record rec{records + h * record_stride};
      float block_max = kNoScore;
      for (uint32_t i = 0; i < n; ++i) block_max = std::max(block_max, weights[h][i]);
      const float m = std::max(rec.max(), block_max);
      const float f = std::exp2(rec.max() - m);
      if (f != 1.0f) {
        rec.sum() *= f;
        scale_head(rec.out(), f);
      }
      rec.max() = m;
      // Unused tail lanes score -1e30 and weigh 0.
      for (uint32_t i = n; i < kBlock; ++i) weights[h][i] = kNoScore;
      const auto vm = hn::Set(d, m);
      for (uint32_t i = 0; i < n; i += N) {
        const auto x = hn::Mul(hn::Sub(hn::Load(d, &weights[h][i]), vm), ln2);
        hn::Store(hn::Exp(d, x), d, &weights[h][i]);
      }
      float sum = rec.sum();
      for (uint32_t i = 0; i < n; ++i) sum += weights[h][i];
      rec.sum() = sum;
    }
    // Each head's output stays in registers, 4 vectors at a time, while the block's value rows stream by.
    const float* values = V + static_cast<size_t>(p0) * kKvDim + column;
    for (uint32_t h = 0; h < heads; ++h) {
      float* out = records + h * record_stride + 2;
      for (size_t d0 = 0; d0 < kHeadDim; d0 += 4 * N) {
        auto o0 = hn::LoadU(d, out + d0), o1 = hn::LoadU(d, out + d0 + N);
        auto o2 = hn::LoadU(d, out + d0 + 2 * N), o3 = hn::LoadU(d, out + d0 + 3 * N);
        for (uint32_t i = 0; i < n; ++i) {
          const auto e = hn::Set(d, weights[h][i]);
          const float* v = values + static_cast<size_t>(i) * kKvDim + d0;
          o0 = hn::Add(o0, hn::Mul(e, hn::LoadU(d, v)));
          o1 = hn::Add(o1, hn::Mul(e, hn::LoadU(d, v + N)));
          o2 = hn::Add(o2, hn::Mul(e, hn::LoadU(d, v + 2 * N)));
          o3 = hn::Add(o3, hn::Mul(e, hn::LoadU(d, v + 3 * N)));
        }
        hn::StoreU(o0, d, out + d0);
        hn::StoreU(o1, d, out + d0 + N);
        hn::StoreU(o2, d, out + d0 + 2 * N);
        hn::StoreU(o3, d, out + d0 + 3 * N);
      }
    }
  }
}

void Merge(const float* records, size_t stride, uint32_t count, float* out) {
  float g = kNoScore;
  for (uint32_t b = 0; b < count; ++b) g = std::max(g, records[b * stride]);
  std::fill(out, out + kHeadDim, 0.0f);
  float total = 0.0f;
  for (uint32_t b = 0; b < count; ++b) {
    const float* rec = records + b * stride;
    const float r = std::exp2(rec[0] - g);
    total += rec[1] * r;
    add_scaled_head(out, rec + 2, r);
  }
  if (total == 0.0f) {
    std::fill(out, out + kHeadDim, 0.0f);
    return;
  }
  for (uint32_t i = 0; i < kHeadDim; ++i) out[i] = out[i] / total;
}

}  // namespace varkel::metal::attention::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace varkel::metal::attention {

HWY_EXPORT(Attend);
HWY_EXPORT(Merge);

void reset_records(float* records, uint32_t count) {
  for (uint32_t r = 0; r < count; ++r) {
    float* rec = records + static_cast<std::size_t>(r) * kRecordFloats;
    rec[0] = kNoScore;
    std::fill(rec + 1, rec + kRecordFloats, 0.0f);
  }
}

void attend(const float* const* queries, uint32_t heads, const float* K, const float* V, std::size_t column,
            uint32_t p_begin, uint32_t p_end, float* records, std::size_t record_stride) {
  HWY_DYNAMIC_DISPATCH(Attend)(queries, heads, K, V, column, p_begin, p_end, records, record_stride);
}

void merge(const float* records, std::size_t stride, uint32_t count, float* out) {
  HWY_DYNAMIC_DISPATCH(Merge)(records, stride, count, out);
}

}  // namespace varkel::metal::attention
#endif
