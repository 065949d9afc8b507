// SIMD row loops of the tiled mat-vec kernels, compiled once per target and
// chosen at run time.
//
// Packed 4-bit rows are walked 8 words (64 columns) at a time with one word
// per lane: step k takes nibble k of every word, so x is regrouped once per
// dispatch (regroup_x_octets) to give lane w the column 8w + k.

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "metal/kernels/matvec_simd.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

#include <cmath>
#include <cstring>

#include "metal/kernels/decode_tables.h"
#include "metal/kernels/matvec_job.h"

HWY_BEFORE_NAMESPACE();
namespace varkel::metal::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Up to 8 lanes: one vector (or two halves) per block of 8 words.
using D8 = hn::CappedTag<float, 8>;

template <class D>
HWY_INLINE float SumLanes(D d, hn::Vec<D> v) {
  return hn::GetLane(hn::SumOfLanes(d, v));
}

// ---- packed 4-bit affine: sum += fma(code, scale * x, bias * x) ----

HWY_INLINE float RowAffine4(const uint32_t* HWY_RESTRICT w, const uint16_t* HWY_RESTRICT s,
                            const uint16_t* HWY_RESTRICT b, const float* HWY_RESTRICT x,
                            const float* HWY_RESTRICT xo, uint32_t words, uint32_t words_per_group) {
  const D8 df;
  const hn::RebindToUnsigned<D8> du;
  const hn::RebindToSigned<D8> di;
  const size_t nv = hn::Lanes(df);
  const auto nibble = hn::Set(du, 0xFu);
  auto a0 = hn::Zero(df), a1 = hn::Zero(df), a2 = hn::Zero(df), a3 = hn::Zero(df);
  // Whole 8-word blocks inside one group take the vector path.
  const uint32_t blocks = (words_per_group % 8 == 0) ? words / 8 : 0;
  for (uint32_t o = 0; o < blocks; ++o) {
    const uint32_t g = o * 8 / words_per_group;
    const auto vs = hn::Set(df, bf16_to_f32(s[g]));
    const auto vb = hn::Set(df, bf16_to_f32(b[g]));
    for (size_t h = 0; h < 8; h += nv) {
      const auto wv = hn::LoadU(du, w + o * 8 + h);
      const float* xb = xo + o * 64 + h;
#define VARKEL_AFFINE4_STEP(k, acc)                                                          \
  {                                                                                          \
    const auto xk = hn::Load(df, xb + (k) * 8);                                              \
    const auto code = hn::ConvertTo(df, hn::BitCast(di, hn::And(hn::ShiftRight<4 * (k)>(wv), nibble))); \
    acc = hn::Add(acc, hn::MulAdd(code, hn::Mul(vs, xk), hn::Mul(vb, xk)));                  \
  }
      VARKEL_AFFINE4_STEP(0, a0)
      VARKEL_AFFINE4_STEP(1, a1)
      VARKEL_AFFINE4_STEP(2, a2)
      VARKEL_AFFINE4_STEP(3, a3)
      VARKEL_AFFINE4_STEP(4, a0)
      VARKEL_AFFINE4_STEP(5, a1)
      VARKEL_AFFINE4_STEP(6, a2)
      VARKEL_AFFINE4_STEP(7, a3)
#undef VARKEL_AFFINE4_STEP
    }
  }
  float sum = SumLanes(df, hn::Add(hn::Add(a0, a1), hn::Add(a2, a3)));
  for (uint32_t c = blocks * 8; c < words; ++c) {
    const uint32_t g = c / words_per_group;
    const float scale = bf16_to_f32(s[g]);
    const float bias = bf16_to_f32(b[g]);
    for (uint32_t k = 0; k < 8; ++k) {
      const float xk = x[8 * c + k];
      const float sx = scale * xk;
      const float bx = bias * xk;
      sum += std::fma(static_cast<float>((w[c] >> (4 * k)) & 0xF), sx, bx);
    }
  }
  return sum;
}

// ---- packed FP4 E2M1: sum += (fp4[code] * scale) * x ----

