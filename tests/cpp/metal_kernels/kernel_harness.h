#pragma once
// Direct dispatch of one kernel implementation, bypassing the compute layer.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>
#include <span>
#include <vector>

#include "common/simd_targets.h"
#include "metal/kernel_abi.h"

namespace varkel::metal::testing {

using testing_support::for_each_simd_target;

inline const KernelImpl& kernel(std::string_view name) {
  static const std::vector<KernelImpl> all = [] {
    std::vector<KernelImpl> v;
    append_attention_kernels(v);
    append_linear_attention_kernels(v);
    append_norm_and_combine_kernels(v);
    return v;
  }();
  for (const auto& k : all) if (k.name == name) return k;
  throw std::runtime_error("no kernel " + std::string(name));
}

class Dispatch {
 public:
  explicit Dispatch(std::string_view name) : impl_(kernel(name)) {}
  template <class T>
  Dispatch& bind(uint32_t index, std::span<T> data) {
    args_.buffers[index] = {reinterpret_cast<std::byte*>(const_cast<std::remove_const_t<T>*>(data.data())),
                            data.size_bytes()};
    return *this;
  }
  template <class T>
  Dispatch& bind(uint32_t index, std::vector<T>& data) { return bind(index, std::span<T>(data)); }
  template <class T>
  Dispatch& bind(uint32_t index, const std::vector<T>& data) { return bind(index, std::span<const T>(data)); }
  Dispatch& u32(uint32_t index, uint32_t value) { args_.constants[index] = value; return *this; }
  Dispatch& f32(uint32_t index, float value) { return u32(index, std::bit_cast<uint32_t>(value)); }
  Dispatch& grid(uint32_t groups, uint32_t threads, uint32_t groups_y = 1) {
    args_.grid = {{groups, groups_y, 1}, {threads, 1, 1}};
    return *this;
  }
  std::optional<std::string> validate() const { return impl_.validate(args_); }
  void run() const {
    const auto refused = impl_.validate(args_);
    ASSERT_FALSE(refused.has_value()) << *refused;
    impl_.run(args_);
  }

 private:
  const KernelImpl& impl_;
  DispatchArgs args_;
};

inline std::vector<float> random_floats(std::mt19937& rng, std::size_t n, float lo = -1.0f, float hi = 1.0f) {
  std::vector<float> v(n);
  for (auto& x : v) x = std::uniform_real_distribution<float>(lo, hi)(rng);
  return v;
}
inline std::vector<uint16_t> random_bf16(std::mt19937& rng, std::size_t n, float lo = -1.0f, float hi = 1.0f) {
  std::vector<uint16_t> v;
  for (float x : random_floats(rng, n, lo, hi)) v.push_back(static_cast<uint16_t>(std::bit_cast<uint32_t>(x) >> 16));
  return v;
}
inline double bf16_value(uint16_t bits) { return std::bit_cast<float>(uint32_t{bits} << 16); }
inline double silu(double u) { return u / (1.0 + std::exp(-u)); }
inline double sigmoid(double u) { return 1.0 / (1.0 + std::exp(-u)); }

inline double max_error(std::span<const float> got, std::span<const double> want) {
  EXPECT_EQ(got.size(), want.size());
  double worst = 0;
  for (std::size_t i = 0; i < got.size() && i < want.size(); ++i) worst = std::max(worst, std::abs(got[i] - want[i]));
  return worst;
}

// Per-row RMS norm in double: x / rms(x) · weight(i).
inline std::vector<double> rms_reference(std::span<const float> x, double eps, auto weight) {
  double sum = 0;
  for (float v : x) sum += double(v) * v;
  const double inv = 1.0 / std::sqrt(sum / x.size() + eps);
  std::vector<double> out(x.size());
  for (size_t i = 0; i < x.size(); ++i) out[i] = x[i] * inv * weight(i);
  return out;
}

inline constexpr double kEps = 0x1p-24;  // f32 unit roundoff

}  // namespace varkel::metal::testing
