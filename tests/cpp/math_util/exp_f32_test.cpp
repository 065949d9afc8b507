// exp_f32 against the correctly rounded e^x: the inputs nearest a rounding
// boundary and the edges in a table, a strided sweep of all floats, and (by
// hand, too slow for every run) all 2^32 inputs.
//
//   test_math_util --gtest_also_run_disabled_tests --gtest_filter='*EveryFloat*'
//
// prints a hash of all outputs; run it once more with the C library's plain
// (non-FMA) variants, GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2,-FMA, and the hash
// must not change (the C library's expf hash, printed too, does).

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include "common/reference_exp.h"
#include "math_util/exp_f32.h"

namespace varkel {
namespace {

using testing_support::correctly_rounded_exp;

// Bits equal, or both NaN.
bool same_result(float got, float want) {
  return std::bit_cast<uint32_t>(got) == std::bit_cast<uint32_t>(want) || (std::isnan(got) && std::isnan(want));
}

TEST(ExpF32, HardInputsAndEdgesAreCorrectlyRounded) {
  struct Case {
    uint32_t x;
    const char* why;
  };
  const Case cases[] = {
      {0x4202422f, "the C library's FMA and plain expf differ"},
      {0xc27c65d9, "the C library's FMA and plain expf differ"},
      {0xbd163daf, "the C library's expf misrounds"},
      {0xc1b7f7c1, "the C library's expf misrounds"},
      {0x3ff7dbc6, "the C library's expf misrounds"},
      {0xc16912cd, "nearest a rounding boundary (subnormal result)"},
      {0xbbf0edf1, "near a rounding boundary"},
      {0xbae0e25c, "near a rounding boundary"},
      {0x40315b33, "near a rounding boundary"},
      {0x4001b249, "near a rounding boundary"},
      {0x4288942b, "near a rounding boundary"},
      {0x33800000, "2^-24: e^x just above 1 + 2^-24"},
      {0x337fffff, "below 2^-24: rounds to 1"},
      {0xb3000000, "-2^-25: rounds to 1"},
      {0x42b17217, "largest finite result"},
      {0x42b17218, "overflow"},
      {0x42b20000, "89"},
      {0xc2aeac4f, "smallest normal result"},
      {0xc2cff1b4, "smallest subnormal result"},
      {0xc2cff1b5, "underflow to zero"},
      {0xc2d00000, "-104, past the underflow cut-off"},
      {0x00000000, "+0"},
      {0x80000000, "-0"},
      {0x00000001, "smallest subnormal input"},
      {0x7f800000, "+inf"},
      {0xff800000, "-inf"},
      {0x7fc00000, "NaN"},
      {0xffc00001, "negative NaN"},
  };
  for (const Case& c : cases) {
    const float x = std::bit_cast<float>(c.x);
    EXPECT_PRED2(same_result, exp_f32(x), correctly_rounded_exp(x)) << std::hex << c.x << ": " << c.why;
  }
}

TEST(ExpF32, StridedSweepIsCorrectlyRounded) {
  int mismatches = 0;
  for (uint64_t bits = 0; bits < (uint64_t{1} << 32); bits += 4093) {
    const float x = std::bit_cast<float>(static_cast<uint32_t>(bits));
    if (!same_result(exp_f32(x), correctly_rounded_exp(x)) && ++mismatches <= 10) {
      ADD_FAILURE() << std::hex << bits << ": " << exp_f32(x) << " versus " << correctly_rounded_exp(x);
    }
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(ExpF32, DISABLED_EveryFloatIsCorrectlyRounded) {
  constexpr uint32_t kThreads = 4, kChunks = 256;
  constexpr uint64_t kChunkSize = (uint64_t{1} << 32) / kChunks;
  struct ChunkResult {
    uint64_t ours_hash, libc_hash;
  };
  std::vector<ChunkResult> chunks(kChunks);
  std::mutex mutex;
  std::vector<uint32_t> mismatches;
  uint64_t libc_misrounded = 0;
  auto fnv = [](uint64_t h, uint32_t v) { return (h ^ v) * 0x100000001b3; };
  std::vector<std::jthread> workers;
  for (uint32_t t = 0; t < kThreads; ++t) {
    workers.emplace_back([&, t] {
      for (uint32_t c = t; c < kChunks; c += kThreads) {
        uint64_t ours_hash = 0xcbf29ce484222325, libc_hash = ours_hash, libc_wrong = 0;
        std::vector<uint32_t> wrong;
        for (uint64_t bits = c * kChunkSize; bits < (c + 1) * kChunkSize; ++bits) {
          const float x = std::bit_cast<float>(static_cast<uint32_t>(bits));
          const float ours = exp_f32(x), libc = std::exp(x), want = correctly_rounded_exp(x);
          ours_hash = fnv(ours_hash, std::bit_cast<uint32_t>(ours));
          libc_hash = fnv(libc_hash, std::bit_cast<uint32_t>(libc));
          if (!same_result(ours, want)) wrong.push_back(static_cast<uint32_t>(bits));
          if (!same_result(libc, want)) ++libc_wrong;
        }
        chunks[c] = {ours_hash, libc_hash};
        const std::lock_guard lock(mutex);
        mismatches.insert(mismatches.end(), wrong.begin(), wrong.end());
        libc_misrounded += libc_wrong;
      }
    });
  }
  workers.clear();
  uint64_t ours_hash = 0, libc_hash = 0;
  for (const ChunkResult& c : chunks) {
    ours_hash = fnv(fnv(ours_hash, static_cast<uint32_t>(c.ours_hash)), static_cast<uint32_t>(c.ours_hash >> 32));
    libc_hash = fnv(fnv(libc_hash, static_cast<uint32_t>(c.libc_hash)), static_cast<uint32_t>(c.libc_hash >> 32));
  }
  std::printf("exp_f32 outputs hash %016llx; C library expf hash %016llx, %llu inputs misrounded\n",
              static_cast<unsigned long long>(ours_hash), static_cast<unsigned long long>(libc_hash),
              static_cast<unsigned long long>(libc_misrounded));
  for (size_t i = 0; i < mismatches.size() && i < 20; ++i) ADD_FAILURE() << std::hex << mismatches[i];
  EXPECT_TRUE(mismatches.empty()) << mismatches.size() << " inputs misrounded";
}

}  // namespace
}  // namespace varkel
