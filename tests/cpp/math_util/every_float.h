#pragma once
// Checks shared by the float math function tests: a table of hard inputs and
// a strided sweep of all float bit patterns for every run, and all 2^32 of
// them by hand.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

namespace varkel::testing_support {

// Bits equal, or both NaN.
inline bool same_result(float got, float want) {
  return std::bit_cast<uint32_t>(got) == std::bit_cast<uint32_t>(want) || (std::isnan(got) && std::isnan(want));
}

// An input worth checking every run, and why.
struct HardInput {
  uint32_t x;
  const char* why;
};

template <class Ours, class Want>
void expect_correctly_rounded_at(const char* name, std::span<const HardInput> inputs, Ours ours, Want want) {
  for (const HardInput& c : inputs) {
    const float x = std::bit_cast<float>(c.x);
    EXPECT_PRED2(same_result, ours(x), want(x)) << name << " " << std::hex << c.x << ": " << c.why;
  }
}

template <class Ours, class Want>
void expect_strided_sweep_correctly_rounded(Ours ours, Want want) {
  int mismatches = 0;
  for (uint64_t bits = 0; bits < (uint64_t{1} << 32); bits += 4093) {
    const float x = std::bit_cast<float>(static_cast<uint32_t>(bits));
    if (!same_result(ours(x), want(x)) && ++mismatches <= 10) {
      ADD_FAILURE() << std::hex << bits << ": " << ours(x) << " versus " << want(x);
    }
  }
  EXPECT_EQ(mismatches, 0);
}

// All 2^32 inputs on 4 threads. Prints a hash of all outputs, ours and the C
// library's: run it once more with the C library's plain (non-FMA) variants,
// GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2,-FMA, and ours must not change.
template <class Ours, class Libc, class Want>
void expect_every_float_correctly_rounded(const char* name, Ours ours, Libc libc, Want want) {
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
          const float got = ours(x), theirs = libc(x), expected = want(x);
          ours_hash = fnv(ours_hash, std::bit_cast<uint32_t>(got));
          libc_hash = fnv(libc_hash, std::bit_cast<uint32_t>(theirs));
          if (!same_result(got, expected)) wrong.push_back(static_cast<uint32_t>(bits));
          if (!same_result(theirs, expected)) ++libc_wrong;
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
  std::printf("%s outputs hash %016llx; C library's hash %016llx, %llu inputs misrounded\n", name,
              static_cast<unsigned long long>(ours_hash), static_cast<unsigned long long>(libc_hash),
              static_cast<unsigned long long>(libc_misrounded));
  for (size_t i = 0; i < mismatches.size() && i < 20; ++i) ADD_FAILURE() << name << " " << std::hex << mismatches[i];
  EXPECT_TRUE(mismatches.empty()) << mismatches.size() << " inputs misrounded";
}

}  // namespace varkel::testing_support
