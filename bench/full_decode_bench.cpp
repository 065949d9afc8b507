// Decode speed at full size: both engines over synthetic FullModel directories
// (40 layers, 256 experts per layer) with the "bq4" and the "int4" storage
// types, written once under --dir and reused. The int4 directory links to the
// bq4 one's expert files: expert records are 4-bit in both schemes.
//
// Every router gives experts 0..31 of each layer a large push along one of
// four directions, so each token's k experts come from those 32: the working
// set (about 2.3 GB of records) stays in the page cache of a small machine,
// while every file still holds all 256 records.
//
// The parent process runs one child per case (storage scheme x k x thread
// count): the worker pool sizes itself at first use, so a thread count needs
// its own process. Each child measures, in alternating
// rounds, both engines, the memory-read probe and the page-cache read
// bandwidth, and reports medians of the per-round figures.
//
// --capped runs the case this module exists for instead: the int4 model with
// a router that spreads each layer's tokens over all 256 experts (its own
// weight file, the same expert files), in a memory cgroup of --cap-gb GB (8)
// that the benchmark makes, page cache dropped first, on all cores, next to a
// random-read probe of the expert files from disk measured in the same run,
// with the disk's busy share and how often the engines' guess of each next
// layer's experts was right; the FusedExp2 engine runs a second time without
// that guess (VARKEL_PREDICT_EXPERTS=0).
//
// Usage: full_decode_bench [--dir PATH] [--tokens N] [--rounds R] [--reserve-gb G]
//                          [--threads LIST] [--ks LIST] [--schemes LIST] [--capped] [--cap-gb G]

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "bandwidth_probe.h"
#include "disk_read_probe.h"
#include "memory_cgroup.h"
#include "decode_run.h"
#include "engine/qwen35_constants.h"
#include "engine/qwen35_moe/expert_io.h"
#include "metal/kernels/worker_pool.h"
#include "model/model.h"
#include "support/test_model_writer.h"
#include "support/test_values.h"

