#include "metal/kernels/residual_stream_loops.h"

#include <algorithm>
#include <bit>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "metal/kernels/residual_stream_loops.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace varkel::metal::residual_stream_loops::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void ThreadSumsOfSquares(const float* x, size_t n, uint32_t threads, uint32_t first, uint32_t count, float* own) {
  const hn::ScalableTag<float> d;
  const size_t N = hn::Lanes(d);
  std::fill(own, own + count, 0.0f);
  // Row j holds x[j × threads ..]; the last may end before thread first + count.
  for (size_t row = first; row < n; row += threads) {
    const size_t live = std::min<size_t>(count, n - row);
    size_t t = 0;
    for (; t + N <= live; t += N) {
      const auto v = hn::LoadU(d, x + row + t);
      hn::StoreU(hn::Add(hn::LoadU(d, own + t), hn::Mul(v, v)), d, own + t);
    }
    for (; t < live; ++t) own[t] = own[t] + x[row + t] * x[row + t];
  }
}

void ScaleBf16(const float* x, float inv, const uint16_t* w, float* out, size_t n) {
  const hn::ScalableTag<float> d;
  const hn::Rebind<uint16_t, decltype(d)> dw;
  const hn::RebindToUnsigned<decltype(d)> du;
  const size_t N = hn::Lanes(d);
  const auto vinv = hn::Set(d, inv);
  size_t i = 0;
  for (; i + N <= n; i += N) {
    const auto wf = hn::BitCast(d, hn::ShiftLeft<16>(hn::PromoteTo(du, hn::LoadU(dw, w + i))));
    hn::StoreU(hn::Mul(hn::Mul(hn::LoadU(d, x + i), vinv), wf), d, out + i);
  }
  for (; i < n; ++i) out[i] = x[i] * inv * std::bit_cast<float>(uint32_t{w[i]} << 16);
}

void MoeCombine(const float* h_mid, const float* shared, float gate, const float* const* experts,
                const float* weights, uint32_t used, float* hidden, size_t n) {
  const hn::ScalableTag<float> d;
  const size_t N = hn::Lanes(d);
  const auto vgate = hn::Set(d, gate);
  size_t i = 0;
  for (; i + N <= n; i += N) {
    auto moe = hn::Zero(d);
    for (uint32_t s = 0; s < used; ++s) {
      moe = hn::Add(moe, hn::Mul(hn::Set(d, weights[s]), hn::LoadU(d, experts[s] + i)));
    }
    const auto sum = hn::Add(hn::Add(hn::LoadU(d, h_mid + i), moe), hn::Mul(vgate, hn::LoadU(d, shared + i)));
    hn::StoreU(sum, d, hidden + i);
  }
  for (; i < n; ++i) {
    float moe = 0.0f;
    for (uint32_t s = 0; s < used; ++s) moe += weights[s] * experts[s][i];
    hidden[i] = h_mid[i] + moe + gate * shared[i];
  }
}

}  // namespace varkel::metal::residual_stream_loops::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace varkel::metal::residual_stream_loops {

HWY_EXPORT(ThreadSumsOfSquares);
HWY_EXPORT(ScaleBf16);
HWY_EXPORT(MoeCombine);

void thread_sums_of_squares(const float* x, std::size_t n, uint32_t threads, uint32_t first, uint32_t count,
                            float* own) {
  HWY_DYNAMIC_DISPATCH(ThreadSumsOfSquares)(x, n, threads, first, count, own);
}

void scale_bf16(const float* x, float inv, const uint16_t* w, float* out, std::size_t n) {
  HWY_DYNAMIC_DISPATCH(ScaleBf16)(x, inv, w, out, n);
}

void moe_combine(const float* h_mid, const float* shared, float gate, const float* const* experts,
                 const float* weights, uint32_t used, float* hidden, std::size_t n) {
  HWY_DYNAMIC_DISPATCH(MoeCombine)(h_mid, shared, gate, experts, weights, used, hidden, n);
}

}  // namespace varkel::metal::residual_stream_loops
#endif