HWY_INLINE float RowFp4(const uint32_t* HWY_RESTRICT w, const uint16_t* HWY_RESTRICT s,
                        const float* HWY_RESTRICT x, const float* HWY_RESTRICT xo, uint32_t words,
                        uint32_t words_per_group) {
  const D8 df;
  const hn::RebindToUnsigned<D8> du;
  const hn::RebindToSigned<D8> di;
  const size_t nv = hn::Lanes(df);
  const auto nibble = hn::Set(du, 0xFu);
  const auto seven = hn::Set(du, 7u);
  const auto one = hn::Set(du, 1u);
  const auto sign_bit = hn::Set(du, 8u);
  const auto exp_bias = hn::Set(du, 126u);
  const auto zero_u = hn::Zero(du);
  const auto half = hn::Set(df, 0.5f);
  auto a0 = hn::Zero(df), a1 = hn::Zero(df);
  const uint32_t blocks = (words_per_group % 8 == 0) ? words / 8 : 0;
  for (uint32_t o = 0; o < blocks; ++o) {
    const uint32_t g = o * 8 / words_per_group;
    const auto vs = hn::Set(df, bf16_to_f32(s[g]));
    for (size_t h = 0; h < 8; h += nv) {
      const auto wv = hn::LoadU(du, w + o * 8 + h);
      const float* xb = xo + o * 64 + h;
      for (uint32_t k = 0; k < 8; ++k) {
        const auto code = hn::And(hn::ShiftRightSame(wv, static_cast<int>(4 * k)), nibble);
        // E2M1 magnitude: e = 0 gives m * 0.5, otherwise (1 + m / 2) * 2^(e - 1).
        const auto v = hn::And(code, seven);
        const auto e = hn::ShiftRight<1>(v);
        const auto m = hn::And(v, one);
        const auto normal = hn::BitCast(df, hn::Or(hn::ShiftLeft<23>(hn::Add(e, exp_bias)), hn::ShiftLeft<22>(m)));
        const auto subnormal = hn::Mul(hn::ConvertTo(df, hn::BitCast(di, m)), half);
        const auto magnitude = hn::IfThenElse(hn::RebindMask(df, e == zero_u), subnormal, normal);
        const auto value = hn::Or(magnitude, hn::BitCast(df, hn::ShiftLeft<28>(hn::And(code, sign_bit))));
        const auto term = hn::Mul(hn::Mul(value, vs), hn::Load(df, xb + k * 8));
        if (k & 1) {
          a1 = hn::Add(a1, term);
        } else {
          a0 = hn::Add(a0, term);
        }
      }
    }
  }
  float sum = SumLanes(df, hn::Add(a0, a1));
  for (uint32_t c = blocks * 8; c < words; ++c) {
    const float scale = bf16_to_f32(s[c / words_per_group]);
    for (uint32_t k = 0; k < 8; ++k) sum += kFp4E2m1Lut[(w[c] >> (4 * k)) & 0xF] * scale * x[8 * c + k];
  }
  return sum;
}

// ---- bf16: sum += widen(w) * x ----

HWY_INLINE float RowBf16(const uint16_t* HWY_RESTRICT w, const float* HWY_RESTRICT x, uint32_t n) {
  const hn::ScalableTag<float> df;
  const hn::RebindToUnsigned<decltype(df)> du;
  const hn::Rebind<uint16_t, decltype(df)> d16;
  const size_t lanes = hn::Lanes(df);
  auto a0 = hn::Zero(df), a1 = hn::Zero(df), a2 = hn::Zero(df), a3 = hn::Zero(df);
  auto widen = [&](size_t c) { return hn::BitCast(df, hn::ShiftLeft<16>(hn::PromoteTo(du, hn::LoadU(d16, w + c)))); };
  size_t c = 0;
  for (; c + 4 * lanes <= n; c += 4 * lanes) {
    a0 = hn::Add(a0, hn::Mul(widen(c), hn::LoadU(df, x + c)));
    a1 = hn::Add(a1, hn::Mul(widen(c + lanes), hn::LoadU(df, x + c + lanes)));
    a2 = hn::Add(a2, hn::Mul(widen(c + 2 * lanes), hn::LoadU(df, x + c + 2 * lanes)));
    a3 = hn::Add(a3, hn::Mul(widen(c + 3 * lanes), hn::LoadU(df, x + c + 3 * lanes)));
  }
  for (; c + lanes <= n; c += lanes) a0 = hn::Add(a0, hn::Mul(widen(c), hn::LoadU(df, x + c)));
  float sum = SumLanes(df, hn::Add(hn::Add(a0, a1), hn::Add(a2, a3)));
  for (; c < n; ++c) sum += bf16_to_f32(w[c]) * x[c];
  return sum;
}

// ---- int8: sum += (float(w) * scale) * x ----

HWY_INLINE float RowInt8(const int8_t* HWY_RESTRICT w, float scale, const float* HWY_RESTRICT x, uint32_t n) {
  const hn::ScalableTag<float> df;
  const hn::RebindToSigned<decltype(df)> di;
  const hn::Rebind<int8_t, decltype(df)> d8;
  const size_t lanes = hn::Lanes(df);
  const auto vs = hn::Set(df, scale);
  auto a0 = hn::Zero(df), a1 = hn::Zero(df), a2 = hn::Zero(df), a3 = hn::Zero(df);
  auto weight = [&](size_t c) { return hn::Mul(hn::ConvertTo(df, hn::PromoteTo(di, hn::LoadU(d8, w + c))), vs); };
  size_t c = 0;
  for (; c + 4 * lanes <= n; c += 4 * lanes) {
    a0 = hn::Add(a0, hn::Mul(weight(c), hn::LoadU(df, x + c)));
    a1 = hn::Add(a1, hn::Mul(weight(c + lanes), hn::LoadU(df, x + c + lanes)));
    a2 = hn::Add(a2, hn::Mul(weight(c + 2 * lanes), hn::LoadU(df, x + c + 2 * lanes)));
    a3 = hn::Add(a3, hn::Mul(weight(c + 3 * lanes), hn::LoadU(df, x + c + 3 * lanes)));
  }
  for (; c + lanes <= n; c += lanes) a0 = hn::Add(a0, hn::Mul(weight(c), hn::LoadU(df, x + c)));
  float sum = SumLanes(df, hn::Add(hn::Add(a0, a1), hn::Add(a2, a3)));
  for (; c < n; ++c) sum += static_cast<float>(w[c]) * scale * x[c];
  return sum;
}