namespace varkel::bench {
namespace {

namespace fs = std::filesystem;
using test_support::kExpertRecordSize;

constexpr std::size_t kHotExperts = 32;        // experts 0..31 of every layer
constexpr std::size_t kHotGroup = 8;           // experts sharing one direction and sign
constexpr float kRouterPush = 4.0f;            // push relative to a router row's own scale
constexpr std::string_view kDoneMarker = "bench_complete";

struct Options {
  fs::path dir = fs::path(VARKEL_SOURCE_DIR) / ".cache" / "bench";
  std::size_t tokens = 200;
  std::size_t rounds = 4;
  double reserve_gb = 15.0;
  std::vector<std::size_t> threads;  // empty: {all cores, 2}
  std::vector<std::size_t> ks = {4, 8};
  std::vector<std::string> schemes = {"bq4", "int4"};
  bool capped = false;
  double cap_gb = 8.0;
  // Child mode: one case.
  bool child = false;
  fs::path model;
  std::size_t k = 8;
  fs::path cgroup;  // capped: the cgroup to join
};

std::vector<std::string> split(std::string_view text) {
  std::vector<std::string> out;
  std::stringstream in{std::string(text)};
  for (std::string item; std::getline(in, item, ',');) {
    if (!item.empty()) out.push_back(item);
  }
  return out;
}

std::size_t positive(std::string_view flag, const std::string& text) {
  std::size_t used = 0;
  unsigned long long v = 0;
  try {
    v = std::stoull(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != text.size() || v == 0) throw std::runtime_error(fmt::format("{} wants positive integers, got {}", flag, text));
  return static_cast<std::size_t>(v);
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string_view flag = argv[i];
    if (flag == "--child" || flag == "--capped") {
      (flag == "--child" ? o.child : o.capped) = true;
      continue;
    }
    if (i + 1 >= argc) throw std::runtime_error(fmt::format("{} needs a value", flag));
    const std::string value = argv[++i];
    if (flag == "--dir") {
      o.dir = value;
    } else if (flag == "--model") {
      o.model = value;
    } else if (flag == "--tokens") {
      o.tokens = positive(flag, value);
    } else if (flag == "--rounds") {
      o.rounds = positive(flag, value);
    } else if (flag == "--cgroup") {
      o.cgroup = value;
    } else if (flag == "--cap-gb") {
      o.cap_gb = std::stod(value);
    } else if (flag == "--reserve-gb") {
      o.reserve_gb = std::stod(value);
    } else if (flag == "--k") {
      o.k = positive(flag, value);
      o.ks = {o.k};
    } else if (flag == "--ks") {
      o.ks.clear();
      for (const auto& item : split(value)) o.ks.push_back(positive(flag, item));
    } else if (flag == "--threads") {
      o.threads.clear();
      for (const auto& item : split(value)) o.threads.push_back(positive(flag, item));
    } else if (flag == "--schemes") {
      o.schemes = split(value);
      for (const auto& s : o.schemes) {
        if (s != "bq4" && s != "int4") throw std::runtime_error(fmt::format("unknown scheme {}", s));
      }
    } else {
      throw std::runtime_error(fmt::format("unknown option {}", flag));
    }
  }
  if (o.tokens < o.rounds) throw std::runtime_error("--tokens must be at least --rounds");
  if (o.tokens + 64 > qwen35::kMaxSeq / 2) throw std::runtime_error("--tokens must leave room in the 4096 positions");
  return o;
}

// ---- writing the models ----

// "bq4", "int4", or "int4_spread" (the capped case: the router left as drawn).
test_support::TestModelOptions bench_model_options(std::string_view scheme) {
  const bool int4 = scheme != "bq4";
  test_support::TestModelOptions options = test_support::full_model_options(false);
  options.int4_scheme = int4;
  options.write_experts = !int4;  // int4 links to the bq4 records
  if (scheme == "int4_spread") return options;
  options.adjust_values = [](const std::string& name, std::size_t row_begin, std::size_t rows, std::size_t cols,
                             std::span<float> values) {
    if (!name.ends_with(".mlp.gate.weight")) return;
    std::vector<float> direction(cols);
    for (std::size_t r = 0; r < rows; ++r) {
      const std::size_t expert = row_begin + r;
      if (expert >= kHotExperts) continue;
      const std::size_t group = expert / kHotGroup;
      test_support::tensor_values(1, fmt::format("bench.router_direction.{}", group / 2), 0, 1, cols, direction);
      const float sign = group % 2 == 0 ? kRouterPush : -kRouterPush;
      for (std::size_t c = 0; c < cols; ++c) values[r * cols + c] += sign * direction[c];
    }
  };
  return options;
}

uint64_t estimated_bytes(const test_support::TestModelOptions& options) {
  double bytes = 0;
  for (const auto& t : test_support::test_model_tensors(options)) {
    const double n = static_cast<double>(t.rows) * static_cast<double>(t.cols);
    switch (t.dtype) {
      case DType::U32: bytes += n * (0.5 + 4.0 / 64); break;  // 4-bit codes, bf16 scale and bias per 64
      case DType::U8: bytes += n * (1.0 + 4.0 / 64); break;
      case DType::F32: bytes += n * 4; break;
      default: bytes += n * 2; break;
    }
  }
  if (options.write_experts) {
    bytes += static_cast<double>(options.layers * options.experts) * static_cast<double>(kExpertRecordSize);
  }
  return static_cast<uint64_t>(bytes * 1.02);
}

fs::path scheme_dir(const Options& o, std::string_view scheme) { return o.dir / fmt::format("full_{}", scheme); }

void ensure_models(const Options& o) {
  // int4 needs the bq4 expert files.
  std::vector<std::string> needed = {"bq4"};
  if (o.capped) {
    needed.push_back("int4_spread");
  } else if (std::find(o.schemes.begin(), o.schemes.end(), "int4") != o.schemes.end()) {
    needed.push_back("int4");
  }
  uint64_t to_write = 0;
  for (const auto& scheme : needed) {
    if (!fs::exists(scheme_dir(o, scheme) / kDoneMarker)) to_write += estimated_bytes(bench_model_options(scheme));
  }
  if (to_write == 0) return;
  fs::create_directories(o.dir);
  struct statvfs fsinfo{};
  if (::statvfs(o.dir.c_str(), &fsinfo) != 0) {
    throw std::runtime_error(fmt::format("cannot query the free space of {}: {}", o.dir.string(), std::strerror(errno)));
  }
  const double free_gb = static_cast<double>(fsinfo.f_bavail) * static_cast<double>(fsinfo.f_frsize) / 1e9;
  const double need_gb = static_cast<double>(to_write) / 1e9;
  if (free_gb - need_gb < o.reserve_gb) {
    throw std::runtime_error(fmt::format(
        "not enough disk space under {}: writing the FullModel directories needs {:.1f} GB, {:.1f} GB are free "
        "and {:.1f} GB must stay free (--reserve-gb); choose another --dir",
        o.dir.string(), need_gb, free_gb, o.reserve_gb));
  }
  for (const auto& scheme : needed) {
    const fs::path dir = scheme_dir(o, scheme);
    if (fs::exists(dir / kDoneMarker)) continue;
    fmt::print(stderr, "writing the {} FullModel to {} (once) ...\n", scheme, dir.string());
    const auto start = std::chrono::steady_clock::now();
    fs::remove_all(dir);
    const bool int4 = scheme != "bq4";
    test_support::write_test_model(dir, bench_model_options(scheme));
    if (int4) fs::create_directory_symlink(fs::path("..") / "full_bq4" / "packed_experts", dir / "packed_experts");
    std::ofstream(dir / kDoneMarker) << "complete\n";
    fmt::print(stderr, "  done in {:.0f} s\n",
               std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
}

// ---- child: one case ----

std::size_t env_threads(const char* name) {
  const char* text = std::getenv(name);
  if (text != nullptr && std::atoi(text) > 0) return static_cast<std::size_t>(std::atoi(text));
  const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : cores;
}

// Sustained page-cache read bandwidth with the worker pool's thread count: every thread preads whole hot records of the warm expert files (all
// layers, so the set is larger than the caches, as the decode's is) into its
// own staging buffer for a fixed time. No per-pass barrier, so a thread the OS
// runs late costs only its own share.
class PageCacheProbe {
 public:
  PageCacheProbe(const fs::path& experts_dir, std::size_t layers, std::size_t threads)
      : threads_(std::max<std::size_t>(threads, 1)) {
    for (std::size_t l = 0; l < layers; ++l) {
      const fs::path file = experts_dir / fmt::format("layer_{:02}.bin", l);
      const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) throw std::runtime_error(fmt::format("cannot open {}: {}", file.string(), std::strerror(errno)));
      fds_.push_back(fd);
    }
    if (fds_.empty()) throw std::runtime_error("page-cache probe: no expert files");
    for (std::size_t i = 0; i < threads_; ++i) {
      void* p = std::aligned_alloc(16384, kExpertRecordSize);
      if (p == nullptr) throw std::bad_alloc();
      std::memset(p, 0, kExpertRecordSize);
      slots_.push_back(static_cast<uint8_t*>(p));
    }
    for (std::size_t r = 0; r < records(); ++r) read(0, r);  // warm the records
  }
  ~PageCacheProbe() {
    for (uint8_t* p : slots_) std::free(p);
    for (int fd : fds_) ::close(fd);
  }
  PageCacheProbe(const PageCacheProbe&) = delete;
  PageCacheProbe& operator=(const PageCacheProbe&) = delete;

  // Bytes per second over about `seconds` of reading.
  double measure(double seconds) {
    std::vector<uint64_t> bytes(threads_ * 8, 0);  // a cache line apart
    const auto start = std::chrono::steady_clock::now();
    const auto stop = start + std::chrono::duration<double>(seconds);
    {
      std::vector<std::jthread> readers;
      for (std::size_t t = 0; t < threads_; ++t) {
        readers.emplace_back([&, t] {
          for (std::size_t e = t; std::chrono::steady_clock::now() < stop; e += threads_) {
            read(t, (e * 7) % records());  // stride across layers
            bytes[t * 8] += kExpertRecordSize;
          }
        });
      }
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    uint64_t total = 0;
    for (uint64_t b : bytes) total += b;
    return static_cast<double>(total) / s;
  }

 private:
  std::size_t records() const { return fds_.size() * kHotExperts; }
  // Hot record r: layer r % layers, expert r / layers.
  void read(std::size_t slot, std::size_t r) const {
    const ssize_t got = ::pread(fds_[r % fds_.size()], slots_[slot], kExpertRecordSize,
                                static_cast<off_t>(r / fds_.size() * kExpertRecordSize));
    if (got != static_cast<ssize_t>(kExpertRecordSize)) throw std::runtime_error("page-cache probe: short read");
  }

  std::vector<int> fds_;
  std::size_t threads_;
  std::vector<uint8_t*> slots_;
};

// Field by field, the median over the rounds.
DecodeBreakdown median_breakdown(const std::vector<DecodeBreakdown>& rounds) {
  DecodeBreakdown m;
  auto field = [&](auto pick) {
    std::vector<double> v;
    for (const DecodeBreakdown& b : rounds) v.push_back(pick(b));
    return median(std::move(v));
  };
  for (std::size_t s = 0; s < m.stage_ms.size(); ++s) m.stage_ms[s] = field([s](const DecodeBreakdown& b) { return b.stage_ms[s]; });
  m.other_ms = field([](const DecodeBreakdown& b) { return b.other_ms; });
  m.reads_landed_ms = field([](const DecodeBreakdown& b) { return b.reads_landed_ms; });
  m.stage_waiting_ms = field([](const DecodeBreakdown& b) { return b.stage_waiting_ms; });
  m.records_read = field([](const DecodeBreakdown& b) { return b.records_read; });
  m.records_in_place = field([](const DecodeBreakdown& b) { return b.records_in_place; });
  m.prediction_hit_rate = field([](const DecodeBreakdown& b) { return b.prediction_hit_rate; });
  m.warmed_used_rate = field([](const DecodeBreakdown& b) { return b.warmed_used_rate; });
  m.pool_regions = field([](const DecodeBreakdown& b) { return b.pool_regions; });
  m.pool_wait_ms = field([](const DecodeBreakdown& b) { return b.pool_wait_ms; });
  for (std::size_t s = 0; s < m.busy.size(); ++s) m.busy[s] = field([s](const DecodeBreakdown& b) { return b.busy[s]; });
  return m;
}

// The engine's expert-read phase alone: every layer's reads of k hot records
// (different ones each layer and pass) into k slots, with nothing else to do.
// Bytes per second over about `seconds`.
double expert_read_phase(const Model& model, std::size_t k, double seconds) {
  std::vector<std::unique_ptr<uint8_t, decltype(&std::free)>> buffers;
  std::vector<std::span<uint8_t>> slots;
  for (std::size_t i = 0; i < k; ++i) {
    auto* p = static_cast<uint8_t*>(std::aligned_alloc(16384, kExpertRecordSize));
    if (p == nullptr) throw std::bad_alloc();
    std::memset(p, 0, kExpertRecordSize);
    buffers.emplace_back(p, &std::free);
    slots.emplace_back(p, kExpertRecordSize);
  }
  TelemetryMap telemetry;
  std::vector<uint32_t> experts(k);
  uint64_t bytes = 0;
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t pass = 0; std::chrono::steady_clock::now() - start < std::chrono::duration<double>(seconds); ++pass) {
    for (std::size_t l = 0; l < model.experts().size(); ++l) {
      for (std::size_t i = 0; i < k; ++i) experts[i] = static_cast<uint32_t>((pass * k + i + l) % kHotExperts);
      if (auto read = qwen35::route_experts(model.experts()[l], experts, slots, telemetry); !read) {
        throw std::runtime_error(read.error().to_string());
      }
      bytes += k * kExpertRecordSize;
    }
  }
  return static_cast<double>(bytes) / std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The records a layer read, over the time its reads took to land; NaN when
// every record was used where it lay in the page cache.
double read_bytes_per_second(const DecodeRound& got, std::size_t layers) {
  const double per_layer = got.breakdown.records_read / static_cast<double>(layers);
  if (per_layer <= 0) return std::numeric_limits<double>::quiet_NaN();
  const double layer_read_s = got.expert_io_ms_per_token / 1e3 / static_cast<double>(layers);
  return per_layer * static_cast<double>(kExpertRecordSize) / layer_read_s;
}

// Bytes this process has had read from storage (not from the page cache).
uint64_t storage_read_bytes() {
  std::ifstream in("/proc/self/io");
  for (std::string key; in >> key;) {
    uint64_t value = 0;
    in >> value;
    if (key == "read_bytes:") return value;
  }
  return 0;
}

// The memory-capped case, inside the cgroup the parent made: the disk probe
// and both engines in alternating rounds, each probe on records not read before.
int run_capped_child(const Options& o) {
  MemoryCgroup::join(o.cgroup);
  auto model = Model::load_shared(o.model.string());
  if (!model) throw std::runtime_error(model.error().to_string());
  const std::size_t layers = (*model)->experts().size();
  const fs::path experts = o.model / "packed_experts";
  constexpr std::size_t kProbeRecords = 96;
  std::vector<double> disk_gbs{disk_read_probe(experts, layers, FullModel::kNumExperts, kExpertRecordSize, o.k,
                                               kProbeRecords, 1) / 1e9};
  // Ways of reading records from disk, k records in flight at all times,
  // each way on records no other probe read; five rounds, medians.
  {
    struct Way {
      const char* label;
      DiskReads how;
      std::vector<double> gbs;
    };
    std::vector<Way> ways = {{"threads", DiskReads::Threads, {}},
                             {"threads, 6 reads a record", DiskReads::ThreadsPieces, {}}};
    if (kHaveIoUring) {
      ways.push_back({"io_uring", DiskReads::Ring, {}});
      ways.push_back({"io_uring, 6 reads a record", DiskReads::RingPieces, {}});
      ways.push_back({"io_uring, O_DIRECT", DiskReads::RingDirect, {}});
    }
    std::size_t first = 0;
    for (int round = 0; round < 5; ++round) {
      for (Way& way : ways) {
        const auto got = disk_read_stream(experts, layers, FullModel::kNumExperts, kExpertRecordSize, way.how, o.k, 6,
                                          first, kProbeRecords);
        first += kProbeRecords;
        if (got) way.gbs.push_back(*got / 1e9);
      }
    }
    for (const Way& way : ways) {
      if (!way.gbs.empty()) fmt::print("reads\t{}\t{:.2f}\n", way.label, median(way.gbs));
    }
  }
  std::vector<Decoder> decoders;
  std::vector<std::string> labels;
  // Each decoder its own tokens: one that decoded the tokens another just
  // decoded would find their records in the page cache.
  decoders.emplace_back("Qwen35MoEFusedExp1", *model, o.k, 4, 1);
  labels.emplace_back("Qwen35MoEFusedExp1");
  decoders.emplace_back("Qwen35MoEFusedExp2", *model, o.k, 4, 2);
  labels.emplace_back("Qwen35MoEFusedExp2");
  // The same engine without the guess ahead (an engine reads the switch
  // when it is made).
  ::setenv("VARKEL_PREDICT_EXPERTS", "0", 1);
  decoders.emplace_back("Qwen35MoEFusedExp2", *model, o.k, 4, 3);
  ::unsetenv("VARKEL_PREDICT_EXPERTS");
  labels.emplace_back("Qwen35MoEFusedExp2 no guess");
  struct Samples {
    std::vector<double> tok_s, io_ms, read_gbs, disk_mb, disk_gbs, disk_busy;
    std::vector<DecodeBreakdown> breakdowns;
  };
  std::vector<Samples> samples(decoders.size());
  const std::size_t per_round = o.tokens / o.rounds;
  for (std::size_t r = 0; r < o.rounds; ++r) {
    for (std::size_t j = 0; j < decoders.size(); ++j) {
      const std::size_t i = r % 2 == 0 ? j : decoders.size() - 1 - j;
      const uint64_t storage_before = storage_read_bytes();
      const std::optional<uint64_t> busy_before = disk_busy_ms(experts);
      const auto wall_before = std::chrono::steady_clock::now();
      const DecodeRound got = decoders[i].round(per_round);
      const double wall_ms =
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wall_before).count();
      const std::optional<uint64_t> busy_after = disk_busy_ms(experts);
      const double from_disk = static_cast<double>(storage_read_bytes() - storage_before) / static_cast<double>(per_round);
      Samples& s = samples[i];
      s.tok_s.push_back(1.0 / got.seconds_per_token);
      s.io_ms.push_back(got.expert_io_ms_per_token);
      s.read_gbs.push_back(read_bytes_per_second(got, layers) / 1e9);
      s.disk_mb.push_back(from_disk / 1e6);
      // Storage bytes per second of expert-read time (the weight file's
      // page-ins, outside it, count too: an upper bound).
      s.disk_gbs.push_back(from_disk / (got.expert_io_ms_per_token / 1e3) / 1e9);
      s.disk_busy.push_back(busy_before && busy_after ? static_cast<double>(*busy_after - *busy_before) / wall_ms
                                                      : std::numeric_limits<double>::quiet_NaN());
      s.breakdowns.push_back(got.breakdown);
    }
    disk_gbs.push_back(disk_read_probe(experts, layers, FullModel::kNumExperts, kExpertRecordSize, o.k, kProbeRecords,
                                       static_cast<uint32_t>(r + 2)) /
                       1e9);
  }
  const double disk = median(disk_gbs);
  for (std::size_t i = 0; i < decoders.size(); ++i) {
    const Samples& s = samples[i];
    const double requested_mb = static_cast<double>(layers * o.k * kExpertRecordSize) / 1e6;
    // Tokens per second against what the disk probe allows for the bytes a token fetched.
    const double bound = median(s.disk_mb) > 0 ? disk * 1e3 / median(s.disk_mb) : std::numeric_limits<double>::quiet_NaN();
    // The same, round by round against the mean of the probes just before
    // and just after it: the disk's speed drifts over a run.
    std::vector<double> vs_near;
    for (std::size_t r = 0; r < s.tok_s.size(); ++r) {
      const double near = (disk_gbs[r] + disk_gbs[r + 1]) / 2;
      vs_near.push_back(s.tok_s[r] * s.disk_mb[r] / (near * 1e3));
    }
    fmt::print("capped\t{}\t{:.3f}\t{:.2f}\t{:.2f}\t{:.0f}/{:.0f}\t{:.2f}\t{:.2f}\t{:.3f}\t{:.2f}-{:.2f}\t{:.2f}\t{:.2f}\t{:.2f}\n",
               labels[i], median(s.tok_s), median(s.io_ms), median(s.read_gbs), median(s.disk_mb), requested_mb,
               median(s.disk_gbs), disk, median(s.disk_gbs) / disk,
               *std::min_element(disk_gbs.begin(), disk_gbs.end()), *std::max_element(disk_gbs.begin(), disk_gbs.end()),
               median(s.disk_busy), median(s.tok_s) / bound, median(vs_near));
    fmt::print("breakdown\t{}\t{}\n", labels[i], format_breakdown(median_breakdown(s.breakdowns)));
  }
  fmt::print("peak\t{}\n", MemoryCgroup::peak_bytes(o.cgroup));
  return 0;
}

int run_child(const Options& o) {
  if (!o.cgroup.empty()) return run_capped_child(o);
  auto model = Model::load_shared(o.model.string());
  if (!model) throw std::runtime_error(model.error().to_string());
  const std::size_t layers = (*model)->experts().size();
  const DecodeBytes bytes = decode_bytes(**model, o.k);
  const double per_token = static_cast<double>(bytes.total());

  BandwidthProbe probe(std::size_t{1} << 30);
  PageCacheProbe page_cache(o.model / "packed_experts", layers, metal::worker_count());
  // Enough warm-up tokens that every hot record has been read at least once.
  std::vector<Decoder> decoders;
  decoders.emplace_back("Qwen35MoEFusedExp1", *model, o.k, 24);
  decoders.emplace_back("Qwen35MoEFusedExp2", *model, o.k, 24);

  struct Samples {
    std::vector<double> tok_s, ms, io_ms, roofline, read_fraction;
    std::vector<DecodeBreakdown> breakdowns;
  };
  std::vector<Samples> samples(decoders.size());
  std::vector<double> probe_gbs, page_cache_gbs, read_phase_fraction;
  const std::size_t per_round = o.tokens / o.rounds;
  for (std::size_t r = 0; r < o.rounds; ++r) {
    const double bw = probe.measure(3).bytes_per_second;
    const double pc = page_cache.measure(0.2);
    probe_gbs.push_back(bw / 1e9);
    page_cache_gbs.push_back(pc / 1e9);
    read_phase_fraction.push_back(expert_read_phase(**model, o.k, 0.2) / pc);
    for (std::size_t j = 0; j < decoders.size(); ++j) {
      // Alternate which engine follows the probes (they leave the caches cold).
      const std::size_t i = r % 2 == 0 ? j : decoders.size() - 1 - j;
      const DecodeRound got = decoders[i].round(per_round);
      Samples& s = samples[i];
      s.tok_s.push_back(1.0 / got.seconds_per_token);
      s.ms.push_back(got.seconds_per_token * 1e3);
      s.io_ms.push_back(got.expert_io_ms_per_token);
      s.roofline.push_back(per_token / got.seconds_per_token / bw);
      s.read_fraction.push_back(read_bytes_per_second(got, layers) / pc);
      s.breakdowns.push_back(got.breakdown);
    }
  }
  fmt::print("bytes\t{}\t{}\t{}\t{}\n", bytes.weights, bytes.embedding_row, bytes.experts, bytes.linear_state);
  fmt::print("read_phase\t{:.3f}\t{:.3f}\t{:.3f}\n", median(read_phase_fraction),
             *std::min_element(read_phase_fraction.begin(), read_phase_fraction.end()),
             *std::max_element(read_phase_fraction.begin(), read_phase_fraction.end()));
  for (std::size_t i = 0; i < decoders.size(); ++i) {
    const Samples& s = samples[i];
    fmt::print("row\t{}\t{:.3f}\t{:.2f}\t{:.2f}\t{:.3f}\t{:.3f}\t{:.2f}\t{:.2f}\n", decoders[i].mode(), median(s.tok_s),
               median(s.ms), median(s.io_ms), median(s.roofline), median(s.read_fraction), median(probe_gbs),
               median(page_cache_gbs));
    fmt::print("breakdown\t{}\t{}\n", decoders[i].mode(), format_breakdown(median_breakdown(s.breakdowns)));
  }
  return 0;
}

// ---- parent: every case in its own process ----

std::string shell_quote(std::string_view s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

std::vector<std::string> run_case(const Options& o, const fs::path& model, std::size_t k, std::size_t threads,
                                  const fs::path& cgroup = {}) {
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  std::string command =
      fmt::format("VARKEL_THREADS={0} {1} --child --model {2} --k {3} "
                  "--tokens {4} --rounds {5}",
                  threads, shell_quote(self), shell_quote(model.string()), k, o.tokens, o.rounds);
  if (!cgroup.empty()) command += " --cgroup " + shell_quote(cgroup.string());
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
  if (!pipe) throw std::runtime_error("cannot start a measuring child");
  std::vector<std::string> lines;
  std::string line;
  for (int c; (c = std::fgetc(pipe.get())) != EOF;) {
    if (c == '\n') {
      lines.push_back(std::move(line));
      line.clear();
    } else {
      line += static_cast<char>(c);
    }
  }
  const int status = ::pclose(pipe.release());
  if (status != 0) throw std::runtime_error(fmt::format("measuring child failed: {}", command));
  return lines;
}

std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> out;
  std::stringstream in(line);
  for (std::string item; std::getline(in, item, '\t');) out.push_back(item);
  return out;
}

int run_capped(const Options& o) {
  const std::size_t threads = o.threads.empty() ? env_threads("VARKEL_THREADS") : o.threads.front();
  fmt::print("FullModel int4, routing spread over all {} experts, memory cgroup of {:.1f} GB, page cache dropped "
             "first, {} threads; {} tokens per engine in {} rounds, medians\n",
             FullModel::kNumExperts, o.cap_gb, threads, o.tokens, o.rounds);
  fmt::print("reads = k records / one layer's read time; from disk = MB/token fetched from storage of MB/token "
             "requested; disk rate = those bytes / read time; probe = k at a time, whole records at random offsets, "
             "from disk; fraction = disk rate / probe; busy = share of the run the disk had reads in flight; "
             "vs bound = tok/s / (probe / MB from disk per token); vs near = the same per round, against the probes "
             "just before and after that round\n");
  fmt::print("{:>2} {:<24} {:>7} {:>8} {:>10} {:>11} {:>9} {:>9} {:>6} {:>11} {:>5} {:>8} {:>7}\n", "k", "engine",
             "tok/s", "io ms", "reads GB/s", "from disk", "disk GB/s", "probe", "fract", "probe range", "busy", "vs bound",
             "vs near");
  for (std::size_t k : o.ks) {
    std::vector<std::string> lines;
    {
      MemoryCgroup cgroup(fmt::format("varkel_decode_bench_{}", ::getpid()),
                          static_cast<uint64_t>(o.cap_gb * 1e9));
      drop_page_cache();
      lines = run_case(o, scheme_dir(o, "int4_spread"), k, threads, cgroup.path());
    }
    for (const auto& line : lines) {
      const auto f = fields(line);
      if (f.size() == 13 && f[0] == "capped") {
        fmt::print("{:>2} {:<24} {:>7} {:>8} {:>10} {:>11} {:>9} {:>9} {:>6} {:>11} {:>5} {:>8} {:>7}\n", k, f[1], f[2],
                   f[3], f[4], f[5], f[6], f[7], f[8], f[9], f[10], f[11], f[12]);
      } else if (f.size() == 3 && f[0] == "breakdown") {
        fmt::print("    {} ms/token: {}\n", f[1], f[2]);
      } else if (f.size() == 3 && f[0] == "reads") {
        fmt::print("    disk reads, {} records in flight, {}: {} GB/s\n", k, f[1], f[2]);
      } else if (f.size() == 2 && f[0] == "peak") {
        fmt::print("    cgroup peak: {:.2f} GB\n", std::stod(f[1]) / 1e9);
      }
    }
    std::fflush(stdout);
  }
  return 0;
}

int run_parent(Options o) {
  ensure_models(o);
  if (o.capped) return run_capped(o);
  if (o.threads.empty()) o.threads = {env_threads("VARKEL_THREADS"), 2};
  fmt::print("FullModel decode, {} tokens per engine in {} rounds per case, medians of the rounds\n", o.tokens,
             o.rounds);
  fmt::print("roofline = (bytes/token / s/token) / memory-read probe, each record counted twice (read and used); "
             "read fr = (records a layer read / its read time) / page-cache pread bandwidth (same threads), nan when "
             "every record was used in place\n");
  fmt::print("{:<6} {:>2} {:>3} {:<19} {:>7} {:>8} {:>8} {:>8} {:>8} {:>6} {:>8} {:>8}\n", "scheme", "k", "thr",
             "engine", "tok/s", "ms/tok", "io ms", "MB/tok", "probe", "roofl", "pc GB/s", "read fr");
  for (std::size_t threads : o.threads) {
    for (const auto& scheme : o.schemes) {
      for (std::size_t k : o.ks) {
        const auto lines = run_case(o, scheme_dir(o, scheme), k, threads);
        double mb = 0;
        for (const auto& line : lines) {
          const auto f = fields(line);
          if (f.size() == 5 && f[0] == "bytes") {
            mb = (std::stod(f[1]) + std::stod(f[2]) + std::stod(f[3]) + std::stod(f[4])) / 1e6;
          } else if (f.size() == 9 && f[0] == "row") {
            fmt::print("{:<6} {:>2} {:>3} {:<19} {:>7} {:>8} {:>8} {:>8.1f} {:>8} {:>6} {:>8} {:>8}\n", scheme, k,
                       threads, f[1], f[2], f[3], f[4], mb, f[7], f[5], f[8], f[6]);
          } else if (f.size() == 3 && f[0] == "breakdown") {
            fmt::print("    ms/token: {}\n", f[2]);
          } else if (f.size() == 4 && f[0] == "read_phase") {
            fmt::print("    expert reads alone (k records per layer, all pool threads) / page-cache probe: {} "
                       "(rounds {}-{})\n", f[1], f[2], f[3]);
          }
        }
        std::fflush(stdout);
      }
    }
  }
  return 0;
}

}  // namespace
}  // namespace varkel::bench

int main(int argc, char** argv) {
  try {
    const auto o = varkel::bench::parse(argc, argv);
    return o.child ? varkel::bench::run_child(o) : varkel::bench::run_parent(o);
  } catch (const std::exception& e) {
    fmt::print(stderr, "full_decode_bench: {}\n", e.what());
    return 1;
  }
}
