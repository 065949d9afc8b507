// SIMD row loops of the tiled mat-vec kernels, compiled once per target and
// chosen at run time.
//
// Each row is summed as a SIMD group of 32 lanes would: lane l walks the
// row's units l, l + 32, l + 64, ... (a packed word of 8 codes, or one
// element) into its own f32 sum, and only the 32 lane sums are combined at
// the end, in simd_group_sum's order. The lanes live in 32 / N vectors of N
// floats, so every target rounds exactly alike. Packed rows take code k of 32 words per step; x is
// transposed once per dispatch (regroup_x_blocks) so that those 32 words'
// columns 8w + k are contiguous.

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "metal/kernels/matvec_simd.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/cache_control.h"
#include "hwy/highway.h"

#include <array>
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
// The one-element-per-unit rows (bf16, fp8) consume bytes several times as
// fast: they look further ahead.
constexpr size_t kElementPrefetchBytes = 8192;

// Up to 16 floats per vector: two vectors hold the 32 lanes on AVX-512.
using DF = hn::CappedTag<float, 16>;
constexpr size_t kVecLanes = hn::MaxLanes(DF());
constexpr size_t kVectors = kMatvecLanes / kVecLanes;
using Acc = hn::Vec<DF>;

// For the lambdas the row loops call per vector: a call there would spill the sums.
#ifndef VARKEL_LAMBDA_INLINE
#define VARKEL_LAMBDA_INLINE __attribute__((always_inline))
#endif

// The sum of a vector's lanes, halving: lane i adds lane i + N/2, then the
// same on the lower half, down to one lane.
template <class D>
HWY_INLINE float HalvingSum(D d, hn::Vec<D> v) {
#if HWY_TARGET != HWY_SCALAR
  if constexpr (hn::MaxLanes(D()) > 1) {
    const hn::Half<D> dh;
    return HalvingSum(dh, hn::Add(hn::LowerHalf(dh, v), hn::UpperHalf(dh, v)));
  }
#endif
  return hn::GetLane(v);
}

// The lane sums after the whole blocks; lanes below `extra` then take one
// more unit (the row's last, partial block) and the 32 sums are added in
// simd_group_sum's order: vectors halve first (vector v holds lanes vN ..
// vN + N - 1), then the lanes of the one left.
template <class Unit>
HWY_INLINE float CombineLanes(Acc (&acc)[kVectors], uint32_t first_extra, uint32_t extra, Unit&& unit) {
  const DF d;
  if (extra != 0) {
    alignas(64) float lanes[kMatvecLanes];
    for (size_t v = 0; v < kVectors; ++v) hn::Store(acc[v], d, lanes + v * kVecLanes);
    for (uint32_t l = 0; l < extra; ++l) lanes[l] = unit(lanes[l], first_extra + l);
    for (size_t v = 0; v < kVectors; ++v) acc[v] = hn::Load(d, lanes + v * kVecLanes);
  }
  for (size_t count = kVectors / 2; count > 0; count /= 2) {
    for (size_t v = 0; v < count; ++v) acc[v] = hn::Add(acc[v], acc[v + count]);
  }
  return HalvingSum(d, acc[0]);
}

