// SIMD row loops of the tiled mat-vec kernels, compiled once per target and
// chosen at run time.
//
// Packed 4-bit rows are walked L words (8L columns) at a time with one word
// per lane: step k takes nibble k of every word, so x is regrouped once per
// dispatch (regroup_x_blocks) to give lane w the column 8w + k.

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "metal/kernels/matvec_simd.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/cache_control.h"
#include "hwy/highway.h"

#include <cmath>
#include <cstring>
#include <utility>

#include "metal/kernels/decode_tables.h"
#include "metal/kernels/matvec_job.h"

HWY_BEFORE_NAMESPACE();
namespace varkel::metal::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// How far ahead of the row loops weights are prefetched: the hardware
// prefetcher alone leaves the compute-heavy loops waiting on memory.
constexpr size_t kPrefetchBytes = 2048;
constexpr uint32_t kPrefetchWords = kPrefetchBytes / 4;

// The portable packed loops' vectors: 8 lanes, or fewer on narrower targets.
using D8 = hn::CappedTag<float, 8>;

template <class D>
HWY_INLINE float SumLanes(D d, hn::Vec<D> v) {
  return hn::GetLane(hn::SumOfLanes(d, v));
}

// Words [first, words) of a packed row, one code at a time.
HWY_INLINE float Affine4Tail(const uint32_t* HWY_RESTRICT w, const uint16_t* HWY_RESTRICT s,
                             const uint16_t* HWY_RESTRICT b, const float* HWY_RESTRICT x, uint32_t first,
                             uint32_t words, uint32_t words_per_group) {
  float sum = 0.0f;
  for (uint32_t c = first; c < words; ++c) {
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

HWY_INLINE float Fp4Tail(const uint32_t* HWY_RESTRICT w, const uint16_t* HWY_RESTRICT s,
                         const float* HWY_RESTRICT x, uint32_t first, uint32_t words, uint32_t words_per_group) {
  float sum = 0.0f;
  for (uint32_t c = first; c < words; ++c) {
    const float scale = bf16_to_f32(s[c / words_per_group]);
    for (uint32_t k = 0; k < 8; ++k) sum += kFp4E2m1Lut[(w[c] >> (4 * k)) & 0xF] * scale * x[8 * c + k];
  }
  return sum;
}

// Whole blocks of a packed row: lane w of step k holds code k of word w of the
// block and x of column 8w + k (from the regrouped x). make_step(o) gives, for
// block o, the per-step term of (codes, x); terms are summed in any order.
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX3
// AVX-512: 16 words (two 64-column groups) per vector. The nibble's low four
// bits index a 16-entry value table directly (vpermps), which saves the mask
// and the integer conversion of the portable path.
constexpr uint32_t kBlockLanes = 16;

template <int K>
HWY_INLINE __m512i Nibbles(__m512i w) {
  if constexpr (K == 0) {
    return w;
  } else {
    return _mm512_srli_epi32(w, 4 * K);  // only the low four bits are used
  }
}

template <class MakeStep>
HWY_INLINE float PackedBlocks(const uint32_t* HWY_RESTRICT w, const float* HWY_RESTRICT xr, uint32_t blocks,
                              __m512 table, MakeStep&& make_step) {
  __m512 acc[4] = {_mm512_setzero_ps(), _mm512_setzero_ps(), _mm512_setzero_ps(), _mm512_setzero_ps()};
  for (uint32_t o = 0; o < blocks; ++o) {
    const auto step = make_step(o);
    hwy::Prefetch(w + o * 16 + kPrefetchWords);
    const __m512i wv = _mm512_loadu_si512(w + o * 16);
    const float* xb = xr + o * 128;
    [&]<int... K>(std::integer_sequence<int, K...>) {
      ((acc[K % 4] = _mm512_add_ps(acc[K % 4], step(_mm512_permutexvar_ps(Nibbles<K>(wv), table),
                                                    _mm512_load_ps(xb + K * 16)))),
       ...);
    }(std::make_integer_sequence<int, 8>{});
  }
  return _mm512_reduce_add_ps(_mm512_add_ps(_mm512_add_ps(acc[0], acc[1]), _mm512_add_ps(acc[2], acc[3])));
}

// Lanes 0..7 take the entry of word `first`'s group, lanes 8..15 that of word first + 8.
HWY_INLINE __m512 GroupPair(const uint16_t* HWY_RESTRICT v, uint32_t first, uint32_t words_per_group) {
  if (words_per_group == 8) {
    // Two adjacent bf16 entries in one 32-bit load: the low one moves up into
    // lanes 0..7, the high one is already in place in lanes 8..15.
    uint32_t both;
    std::memcpy(&both, v + first / 8, 4);
    const __m512i counts = _mm512_setr_epi32(16, 16, 16, 16, 16, 16, 16, 16, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m512i bits = _mm512_sllv_epi32(_mm512_set1_epi32(static_cast<int>(both)), counts);
    return _mm512_castsi512_ps(_mm512_and_si512(bits, _mm512_set1_epi32(static_cast<int>(0xFFFF0000u))));
  }
  const float lo = bf16_to_f32(v[first / words_per_group]);
  const float hi = bf16_to_f32(v[(first + 8) / words_per_group]);
  return _mm512_insertf32x8(_mm512_set1_ps(lo), _mm256_set1_ps(hi), 1);
}

HWY_INLINE float RowAffine4(const uint32_t* HWY_RESTRICT w, const uint16_t* HWY_RESTRICT s,
                            const uint16_t* HWY_RESTRICT b, const float* HWY_RESTRICT x,
                            const float* HWY_RESTRICT xr, uint32_t words, uint32_t words_per_group) {
  const uint32_t blocks = (words_per_group % 8 == 0) ? words / 16 : 0;
  const __m512 codes = _mm512_setr_ps(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  const float sum = PackedBlocks(w, xr, blocks, codes, [&](uint32_t o) {
    const __m512 vs = GroupPair(s, o * 16, words_per_group);
    const __m512 vb = GroupPair(b, o * 16, words_per_group);
    return [vs, vb](__m512 code, __m512 xk) {
      return _mm512_fmadd_ps(code, _mm512_mul_ps(vs, xk), _mm512_mul_ps(vb, xk));
    };
  });
  return sum + Affine4Tail(w, s, b, x, blocks * 16, words, words_per_group);
}

HWY_INLINE float RowFp4(const uint32_t* HWY_RESTRICT w, const uint16_t* HWY_RESTRICT s,
                        const float* HWY_RESTRICT x, const float* HWY_RESTRICT xr, uint32_t words,
                        uint32_t words_per_group) {
  const uint32_t blocks = (words_per_group % 8 == 0) ? words / 16 : 0;
  const float sum = PackedBlocks(w, xr, blocks, _mm512_loadu_ps(kFp4E2m1Lut.data()), [&](uint32_t o) {
    const __m512 vs = GroupPair(s, o * 16, words_per_group);
    return [vs](__m512 value, __m512 xk) { return _mm512_mul_ps(_mm512_mul_ps(value, vs), xk); };
  });
  return sum + Fp4Tail(w, s, x, blocks * 16, words, words_per_group);
}

#else
// Up to 8 lanes: one vector (or two halves) per block of 8 words; the step
// gets the codes as unsigned lanes.
constexpr uint32_t kBlockLanes = 8;

template <class MakeStep>
HWY_INLINE float PackedBlocks(const uint32_t* HWY_RESTRICT w, const float* HWY_RESTRICT xo, uint32_t blocks,
                              MakeStep&& make_step) {
  const D8 df;
  const hn::RebindToUnsigned<D8> du;
  const size_t nv = hn::Lanes(df);
  const auto nibble = hn::Set(du, 0xFu);
  hn::Vec<D8> acc[4] = {hn::Zero(df), hn::Zero(df), hn::Zero(df), hn::Zero(df)};
  for (uint32_t o = 0; o < blocks; ++o) {
    const auto step = make_step(o);
    hwy::Prefetch(w + o * 8 + kPrefetchWords);
    for (size_t h = 0; h < 8; h += nv) {
      const auto wv = hn::LoadU(du, w + o * 8 + h);
      const float* xb = xo + o * 64 + h;
      [&]<int... K>(std::integer_sequence<int, K...>) {
        ((acc[K % 4] = hn::Add(acc[K % 4], step(hn::And(hn::ShiftRight<4 * K>(wv), nibble), hn::Load(df, xb + K * 8)))),
         ...);
      }(std::make_integer_sequence<int, 8>{});
    }
  }
  return SumLanes(df, hn::Add(hn::Add(acc[0], acc[1]), hn::Add(acc[2], acc[3])));
}

HWY_INLINE float RowAffine4(const uint32_t* HWY_RESTRICT w, const uint16_t* HWY_RESTRICT s,
                            const uint16_t* HWY_RESTRICT b, const float* HWY_RESTRICT x,
                            const float* HWY_RESTRICT xo, uint32_t words, uint32_t words_per_group) {
  const uint32_t blocks = (words_per_group % 8 == 0) ? words / 8 : 0;
  const float sum = PackedBlocks(w, xo, blocks, [&](uint32_t o) {
    const D8 df;
    const hn::RebindToSigned<D8> di;
    const uint32_t g = o * 8 / words_per_group;
    const auto vs = hn::Set(df, bf16_to_f32(s[g]));
    const auto vb = hn::Set(df, bf16_to_f32(b[g]));
    return [=](auto code, auto xk) {
      return hn::MulAdd(hn::ConvertTo(df, hn::BitCast(di, code)), hn::Mul(vs, xk), hn::Mul(vb, xk));
    };
  });
  return sum + Affine4Tail(w, s, b, x, blocks * 8, words, words_per_group);
}

HWY_INLINE float RowFp4(const uint32_t* HWY_RESTRICT w, const uint16_t* HWY_RESTRICT s,
                        const float* HWY_RESTRICT x, const float* HWY_RESTRICT xo, uint32_t words,
                        uint32_t words_per_group) {
  const uint32_t blocks = (words_per_group % 8 == 0) ? words / 8 : 0;
  const float sum = PackedBlocks(w, xo, blocks, [&](uint32_t o) {
    const D8 df;
    const hn::RebindToUnsigned<D8> du;
    const hn::RebindToSigned<D8> di;
    const auto vs = hn::Set(df, bf16_to_f32(s[o * 8 / words_per_group]));
    return [=](auto code, auto xk) {
      // E2M1 magnitude: e = 0 gives m * 0.5, otherwise (1 + m / 2) * 2^(e - 1); bit 3 the sign.
      const auto v = hn::And(code, hn::Set(du, 7u));
      const auto e = hn::ShiftRight<1>(v);
      const auto m = hn::And(v, hn::Set(du, 1u));
      const auto normal =
          hn::BitCast(df, hn::Or(hn::ShiftLeft<23>(hn::Add(e, hn::Set(du, 126u))), hn::ShiftLeft<22>(m)));
      const auto subnormal = hn::Mul(hn::ConvertTo(df, hn::BitCast(di, m)), hn::Set(df, 0.5f));
      const auto magnitude = hn::IfThenElse(hn::RebindMask(df, e == hn::Zero(du)), subnormal, normal);
      const auto value = hn::Or(magnitude, hn::BitCast(df, hn::ShiftLeft<28>(hn::And(code, hn::Set(du, 8u)))));
      return hn::Mul(hn::Mul(value, vs), xk);
    };
  });
  return sum + Fp4Tail(w, s, x, blocks * 8, words, words_per_group);
}
#endif  // AVX-512

// ---- one stored element per column ----

// Sum over a row of weight(c) * x[c], where weights(c) gives the weights of
// columns c .. c + lanes - 1 as one vector and weight(c) a single one.
template <class T, class Weights, class Weight>
HWY_INLINE float ElementRow(const T* HWY_RESTRICT w, const float* HWY_RESTRICT x, uint32_t n, Weights&& weights,
                            Weight&& weight) {
  const hn::ScalableTag<float> df;
  const size_t lanes = hn::Lanes(df);
  auto a0 = hn::Zero(df), a1 = hn::Zero(df), a2 = hn::Zero(df), a3 = hn::Zero(df);
  size_t c = 0;
  for (; c + 4 * lanes <= n; c += 4 * lanes) {
    const auto* bytes = reinterpret_cast<const char*>(w + c);
    for (size_t line = 0; line < 4 * lanes * sizeof(T); line += 64) hwy::Prefetch(bytes + kPrefetchBytes + line);
    a0 = hn::Add(a0, hn::Mul(weights(c), hn::LoadU(df, x + c)));
    a1 = hn::Add(a1, hn::Mul(weights(c + lanes), hn::LoadU(df, x + c + lanes)));
    a2 = hn::Add(a2, hn::Mul(weights(c + 2 * lanes), hn::LoadU(df, x + c + 2 * lanes)));
    a3 = hn::Add(a3, hn::Mul(weights(c + 3 * lanes), hn::LoadU(df, x + c + 3 * lanes)));
  }
  for (; c + lanes <= n; c += lanes) a0 = hn::Add(a0, hn::Mul(weights(c), hn::LoadU(df, x + c)));
  float sum = SumLanes(df, hn::Add(hn::Add(a0, a1), hn::Add(a2, a3)));
  for (; c < n; ++c) sum += weight(c) * x[c];
  return sum;
}

// bf16: sum += widen(w) * x
HWY_INLINE float RowBf16(const uint16_t* HWY_RESTRICT w, const float* HWY_RESTRICT x, uint32_t n) {
  const hn::ScalableTag<float> df;
  const hn::RebindToUnsigned<decltype(df)> du;
  const hn::Rebind<uint16_t, decltype(df)> d16;
  return ElementRow(
      w, x, n, [&](size_t c) { return hn::BitCast(df, hn::ShiftLeft<16>(hn::PromoteTo(du, hn::LoadU(d16, w + c)))); },
      [&](size_t c) { return bf16_to_f32(w[c]); });
}

// int8: sum += (float(w) * scale) * x
HWY_INLINE float RowInt8(const int8_t* HWY_RESTRICT w, float scale, const float* HWY_RESTRICT x, uint32_t n) {
  const hn::ScalableTag<float> df;
  const hn::RebindToSigned<decltype(df)> di;
  const hn::Rebind<int8_t, decltype(df)> d8;
  const auto vs = hn::Set(df, scale);
  return ElementRow(
      w, x, n, [&](size_t c) { return hn::Mul(hn::ConvertTo(df, hn::PromoteTo(di, hn::LoadU(d8, w + c))), vs); },
      [&](size_t c) { return static_cast<float>(w[c]) * scale; });
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
      hwy::Prefetch(w + c + kPrefetchBytes);
      const auto i0 = hn::BitCast(di, hn::PromoteTo(du, hn::LoadU(d8, w + c)));
      const auto i1 = hn::BitCast(di, hn::PromoteTo(du, hn::LoadU(d8, w + c + lanes)));
      a0 = hn::Add(a0, hn::Mul(hn::Mul(hn::GatherIndex(df, lut, i0), vs), hn::LoadU(df, x + c)));
      a1 = hn::Add(a1, hn::Mul(hn::Mul(hn::GatherIndex(df, lut, i1), vs), hn::LoadU(df, x + c + lanes)));
    }
    for (; c < end; ++c) sum += lut[w[c]] * scale * x[c];
  }
  return sum + SumLanes(df, hn::Add(a0, a1));
}

uint32_t MatvecBlockLanes() { return kBlockLanes; }

void MatvecRows(const MatvecJob& job, const float* x_blocks, uint32_t row_begin, uint32_t row_end) {
  const uint32_t n = job.in_dim;
  switch (job.format) {
    case MatvecFormat::Affine4:
    case MatvecFormat::Fp4: {
      const uint32_t words = n / 8;
      const uint32_t groups = n / job.group_size;
      const uint32_t wpg = job.group_size / 8;
      for (uint32_t r = row_begin; r < row_end; ++r) {
        const uint32_t* w = static_cast<const uint32_t*>(job.weights) + static_cast<size_t>(r) * words;
        const uint16_t* s = job.scales_bf16 + static_cast<size_t>(r) * groups;
        job.out[r] = job.format == MatvecFormat::Affine4
                         ? RowAffine4(w, s, job.biases_bf16 + static_cast<size_t>(r) * groups, job.x, x_blocks, words, wpg)
                         : RowFp4(w, s, job.x, x_blocks, words, wpg);
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
HWY_EXPORT(MatvecBlockLanes);

uint32_t matvec_block_lanes() { return HWY_DYNAMIC_DISPATCH(MatvecBlockLanes)(); }

void matvec_rows(const MatvecJob& job, const float* x_blocks, uint32_t row_begin, uint32_t row_end) {
  HWY_DYNAMIC_DISPATCH(MatvecRows)(job, x_blocks, row_begin, row_end);
}

}  // namespace varkel::metal
#endif
