// The kernels' vector activations against the scalar ones on every SIMD
// target: exp_f32's lanes on a strided sweep of all floats (and, by hand,
// on all 2^32 of them:
//
//   test_metal_kernels --gtest_also_run_disabled_tests --gtest_filter='ActivationLoops.*EveryFloat*'
//
// ), then the loops around them on inputs of every kind.

#include <atomic>
#include <cstring>
#include <limits>
#include <thread>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "metal_kernels/activation_loops_test.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"
#include "metal/kernels/activations-inl.h"

HWY_BEFORE_NAMESPACE();
namespace varkel::metal::testing::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// exp_f32's vector form on the floats with bits first, first + step, ... (n of them).
void ExpLanes(uint64_t first, uint64_t step, size_t n, float* out) {
  const metal::HWY_NAMESPACE::ActF d;
  const size_t L = hn::Lanes(d);
  HWY_ALIGN float in[16];
  for (size_t i = 0; i < n; i += L) {
    for (size_t l = 0; l < L; ++l) in[l] = std::bit_cast<float>(static_cast<uint32_t>(first + (i + l) * step));
    hn::StoreU(metal::HWY_NAMESPACE::ExpF32(hn::Load(d, in)), d, out + i);
  }
}

}  // namespace varkel::metal::testing::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "math_util/every_float.h"
#include "math_util/exp_f32.h"
#include "metal/kernels/activation_loops.h"
#include "metal/kernels/activations.h"
#include "metal_kernels/kernel_harness.h"

namespace varkel::metal::testing {

HWY_EXPORT(ExpLanes);

namespace {

using testing_support::same_result;

// Mismatches of the vector exp against exp_f32 over n floats from `first`, `step` apart.
uint64_t exp_mismatches(uint64_t first, uint64_t step, size_t n) {
  std::vector<float> out(n + 16);
  HWY_DYNAMIC_DISPATCH(ExpLanes)(first, step, n, out.data());
  uint64_t bad = 0;
  for (size_t i = 0; i < n; ++i) {
    const auto bits = static_cast<uint32_t>(first + i * step);
    if (!same_result(out[i], exp_f32(std::bit_cast<float>(bits))) && ++bad <= 5) {
      ADD_FAILURE() << std::hex << bits << ": " << out[i] << " versus " << exp_f32(std::bit_cast<float>(bits));
    }
  }
  return bad;
}

TEST(ActivationLoops, VectorExpGivesTheScalarBitsOnAStridedSweep) {
  for_each_simd_target([] { EXPECT_EQ(exp_mismatches(0, 4093, (uint64_t{1} << 32) / 4093 + 1), 0u); });
}

TEST(ActivationLoops, DISABLED_VectorExpGivesTheScalarBitsOnEveryFloat) {
  for_each_simd_target([] {
    constexpr uint64_t kChunk = uint64_t{1} << 20;
    std::atomic<uint64_t> next{0}, bad{0};
    std::vector<std::thread> threads;
    // SetSupportedTargetsForTest holds for the process: the threads dispatch to this target too.
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&] {
        for (uint64_t c; (c = next.fetch_add(kChunk)) < (uint64_t{1} << 32);) bad += exp_mismatches(c, 1, kChunk);
      });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(bad.load(), 0u);
  });
}

// Inputs for the activations: every kind of float (random bit patterns give
// NaNs, infinities, subnormals and huge values) and the edges of exp_f32's
// range, in a count that leaves a partial vector.
std::vector<float> activation_inputs(std::mt19937& rng) {
  std::vector<float> x = {0.0f, -0.0f, 1.0f, -1.0f, 0x1.62e42ep6f, 0x1.62e430p6f, -104.0f, -0x1.a00002p6f,
                          87.0f, -87.0f, 1e-30f, -1e-30f, std::numeric_limits<float>::infinity(),
                          -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()};
  for (int i = 0; i < 2000; ++i) x.push_back(std::bit_cast<float>(static_cast<uint32_t>(rng())));
  for (float v : random_floats(rng, 2000, -30, 30)) x.push_back(v);
  x.resize(x.size() / 16 * 16 + 3);
  return x;
}

// Which operand's NaN a product passes on is the compiler's choice of
// operand order, in the scalar code as in the vector: any NaN will do.
template <class F>
bool same_bits(const std::vector<float>& got, F want) {
  for (size_t i = 0; i < got.size(); ++i) {
    if (!same_result(got[i], want(i))) {
      ADD_FAILURE() << "element " << i << ": got " << got[i] << ", want " << want(i);
      return false;
    }
  }
  return true;
}

TEST(ActivationLoops, EveryTargetGivesTheScalarBits) {
  std::mt19937 rng(25);
  const auto u = activation_inputs(rng), v = activation_inputs(rng);
  const size_t n = u.size();
  const auto w = random_bf16(rng, n, -2, 2);
  for_each_simd_target([&] {
    std::vector<float> out(n);
    activation_loops::silu_times(u.data(), v.data(), out.data(), n);
    EXPECT_TRUE(same_bits(out, [&](size_t i) { return metal::silu(u[i]) * v[i]; }));
    out = v;
    activation_loops::times_sigmoid(out.data(), u.data(), n);
    EXPECT_TRUE(same_bits(out, [&](size_t i) { return v[i] * metal::sigmoid(u[i]); }));
    activation_loops::scaled_silu_gate(v.data(), 0.75f, u.data(), w.data(), out.data(), n);
    EXPECT_TRUE(same_bits(out, [&](size_t i) { return v[i] * 0.75f * metal::silu(u[i]) * float(bf16_value(w[i])); }));
  });
}

}  // namespace
}  // namespace varkel::metal::testing
#endif