#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX3
// Lanes 0..7 take the entry of unit `first`'s group, lanes 8..15 that of unit first + 8.
HWY_INLINE __m512 GroupPair(const uint16_t* HWY_RESTRICT v, uint32_t first, uint32_t per_group) {
  if (per_group == 8 && first % 8 == 0) {
    // Two adjacent bf16 entries in one 32-bit load: the low one moves up into
    // lanes 0..7, the high one is already in place in lanes 8..15.
    uint32_t both;
    std::memcpy(&both, v + first / 8, 4);
    const __m512i counts = _mm512_setr_epi32(16, 16, 16, 16, 16, 16, 16, 16, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m512i bits = _mm512_sllv_epi32(_mm512_set1_epi32(static_cast<int>(both)), counts);
    return _mm512_castsi512_ps(_mm512_and_si512(bits, _mm512_set1_epi32(static_cast<int>(0xFFFF0000u))));
  }
  const float lo = bf16_to_f32(v[first / per_group]);
  const float hi = bf16_to_f32(v[(first + 8) / per_group]);
  return _mm512_insertf32x8(_mm512_set1_ps(lo), _mm256_set1_ps(hi), 1);
}
#endif

// The bf16 group entries of units first .. first + N - 1, `per_group` units per group.
HWY_INLINE Acc LaneEntries(const uint16_t* HWY_RESTRICT v, uint32_t first, uint32_t per_group) {
  const DF d;
  if (per_group % kVecLanes == 0) return hn::Set(d, bf16_to_f32(v[first / per_group]));
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX3
  if (per_group % 8 == 0) return Acc{GroupPair(v, first, per_group)};
#endif
  alignas(64) float e[kVecLanes];
  for (size_t i = 0; i < kVecLanes; ++i) e[i] = bf16_to_f32(v[(first + i) / per_group]);
  return hn::Load(d, e);
}

// fma(a, b, c) rounded once, also where the target has no fused form.
HWY_INLINE Acc FusedMulAdd(Acc a, Acc b, Acc c) {
#if HWY_NATIVE_FMA
  return hn::MulAdd(a, b, c);
#else
  const DF d;
  alignas(64) float fa[kVecLanes], fb[kVecLanes], fc[kVecLanes];
  hn::Store(a, d, fa);
  hn::Store(b, d, fb);
  hn::Store(c, d, fc);
  for (size_t i = 0; i < kVecLanes; ++i) fa[i] = std::fma(fa[i], fb[i], fc[i]);
  return hn::Load(d, fa);
#endif
}

// ---- packed words of 8 four-bit codes ----

// The low four bits of each lane of shifted words.
template <class VU>
HWY_INLINE VU LowNibble(VU v) {
  return hn::And(v, hn::Set(hn::RebindToUnsigned<DF>(), 0xFu));
}

// Whole blocks of 32 words of R rows at once (independent sums keep the
// adders busy): lane l takes word 32o + l, its codes k = 0..7 in order, with
// x of column 8(32o + l) + k from the transposed copy xt. decode(v) turns
// words shifted right by 4k (only the low four bits count) into code values;
// make_step(i, first_word) gives row i's per-code term of (value, x), and
// unit(i, sum, word) adds a whole word of row i one code at a time.
template <size_t R, class Decode, class MakeStep, class Unit>
HWY_INLINE void PackedRows(const uint32_t* const (&w)[R], const float* HWY_RESTRICT xt, uint32_t words,
                           Decode&& decode, MakeStep&& make_step, Unit&& unit, float* HWY_RESTRICT out) {
  const DF d;
  const hn::RebindToUnsigned<DF> du;
  Acc acc[R][kVectors];
  for (auto& row : acc) {
    for (auto& a : row) a = hn::Zero(d);
  }
  const uint32_t blocks = words / kMatvecLanes;
  for (uint32_t o = 0; o < blocks; ++o) {
    const float* xb = xt + o * 8 * kMatvecLanes;
    // R streams consume R times as fast: look R times as far ahead.
    for (size_t i = 0; i < R; ++i) {
      hwy::Prefetch(w[i] + o * kMatvecLanes + R * kPrefetchWords);
      hwy::Prefetch(w[i] + o * kMatvecLanes + R * kPrefetchWords + 16);
    }
    auto vector = [&](size_t i, size_t v) VARKEL_LAMBDA_INLINE {
      const uint32_t first = o * kMatvecLanes + static_cast<uint32_t>(v * kVecLanes);
      const auto step = make_step(i, first);
      const auto wv = hn::LoadU(du, w[i] + first);
      [&]<int... K>(std::integer_sequence<int, K...>) VARKEL_LAMBDA_INLINE {
        ((acc[i][v] = hn::Add(acc[i][v], step(decode(hn::ShiftRight<4 * K>(wv)),
                                               hn::Load(d, xb + K * kMatvecLanes + v * kVecLanes)))),
         ...);
      }(std::make_integer_sequence<int, 8>{});
    };
    if constexpr (R * kVectors <= 4) {
      // Unrolled, so that every sum stays in a register.
      [&]<size_t... J>(std::index_sequence<J...>) VARKEL_LAMBDA_INLINE {
        (vector(J % R, J / R), ...);
      }(std::make_index_sequence<R * kVectors>{});
    } else {
      for (size_t v = 0; v < kVectors; ++v) {
        for (size_t i = 0; i < R; ++i) vector(i, v);
      }
    }
  }
  for (size_t i = 0; i < R; ++i) {
    out[i] = CombineLanes(acc[i], blocks * kMatvecLanes, words % kMatvecLanes,
                          [&](float sum, uint32_t c) { return unit(i, sum, c); });
  }
}

#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX3
// Whole blocks of R rows of 4-bit words in groups of 8 words (64 columns,
// the engines' layout): PackedRows' arithmetic in fewer shift and shuffle
// instructions, which with the pinned multiplies are what bound this loop.
// - code 2j of each word sits in the low nibble of the dword that starts at
//   the word's byte j (the 16-entry permute reads only the low four bits of
//   its index), so unaligned loads at byte offsets 1..3 stand in for shifts
//   by 8, 16 and 24; code 2j + 1 is that dword shifted right by 4. The last
//   load reads 3 bytes past the 16 words: the caller only passes rows that
//   have bytes after them.
// - a vector's two groups' scales (and biases) widen with one byte shuffle
//   of their broadcast 32-bit pair.
template <size_t R>
HWY_INLINE void Affine4Groups8Blocks(const uint32_t* const (&w)[R], const uint16_t* const (&s)[R],
                                     const uint16_t* const (&b)[R], const float* HWY_RESTRICT xt, uint32_t blocks,
                                     Acc (&acc)[R][kVectors]) {
  static_assert(kVectors == 2);
  const __m512 codes = _mm512_setr_ps(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  // Per dword: two zero bytes, then bf16 entry 0 (lanes 0..7) or 1 (lanes 8..15).
  const __m512i pair = _mm512_setr_epi32(0x01008080, 0x01008080, 0x01008080, 0x01008080, 0x01008080, 0x01008080,
                                         0x01008080, 0x01008080, 0x03028080, 0x03028080, 0x03028080, 0x03028080,
                                         0x03028080, 0x03028080, 0x03028080, 0x03028080);
  auto widen = [pair](const uint16_t* entries) VARKEL_LAMBDA_INLINE {
    uint32_t both;
    std::memcpy(&both, entries, 4);
    return _mm512_castsi512_ps(_mm512_shuffle_epi8(_mm512_set1_epi32(static_cast<int>(both)), pair));
  };
  for (uint32_t o = 0; o < blocks; ++o) {
    const float* xb = xt + o * 8 * kMatvecLanes;
    for (size_t i = 0; i < R; ++i) {
      hwy::Prefetch(w[i] + o * kMatvecLanes + R * kPrefetchWords);
      hwy::Prefetch(w[i] + o * kMatvecLanes + R * kPrefetchWords + 16);
    }
    // Unrolled, so that the sums and x stay in registers.
#pragma GCC unroll 2
    for (size_t v = 0; v < kVectors; ++v) {
      const uint32_t first = o * kMatvecLanes + static_cast<uint32_t>(v * kVecLanes);
      __m512 xk[8];
#pragma GCC unroll 8
      for (size_t k = 0; k < 8; ++k) xk[k] = _mm512_load_ps(xb + k * kMatvecLanes + v * kVecLanes);
#pragma GCC unroll 4
      for (size_t i = 0; i < R; ++i) {
        const auto* bytes = reinterpret_cast<const char*>(w[i] + first);
        const __m512 vs = widen(s[i] + first / 8);
        const __m512 vb = widen(b[i] + first / 8);
        __m512 sum = acc[i][v].raw;
#pragma GCC unroll 4
        for (size_t j = 0; j < 4; ++j) {
          const __m512i at_byte_j = _mm512_loadu_si512(bytes + j);
          const __m512 c0 = _mm512_permutexvar_ps(at_byte_j, codes);
          const __m512 c1 = _mm512_permutexvar_ps(_mm512_srli_epi32(at_byte_j, 4), codes);
          sum = _mm512_add_ps(sum, _mm512_fmadd_ps(c0, _mm512_mul_ps(vs, xk[2 * j]), _mm512_mul_ps(vb, xk[2 * j])));
          sum = _mm512_add_ps(
              sum, _mm512_fmadd_ps(c1, _mm512_mul_ps(vs, xk[2 * j + 1]), _mm512_mul_ps(vb, xk[2 * j + 1])));
        }
        acc[i][v] = Acc{sum};
      }
    }
  }
}
#endif

// `overread_ok`: every row has at least 4 bytes after it that may be read.
template <size_t R>
HWY_INLINE void RowsAffine4(const uint32_t* const (&w)[R], const uint16_t* const (&s)[R],
                            const uint16_t* const (&b)[R], const float* HWY_RESTRICT x,
                            const float* HWY_RESTRICT xt, uint32_t words, uint32_t words_per_group,
                            bool overread_ok, float* out) {
  auto unit = [&](size_t i, float sum, uint32_t c) {
    const float scale = bf16_to_f32(s[i][c / words_per_group]);
    const float bias = bf16_to_f32(b[i][c / words_per_group]);
    for (uint32_t k = 0; k < 8; ++k) {
      const float xk = x[8 * c + k];
      sum += std::fma(static_cast<float>((w[i][c] >> (4 * k)) & 0xF), scale * xk, bias * xk);
    }
    return sum;
  };
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX3
  if (words_per_group == 8 && overread_ok) {
    Acc acc[R][kVectors];
    for (auto& row : acc) {
      for (auto& a : row) a = hn::Zero(DF());
    }
    const uint32_t blocks = words / kMatvecLanes;
    Affine4Groups8Blocks(w, s, b, xt, blocks, acc);
    for (size_t i = 0; i < R; ++i) {
      out[i] = CombineLanes(acc[i], blocks * kMatvecLanes, words % kMatvecLanes,
                            [&](float sum, uint32_t c) { return unit(i, sum, c); });
    }
    return;
  }
  // The low four bits index a 16-entry table of the codes (vpermps): no mask, no conversion.
  const __m512 codes = _mm512_setr_ps(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  auto decode = [codes](auto v) VARKEL_LAMBDA_INLINE { return Acc{_mm512_permutexvar_ps(v.raw, codes)}; };
#else
  auto decode = [](auto v) VARKEL_LAMBDA_INLINE {
    return hn::ConvertTo(DF(), hn::BitCast(hn::RebindToSigned<DF>(), LowNibble(v)));
  };
#endif
  auto make_step = [&](size_t i, uint32_t first) VARKEL_LAMBDA_INLINE {
    const Acc vs = LaneEntries(s[i], first, words_per_group);
    const Acc vb = LaneEntries(b[i], first, words_per_group);
    return [vs, vb](Acc code, Acc xk) VARKEL_LAMBDA_INLINE {
      return FusedMulAdd(code, hn::Mul(vs, xk), hn::Mul(vb, xk));
    };
  };
  PackedRows(w, xt, words, decode, make_step, unit, out);
}

template <size_t R>
HWY_INLINE void RowsFp4(const uint32_t* const (&w)[R], const uint16_t* const (&s)[R], const float* HWY_RESTRICT x,
                        const float* HWY_RESTRICT xt, uint32_t words, uint32_t words_per_group, float* out) {
#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX3
  const __m512 table = _mm512_loadu_ps(kFp4E2m1Lut.data());
  auto decode = [table](auto v) VARKEL_LAMBDA_INLINE { return Acc{_mm512_permutexvar_ps(v.raw, table)}; };
#else
  auto decode = [](auto v) VARKEL_LAMBDA_INLINE {
    const DF df;
    const hn::RebindToUnsigned<DF> du;
    const hn::RebindToSigned<DF> di;
    const auto code = LowNibble(v);
    // E2M1 magnitude: e = 0 gives m * 0.5, otherwise (1 + m / 2) * 2^(e - 1); bit 3 the sign.
    const auto low = hn::And(code, hn::Set(du, 7u));
    const auto e = hn::ShiftRight<1>(low);
    const auto m = hn::And(low, hn::Set(du, 1u));
    const auto normal =
        hn::BitCast(df, hn::Or(hn::ShiftLeft<23>(hn::Add(e, hn::Set(du, 126u))), hn::ShiftLeft<22>(m)));
    const auto subnormal = hn::Mul(hn::ConvertTo(df, hn::BitCast(di, m)), hn::Set(df, 0.5f));
    const auto magnitude = hn::IfThenElse(hn::RebindMask(df, e == hn::Zero(du)), subnormal, normal);
    return hn::Or(magnitude, hn::BitCast(df, hn::ShiftLeft<28>(hn::And(code, hn::Set(du, 8u)))));
  };
#endif
  auto make_step = [&](size_t i, uint32_t first) VARKEL_LAMBDA_INLINE {
    const Acc vs = LaneEntries(s[i], first, words_per_group);
    return [vs](Acc value, Acc xk) VARKEL_LAMBDA_INLINE { return hn::Mul(hn::Mul(value, vs), xk); };
  };
  auto unit = [&](size_t i, float sum, uint32_t c) {
    const float scale = bf16_to_f32(s[i][c / words_per_group]);
    for (uint32_t k = 0; k < 8; ++k) sum += kFp4E2m1Lut[(w[i][c] >> (4 * k)) & 0xF] * scale * x[8 * c + k];
    return sum;
  };
  PackedRows(w, xt, words, decode, make_step, unit, out);
}

// Rows r .. r + R - 1 of a packed job.
template <size_t R>
HWY_INLINE void PackedJobRows(const MatvecJob& job, const float* HWY_RESTRICT xt, uint32_t r) {
  const uint32_t words = job.in_dim / 8;
  const uint32_t groups = job.in_dim / job.group_size;
  const uint32_t wpg = job.group_size / 8;
  const uint32_t* w[R];
  const uint16_t* s[R];
  const uint16_t* b[R];
  for (size_t i = 0; i < R; ++i) {
    w[i] = static_cast<const uint32_t*>(job.weights) + (r + i) * size_t{words};
    s[i] = job.scales_bf16 + (r + i) * size_t{groups};
    b[i] = job.biases_bf16 ? job.biases_bf16 + (r + i) * size_t{groups} : nullptr;
  }
  if (job.format == MatvecFormat::Affine4) {
    RowsAffine4(w, s, b, job.x, xt, words, wpg, r + R < job.rows, job.out + r);
  } else {
    RowsFp4(w, s, job.x, xt, words, wpg, job.out + r);
  }
}

// ---- one stored element per unit ----

// Whole blocks of 32 elements, lane l taking element 32o + l; terms(c) gives
// the terms of elements c .. c + N - 1 and term(c) a single one.
template <class T, class Terms, class Term>
HWY_INLINE float ElementRow(const T* HWY_RESTRICT w, uint32_t n, Terms&& terms, Term&& term) {
  const DF d;
  Acc acc[kVectors];
  for (auto& a : acc) a = hn::Zero(d);
  const uint32_t blocks = n / kMatvecLanes;
  for (uint32_t o = 0; o < blocks; ++o) {
    const uint32_t c = o * kMatvecLanes;
    const auto* bytes = reinterpret_cast<const char*>(w + c);
    for (size_t line = 0; line < kMatvecLanes * sizeof(T); line += 64) hwy::Prefetch(bytes + kElementPrefetchBytes + line);
    [&]<size_t... V>(std::index_sequence<V...>) VARKEL_LAMBDA_INLINE {
      ((acc[V] = hn::Add(acc[V], terms(c + static_cast<uint32_t>(V * kVecLanes)))), ...);
    }(std::make_index_sequence<kVectors>{});
  }
  return CombineLanes(acc, blocks * kMatvecLanes, n % kMatvecLanes,
                      [&](float sum, uint32_t c) { return sum + term(c); });
}

// bf16: sum += widen(w) * x
HWY_INLINE float RowBf16(const uint16_t* HWY_RESTRICT w, const float* HWY_RESTRICT x, uint32_t n) {
  const DF df;
  const hn::RebindToUnsigned<DF> du;
  const hn::Rebind<uint16_t, DF> d16;
  return ElementRow(
      w, n,
      [&](uint32_t c) VARKEL_LAMBDA_INLINE {
        const auto wide = hn::BitCast(df, hn::ShiftLeft<16>(hn::PromoteTo(du, hn::LoadU(d16, w + c))));
        return hn::Mul(wide, hn::LoadU(df, x + c));
      },
      [&](uint32_t c) { return bf16_to_f32(w[c]) * x[c]; });
}

// int8: sum += float(w) * scale * x, left to right, for R rows of `stride`
// bytes at once. Whole blocks of 32 elements, lane l taking element 32o + l.
template <size_t R>
HWY_INLINE void RowsInt8(const int8_t* HWY_RESTRICT w, size_t stride, const float* HWY_RESTRICT scales,
                         const float* HWY_RESTRICT x, uint32_t n, float* HWY_RESTRICT out) {
  const DF df;
  const hn::RebindToSigned<DF> di;
  const hn::Rebind<int8_t, DF> d8;
  Acc acc[R][kVectors];
  Acc vs[R];
  for (size_t r = 0; r < R; ++r) {
    vs[r] = hn::Set(df, scales[r]);
    for (auto& a : acc[r]) a = hn::Zero(df);
  }
  const uint32_t blocks = n / kMatvecLanes;
  for (uint32_t o = 0; o < blocks; ++o) {
    const uint32_t c = o * kMatvecLanes;
    // The same columns of the next R rows, the next call's: a whole call
    // ahead keeps several rows' reads in flight.
    if (c % 64 == 0) {
      for (size_t r = 0; r < R; ++r) hwy::Prefetch(w + (R + r) * stride + c);
    }
    const auto xv = [&]<size_t... V>(std::index_sequence<V...>) VARKEL_LAMBDA_INLINE {
      return std::array<Acc, kVectors>{hn::LoadU(df, x + c + V * kVecLanes)...};
    }(std::make_index_sequence<kVectors>{});
    // Unit k is row k / kVectors, vector k % kVectors.
    [&]<size_t... K>(std::index_sequence<K...>) VARKEL_LAMBDA_INLINE {
      ((acc[K / kVectors][K % kVectors] = hn::Add(
            acc[K / kVectors][K % kVectors],
            hn::Mul(hn::Mul(hn::ConvertTo(df, hn::PromoteTo(di, hn::LoadU(d8, w + (K / kVectors) * stride + c +
                                                                                 (K % kVectors) * kVecLanes))),
                            vs[K / kVectors]),
                    xv[K % kVectors]))),
       ...);
    }(std::make_index_sequence<R * kVectors>{});
  }
  for (size_t r = 0; r < R; ++r) {
    const int8_t* row = w + r * stride;
    const float scale = scales[r];
    out[r] = CombineLanes(acc[r], blocks * kMatvecLanes, n % kMatvecLanes,
                          [&](float sum, uint32_t c) { return sum + static_cast<float>(row[c]) * scale * x[c]; });
  }
}

// FP8 E4M3: w = fp8[byte] * scale, sum += w * x
HWY_INLINE float RowFp8(const uint8_t* HWY_RESTRICT w, const uint16_t* HWY_RESTRICT s, const float* HWY_RESTRICT x,
                        uint32_t n, uint32_t group_size, const float* HWY_RESTRICT lut) {
  const DF df;
  const hn::RebindToSigned<DF> di;
  const hn::RebindToUnsigned<DF> du;
  const hn::Rebind<uint8_t, DF> d8;
  return ElementRow(
      w, n,
      [&](uint32_t c) VARKEL_LAMBDA_INLINE {
        const auto index = hn::BitCast(di, hn::PromoteTo(du, hn::LoadU(d8, w + c)));
        const auto weight = hn::Mul(hn::GatherIndex(df, lut, index), LaneEntries(s, c, group_size));
        return hn::Mul(weight, hn::LoadU(df, x + c));
      },
      [&](uint32_t c) { return lut[w[c]] * bf16_to_f32(s[c / group_size]) * x[c]; });
}

void MatvecRows(const MatvecJob& job, const float* x_blocks, uint32_t row_begin, uint32_t row_end) {
  const uint32_t n = job.in_dim;
  switch (job.format) {
    case MatvecFormat::Affine4:
    case MatvecFormat::Fp4: {
      uint32_t r = row_begin;
      // Two rows at once where their sums fit the registers.
      constexpr size_t kRows = kVectors <= 2 ? 2 : 1;
      // The job's last row goes alone: it is the one without bytes after it.
      for (; r + kRows <= row_end && r + kRows < job.rows; r += kRows) PackedJobRows<kRows>(job, x_blocks, r);
      for (; r < row_end; ++r) PackedJobRows<1>(job, x_blocks, r);
      break;
    }
    case MatvecFormat::Bf16: {
      const auto* w = static_cast<const uint16_t*>(job.weights);
      for (uint32_t r = row_begin; r < row_end; ++r) job.out[r] = RowBf16(w + static_cast<size_t>(r) * n, job.x, n);
      break;
    }
    case MatvecFormat::Int8: {
      const auto* w = static_cast<const int8_t*>(job.weights);
      // Four rows at once where their sums fit the registers: the rows'
      // streams read from memory together.
      constexpr size_t kRows = kVectors <= 2 ? 4 : 1;
      uint32_t r = row_begin;
      for (; r + kRows <= row_end; r += kRows) {
        RowsInt8<kRows>(w + static_cast<size_t>(r) * n, n, job.scales_f32 + r, job.x, n, job.out + r);
      }
      for (; r < row_end; ++r) RowsInt8<1>(w + static_cast<size_t>(r) * n, n, job.scales_f32 + r, job.x, n, job.out + r);
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

void matvec_rows(const MatvecJob& job, const float* x_blocks, uint32_t row_begin, uint32_t row_end) {
  HWY_DYNAMIC_DISPATCH(MatvecRows)(job, x_blocks, row_begin, row_end);
}

}  // namespace varkel::metal
#endif
