// The group loop is compiled once per SIMD target and chosen at run time;
// every target gives the bytes of the scalar rule (no fused multiply-add,
// the same NaN-ignoring extremes, codes truncated from the same f32 values).
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "dtype/quant_int4.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

#include <cstring>

#include "dtype/bf16.h"
#include "dtype/encoding_support.h"
#include "dtype/quant_int4.h"

HWY_BEFORE_NAMESPACE();
namespace varkel::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// One group of 64 values into 8 words, its scale and its bias.
void QuantGroup(const float* HWY_RESTRICT x, uint32_t* HWY_RESTRICT words, uint16_t& scale_out, uint16_t& bias_out) {
  const hn::CappedTag<float, kInt4Group> d;
  const hn::RebindToSigned<decltype(d)> di;
  const hn::Rebind<uint8_t, decltype(d)> d8;
  const size_t n = hn::Lanes(d);

  auto lo = hn::LoadU(d, x);
  auto hi = lo;
  auto nan = hn::VecFromMask(d, hn::IsNaN(lo));
  for (size_t i = n; i < kInt4Group; i += n) {
    const auto v = hn::LoadU(d, x + i);
    lo = hn::Min(lo, v);
    hi = hn::Max(hi, v);
    nan = hn::Or(nan, hn::VecFromMask(d, hn::IsNaN(v)));
  }
  float mn = hn::GetLane(hn::MinOfLanes(d, lo));
  float mx = hn::GetLane(hn::MaxOfLanes(d, hi));
  // Min and Max leave NaN and the sign of a zero extreme to the target.
  if (!hn::AllFalse(d, hn::MaskFromVec(nan)) || mn == 0.0f || mx == 0.0f) {
    detail::min_max_num(x, kInt4Group, mn, mx);
  }

  if (mx == mn) mx = mn + 1.0f;
  const float scale = (mx - mn) / 15.0f;
  scale_out = f32_to_bf16(scale);
  bias_out = f32_to_bf16(mn);
  const float inv = 1.0f / scale;

  const auto vmn = hn::Set(d, mn);
  const auto vinv = hn::Set(d, inv);
  const auto half = hn::Set(d, 0.5f);
  const auto one = hn::Set(d, 1.0f);
  const auto fifteen = hn::Set(d, 15.0f);
  alignas(64) uint8_t codes[kInt4Group];
  for (size_t i = 0; i < kInt4Group; i += n) {
    const auto q = hn::Add(hn::Mul(hn::Sub(hn::LoadU(d, x + i), vmn), vinv), half);
    // Below 1, NaN included, the code is 0; from 15 up it is 15.
    const auto clamped = hn::IfThenElseZero(hn::Ge(q, one), hn::Min(q, fifteen));
    hn::StoreU(hn::DemoteTo(d8, hn::ConvertTo(di, clamped)), d8, codes + i);
  }
  // Eight byte codes into one word, the first in the low nibble.
  for (size_t j = 0; j < 8; ++j) {
    uint64_t v;
    std::memcpy(&v, codes + 8 * j, sizeof v);
    v = (v | (v >> 4)) & 0x00FF00FF00FF00FFull;
    v = (v | (v >> 8)) & 0x0000FFFF0000FFFFull;
    v = (v | (v >> 16)) & 0x00000000FFFFFFFFull;
    words[j] = static_cast<uint32_t>(v);
  }
}

void QuantInt4Row(const float* row, std::size_t groups, uint32_t* words, uint16_t* scales, uint16_t* biases) {
  for (std::size_t g = 0; g < groups; ++g) {
    QuantGroup(row + g * kInt4Group, words + 8 * g, scales[g], biases[g]);
  }
}

}  // namespace varkel::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace varkel {

HWY_EXPORT(QuantInt4Row);

std::expected<Int4Quantized, std::string> quant_f32_to_int4(std::span<const float> data, std::size_t rows,
                                                            std::size_t cols) {
  if (auto error = detail::check_data_length(data.size(), rows, cols)) return std::unexpected(std::move(*error));
  const std::size_t words_per_row = cols / 8;
  const std::size_t groups = cols / kInt4Group;
  Int4Quantized out;
  out.words.assign(rows * words_per_row, 0);
  out.scales.assign(rows * groups, 0);
  out.biases.assign(rows * groups, 0);
  // Rows narrower than one group have no scale and keep code 0 (and the
  // arrays may be empty, with no element to point at).
  if (groups == 0) return out;
  const auto quant_row = HWY_DYNAMIC_DISPATCH(QuantInt4Row);
  detail::for_each_row(rows, cols, [&](std::size_t r) {
    quant_row(data.data() + r * cols, groups, out.words.data() + r * words_per_row, out.scales.data() + r * groups,
              out.biases.data() + r * groups);
  });
  return out;
}

}  // namespace varkel
#endif  // HWY_ONCE
