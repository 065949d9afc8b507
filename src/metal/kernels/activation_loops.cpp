#include "metal/kernels/activation_loops.h"

#include <bit>

#include "metal/kernels/activations.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "metal/kernels/activation_loops.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"
#include "metal/kernels/activations-inl.h"

HWY_BEFORE_NAMESPACE();
namespace varkel::metal::activation_loops::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;
using metal::HWY_NAMESPACE::ActF;
using metal::HWY_NAMESPACE::SigmoidF32;
using metal::HWY_NAMESPACE::SiluF32;

// The scalar form, for the elements past the last whole vector.
HWY_INLINE float widen(uint16_t bits) { return std::bit_cast<float>(uint32_t{bits} << 16); }

// bf16 lanes widened to float.
HWY_INLINE hn::Vec<ActF> Widen(hn::Vec<hn::Rebind<uint16_t, ActF>> bits) {
  const ActF df;
  const hn::RebindToUnsigned<ActF> du;
  return hn::BitCast(df, hn::ShiftLeft<16>(hn::PromoteTo(du, bits)));
}

void SiluTimes(const float* gate, const float* up, float* out, size_t n) {
  const ActF d;
  const size_t L = hn::Lanes(d);
  size_t i = 0;
  for (; i + L <= n; i += L) hn::StoreU(hn::Mul(SiluF32(hn::LoadU(d, gate + i)), hn::LoadU(d, up + i)), d, out + i);
  for (; i < n; ++i) out[i] = silu(gate[i]) * up[i];
}

void TimesSigmoid(float* x, const float* gate, size_t n) {
  const ActF d;
  const size_t L = hn::Lanes(d);
  size_t i = 0;
  for (; i + L <= n; i += L) hn::StoreU(hn::Mul(hn::LoadU(d, x + i), SigmoidF32(hn::LoadU(d, gate + i))), d, x + i);
  for (; i < n; ++i) x[i] = x[i] * sigmoid(gate[i]);
}

void ScaledSiluGate(const float* x, float inv, const float* z, const uint16_t* w, float* out, size_t n) {
  const ActF d;
  const hn::Rebind<uint16_t, ActF> dw;
  const size_t L = hn::Lanes(d);
  const auto vinv = hn::Set(d, inv);
  size_t i = 0;
  for (; i + L <= n; i += L) {
    const auto scaled = hn::Mul(hn::Mul(hn::LoadU(d, x + i), vinv), SiluF32(hn::LoadU(d, z + i)));
    hn::StoreU(hn::Mul(scaled, Widen(hn::LoadU(dw, w + i))), d, out + i);
  }
  for (; i < n; ++i) out[i] = x[i] * inv * silu(z[i]) * widen(w[i]);
}

void Conv1dStep(float* s0, float* s1, float* s2, const float* x, const uint16_t* w, float* out, size_t begin,
                size_t end) {
  const ActF d;
  const hn::Rebind<uint16_t, ActF> dw;
  const size_t L = hn::Lanes(d);
  size_t c = begin;
  for (; c + L <= end; c += L) {
    hn::Vec<decltype(dw)> w0, w1, w2, w3;
    hn::LoadInterleaved4(dw, w + c * 4, w0, w1, w2, w3);
    const auto a = hn::LoadU(d, s0 + c), b = hn::LoadU(d, s1 + c), e = hn::LoadU(d, s2 + c);
    const auto xc = hn::LoadU(d, x + c);
    auto acc = hn::Add(hn::Zero(d), hn::Mul(a, Widen(w0)));
    acc = hn::Add(acc, hn::Mul(b, Widen(w1)));
    acc = hn::Add(acc, hn::Mul(e, Widen(w2)));
    acc = hn::Add(acc, hn::Mul(xc, Widen(w3)));
    hn::StoreU(b, d, s0 + c);
    hn::StoreU(e, d, s1 + c);
    hn::StoreU(xc, d, s2 + c);
    hn::StoreU(SiluF32(acc), d, out + c);
  }
  for (; c < end; ++c) {
    const uint16_t* wc = w + c * 4;
    const float xc = x[c];
    float acc = 0.0f;
    acc += s0[c] * widen(wc[0]);
    acc += s1[c] * widen(wc[1]);
    acc += s2[c] * widen(wc[2]);
    acc += xc * widen(wc[3]);
    s0[c] = s1[c];
    s1[c] = s2[c];
    s2[c] = xc;
    out[c] = silu(acc);
  }
}

}  // namespace varkel::metal::activation_loops::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace varkel::metal::activation_loops {

HWY_EXPORT(SiluTimes);
HWY_EXPORT(TimesSigmoid);
HWY_EXPORT(ScaledSiluGate);
HWY_EXPORT(Conv1dStep);

void silu_times(const float* gate, const float* up, float* out, std::size_t n) {
  HWY_DYNAMIC_DISPATCH(SiluTimes)(gate, up, out, n);
}

void times_sigmoid(float* x, const float* gate, std::size_t n) { HWY_DYNAMIC_DISPATCH(TimesSigmoid)(x, gate, n); }

void scaled_silu_gate(const float* x, float inv, const float* z, const uint16_t* w, float* out, std::size_t n) {
  HWY_DYNAMIC_DISPATCH(ScaledSiluGate)(x, inv, z, w, out, n);
}

void conv1d_step(float* s0, float* s1, float* s2, const float* x, const uint16_t* w, float* out, std::size_t begin,
                 std::size_t end) {
  HWY_DYNAMIC_DISPATCH(Conv1dStep)(s0, s1, s2, x, w, out, begin, end);
}

}  // namespace varkel::metal::activation_loops
#endif
