// Expert reads (raw and LZ4, one thread and eight) and cache save/load at the full
// model's record and state sizes. Prints MB/s (10^6 bytes); run by hand, never by tests.

#include <lz4.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "cache/cache.h"
#include "model/expert/expert_file.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint64_t kExpertSize = 1769472;  // hidden 2048, intermediate 512
constexpr uint32_t kExperts = 32;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::vector<uint8_t> record(uint32_t expert) {
  // 4-bit codes look random; scales and biases repeat a lot. Half random, half runs.
  std::vector<uint8_t> bytes(kExpertSize);
  std::mt19937 rng(expert);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = (i / 4096) % 2 ? static_cast<uint8_t>(rng()) : uint8_t(expert);
  return bytes;
}

void put_u32(std::ofstream& out, uint32_t v) {
  const char b[4] = {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
  out.write(b, 4);
}

void bench_reads(const char* label, const varkel::ExpertFile& file) {
  std::vector<std::vector<uint8_t>> dst(8, std::vector<uint8_t>(kExpertSize));
  constexpr int kRounds = 40;
  auto start = Clock::now();
  for (int r = 0; r < kRounds; ++r) {
    for (uint32_t k = 0; k < 8; ++k) (void)file.read_expert((r * 8 + k) % kExperts, dst[k]);
  }
  const double one = seconds_since(start);
  start = Clock::now();
  for (int r = 0; r < kRounds; ++r) {
    std::vector<std::jthread> threads;
    for (uint32_t k = 0; k < 8; ++k) {
      threads.emplace_back([&, k, r] { (void)file.read_expert((r * 8 + k) % kExperts, dst[k]); });
    }
  }
  const double eight = seconds_since(start);
  const double bytes = double(kRounds) * 8 * kExpertSize;
  fmt::print("{:<4} read_expert: 1 thread {:8.0f} MB/s, 8 threads {:8.0f} MB/s ({:.2f} ms per layer of 8)\n", label,
             bytes / one / 1e6, bytes / eight / 1e6, eight / kRounds * 1e3);
}

}  // namespace

int main() {
  const auto dir = std::filesystem::temp_directory_path() / fmt::format("varkel-storage-bench-{}", ::getpid());
  std::filesystem::create_directories(dir);
  {
    std::ofstream raw(dir / "raw.bin", std::ios::binary);
    std::vector<std::vector<char>> blocks;
    for (uint32_t e = 0; e < kExperts; ++e) {
      const auto r = record(e);
      raw.write(reinterpret_cast<const char*>(r.data()), r.size());
      std::vector<char> block(LZ4_compressBound(int(kExpertSize)));
      block.resize(LZ4_compress_default(reinterpret_cast<const char*>(r.data()), block.data(), int(kExpertSize),
                                        int(block.size())));
      blocks.push_back(std::move(block));
    }
    std::ofstream lz4(dir / "lz4.bin", std::ios::binary);
    put_u32(lz4, kExperts);
    uint32_t offset = 0;
    put_u32(lz4, 0);
    for (const auto& b : blocks) put_u32(lz4, offset += uint32_t(b.size()));
    for (const auto& b : blocks) lz4.write(b.data(), b.size());
  }
  auto raw = varkel::ExpertFile::open_raw(dir / "raw.bin", 0, kExpertSize);
  auto lz4 = varkel::ExpertFile::open_lz4(dir / "lz4.bin", 0, kExperts, kExpertSize);
  if (!raw || !lz4) {
    fmt::print(stderr, "setup failed\n");
    return 1;
  }
  bench_reads("raw", *raw);
  bench_reads("lz4", *lz4);

  // Eight layers of the full model: six linear, two full attention (≈ 47 MB).
  const varkel::ModelConfig config(nlohmann::json{
      {"num_hidden_layers", 8u}, {"num_key_value_heads", 2u}, {"head_dim", 256u}, {"linear_num_value_heads", 32u},
      {"linear_num_key_heads", 16u}, {"linear_key_head_dim", 128u}, {"linear_value_head_dim", 128u}});
  auto cache = varkel::Cache::create(config);
  if (!cache) return 1;
  auto start = Clock::now();
  if (!cache->save(dir / "c.bin", dir / "c.json")) return 1;
  const double save = seconds_since(start);
  start = Clock::now();
  auto loaded = varkel::Cache::load(dir / "c.bin", dir / "c.json");
  const double load = seconds_since(start);
  const double bytes = double(std::filesystem::file_size(dir / "c.bin"));
  fmt::print("cache {:.1f} MB: save {:.0f} MB/s, load {:.0f} MB/s\n", bytes / 1e6, bytes / save / 1e6,
             loaded ? bytes / load / 1e6 : 0.0);
  std::filesystem::remove_all(dir);
  return 0;
}