// ---- FP8 E4M3: sum += (fp8[byte] * scale) * x ----

HWY_INLINE float RowFp8(const uint8_t* HWY_RESTRICT w, const uint16_t* HWY_RESTRICT s, const float* HWY_RESTRICT x,
                        uint32_t n, uint32_t group_size, const float* HWY_RESTRICT lut) {
  const hn::ScalableTag<float> df;
  const hn::RebindToSigned<decltype(df)> di;
  const hn::Rebind<uint8_t, decltype(df)> d8;
  const hn::RebindToUnsigned<decltype(df)> du;
  const size_t lanes = hn::Lanes(df);
  auto a0 = hn::Zero(df), a1 = hn::Zero(df);
  float sum = 0.0f;
  const uint32_t groups = group_size == 0 ? 0 : n / group_size;
  for (uint32_t g = 0; g < groups; ++g) {
    const float scale = bf16_to_f32(s[g]);
    const auto vs = hn::Set(df, scale);
    const size_t begin = static_cast<size_t>(g) * group_size;
    const size_t end = begin + group_size;
    size_t c = begin;
    for (; c + 2 * lanes <= end; c += 2 * lanes) {
      const auto i0 = hn::BitCast(di, hn::PromoteTo(du, hn::LoadU(d8, w + c)));
      const auto i1 = hn::BitCast(di, hn::PromoteTo(du, hn::LoadU(d8, w + c + lanes)));
      a0 = hn::Add(a0, hn::Mul(hn::Mul(hn::GatherIndex(df, lut, i0), vs), hn::LoadU(df, x + c)));
      a1 = hn::Add(a1, hn::Mul(hn::Mul(hn::GatherIndex(df, lut, i1), vs), hn::LoadU(df, x + c + lanes)));
    }
    for (; c < end; ++c) sum += lut[w[c]] * scale * x[c];
  }
  return sum + SumLanes(df, hn::Add(a0, a1));
}

void MatvecRows(const MatvecJob& job, const float* x_octets, uint32_t row_begin, uint32_t row_end) {
  const uint32_t n = job.in_dim;
  switch (job.format) {
    case MatvecFormat::Affine4: {
      const uint32_t words = n / 8;
      const uint32_t groups = n / job.group_size;
      const uint32_t wpg = job.group_size / 8;
      const auto* w = static_cast<const uint32_t*>(job.weights);
      for (uint32_t r = row_begin; r < row_end; ++r) {
        job.out[r] = RowAffine4(w + static_cast<size_t>(r) * words, job.scales_bf16 + static_cast<size_t>(r) * groups,
                                job.biases_bf16 + static_cast<size_t>(r) * groups, job.x, x_octets, words, wpg);
      }
      break;
    }
    case MatvecFormat::Fp4: {
      const uint32_t words = n / 8;
      const uint32_t groups = n / job.group_size;
      const uint32_t wpg = job.group_size / 8;
      const auto* w = static_cast<const uint32_t*>(job.weights);
      for (uint32_t r = row_begin; r < row_end; ++r) {
        job.out[r] = RowFp4(w + static_cast<size_t>(r) * words, job.scales_bf16 + static_cast<size_t>(r) * groups,
                            job.x, x_octets, words, wpg);
      }
      break;
    }
    case MatvecFormat::Bf16: {
      const auto* w = static_cast<const uint16_t*>(job.weights);
      for (uint32_t r = row_begin; r < row_end; ++r) job.out[r] = RowBf16(w + static_cast<size_t>(r) * n, job.x, n);
      break;
    }
    case MatvecFormat::Int8: {
      const auto* w = static_cast<const int8_t*>(job.weights);
      for (uint32_t r = row_begin; r < row_end; ++r) {
        job.out[r] = RowInt8(w + static_cast<size_t>(r) * n, job.scales_f32[r], job.x, n);
      }
      break;
    }
    case MatvecFormat::Fp8: {
      const auto* w = static_cast<const uint8_t*>(job.weights);
      const uint32_t groups = n / job.group_size;
      const float* lut = fp8_e4m3_lut().data();
      for (uint32_t r = row_begin; r < row_end; ++r) {
        job.out[r] = RowFp8(w + static_cast<size_t>(r) * n, job.scales_bf16 + static_cast<size_t>(r) * groups, job.x,
                            n, job.group_size, lut);
      }
      break;
    }
  }
}

}  // namespace varkel::metal::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace varkel::metal {

HWY_EXPORT(MatvecRows);

void matvec_rows(const MatvecJob& job, const float* x_octets, uint32_t row_begin, uint32_t row_end) {
  HWY_DYNAMIC_DISPATCH(MatvecRows)(job, x_octets, row_begin, row_end);
}

}  // namespace varkel::metal
#endif
