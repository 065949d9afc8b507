// The gate activations of activations.h lane by lane, for the kernels'
// Highway code: exp_f32's double arithmetic step for step in every lane, so
// each lane gives the scalar function's bits (checked on all 2^32 inputs).
// Include after hwy/highway.h inside a HWY_TARGET_INCLUDE source.

#if defined(VARKEL_METAL_KERNELS_ACTIVATIONS_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef VARKEL_METAL_KERNELS_ACTIVATIONS_INL_H_
#undef VARKEL_METAL_KERNELS_ACTIVATIONS_INL_H_
#else
#define VARKEL_METAL_KERNELS_ACTIVATIONS_INL_H_
#endif

#include <limits>

#include "hwy/highway.h"
#include "math_util/exp_f32.h"

HWY_BEFORE_NAMESPACE();
namespace varkel::metal::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// The float lanes the activations take: as many as a full vector of doubles.
using ActD = hn::ScalableTag<double>;
using ActF = hn::Rebind<float, ActD>;
using ActV = hn::Vec<ActF>;

// exp_f32(x) in every lane.
HWY_INLINE ActV ExpF32(ActV x) {
  using namespace exp_f32_detail;
  const ActF df;
  const ActD dd;
  const hn::RebindToUnsigned<ActD> du;
  const hn::RebindToSigned<ActD> di;
  const auto xd = hn::PromoteTo(dd, x);
  const auto round_shift = hn::Set(dd, kRoundShift);
  const auto shifted = hn::Add(hn::Mul(xd, hn::Set(dd, kInvLn2Over128)), round_shift);
  const auto kd = hn::Sub(shifted, round_shift);
  const auto k = hn::BitCast(du, shifted);
  const auto r = hn::Sub(hn::Sub(xd, hn::Mul(kd, hn::Set(dd, kLn2Over128Hi))), hn::Mul(kd, hn::Set(dd, kLn2Over128Lo)));
  const auto poly = hn::Add(hn::Set(dd, 0x1.5555555555555p-3), hn::Mul(r, hn::Set(dd, 0x1.5555555555555p-5)));
  const auto p = hn::Add(r, hn::Mul(hn::Mul(r, r), hn::Add(hn::Set(dd, 0.5), hn::Mul(r, poly))));
  const auto frac = hn::GatherIndex(dd, kPow2Frac, hn::BitCast(di, hn::And(k, hn::Set(du, 127))));
  const auto t = hn::BitCast(dd, hn::Add(hn::BitCast(du, frac), hn::ShiftLeft<52>(hn::ShiftRight<7>(k))));
  const auto e = hn::DemoteTo(df, hn::Add(t, hn::Mul(t, p)));
  // The scalar function's early returns: past the largest float, NaN, and under -104.
  const auto big = hn::IfThenElse(hn::Eq(x, x), hn::Set(df, std::numeric_limits<float>::infinity()), hn::Add(x, x));
  const auto in_range = hn::IfThenZeroElse(hn::Lt(x, hn::Set(df, -104.0f)), e);
  return hn::IfThenElse(hn::Le(x, hn::Set(df, 0x1.62e42ep6f)), in_range, big);
}

// sigmoid and silu of activations.h in every lane.
HWY_INLINE ActV SigmoidF32(ActV u) {
  const ActF df;
  const auto one = hn::Set(df, 1.0f);
  return hn::Div(one, hn::Add(one, ExpF32(hn::Neg(u))));
}
HWY_INLINE ActV SiluF32(ActV u) {
  const ActF df;
  return hn::Div(u, hn::Add(hn::Set(df, 1.0f), ExpF32(hn::Neg(u))));
}

}  // namespace varkel::metal::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif
