#include "disk_read_probe.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <numeric>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include <fmt/format.h>

namespace varkel::bench {

double disk_read_probe(const std::filesystem::path& experts_dir, std::size_t layers, std::size_t experts,
                       uint64_t record_bytes, std::size_t k, std::size_t records, uint32_t seed) {
  std::vector<int> fds;
  struct Fds {
    std::vector<int>& fds;
    ~Fds() {
      for (int fd : fds) ::close(fd);
    }
  } close_all{fds};
  for (std::size_t l = 0; l < layers; ++l) {
    const auto file = experts_dir / fmt::format("layer_{:02}.bin", l);
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error(fmt::format("cannot open {}: {}", file.string(), std::strerror(errno)));
    fds.push_back(fd);
  }
  std::vector<std::size_t> order(layers * experts);
  std::iota(order.begin(), order.end(), 0);
  std::shuffle(order.begin(), order.end(), std::mt19937(seed));
  const std::size_t batches = (std::min(records, order.size()) + k - 1) / k;
  std::vector<std::unique_ptr<uint8_t, decltype(&std::free)>> buffers;
  for (std::size_t t = 0; t < k; ++t) {
    buffers.emplace_back(static_cast<uint8_t*>(std::aligned_alloc(4096, (record_bytes + 4095) / 4096 * 4096)), &std::free);
  }
  uint64_t bytes = 0;
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t b = 0; b < batches; ++b) {
    std::vector<std::jthread> readers;
    for (std::size_t t = 0; t < k && b * k + t < order.size(); ++t) {
      const std::size_t r = order[b * k + t];
      readers.emplace_back([&, r, t] {
        const ssize_t got = ::pread(fds[r % layers], buffers[t].get(), record_bytes,
                                    static_cast<off_t>(r / layers * record_bytes));
        if (got != static_cast<ssize_t>(record_bytes)) std::abort();  // a short expert file: the model is broken
      });
      bytes += record_bytes;
    }
  }
  return static_cast<double>(bytes) / std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::optional<uint64_t> disk_busy_ms(const std::filesystem::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  // A partition's own counters: the device's whole-disk line would count other partitions too.
  std::ifstream in(fmt::format("/sys/dev/block/{}:{}/stat", major(st.st_dev), minor(st.st_dev)));
  uint64_t field[10] = {};
  for (uint64_t& f : field) {
    if (!(in >> f)) return std::nullopt;
  }
  return field[9];  // io_ticks
}

}  // namespace varkel::bench
