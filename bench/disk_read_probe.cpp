#include "disk_read_probe.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <numeric>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#if defined(VARKEL_HAVE_LIBURING)
#include <liburing.h>
#endif

#include <fmt/format.h>

namespace varkel::bench {
namespace {

// Closes every descriptor it holds.
struct Files {
  std::vector<int> fds;
  Files(const std::filesystem::path& dir, std::size_t layers, int flags) {
    for (std::size_t l = 0; l < layers; ++l) {
      const auto file = dir / fmt::format("layer_{:02}.bin", l);
      const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | flags);
      if (fd < 0) {
        const int err = errno;
        close_all();
        if (flags != 0) return;  // O_DIRECT refused: an empty set says so
        throw std::runtime_error(fmt::format("cannot open {}: {}", file.string(), std::strerror(err)));
      }
      fds.push_back(fd);
    }
  }
  ~Files() { close_all(); }
  Files(const Files&) = delete;
  Files& operator=(const Files&) = delete;
  void close_all() {
    for (int fd : fds) ::close(fd);
    fds.clear();
  }
};

using AlignedBytes = std::unique_ptr<uint8_t, decltype(&std::free)>;

AlignedBytes aligned_bytes(uint64_t bytes) {
  AlignedBytes b(static_cast<uint8_t*>(std::aligned_alloc(4096, (bytes + 4095) / 4096 * 4096)), &std::free);
  if (!b) throw std::bad_alloc();
  return b;
}

}  // namespace

double disk_read_probe(const std::filesystem::path& experts_dir, std::size_t layers, std::size_t experts,
                       uint64_t record_bytes, std::size_t k, std::size_t records, uint32_t seed) {
  const Files files(experts_dir, layers, 0);
  const std::vector<int>& fds = files.fds;
  std::vector<std::size_t> order(layers * experts);
  std::iota(order.begin(), order.end(), 0);
  std::shuffle(order.begin(), order.end(), std::mt19937(seed));
  const std::size_t batches = (std::min(records, order.size()) + k - 1) / k;
  std::vector<AlignedBytes> buffers;
  for (std::size_t t = 0; t < k; ++t) buffers.push_back(aligned_bytes(record_bytes));
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

namespace {

#if defined(VARKEL_HAVE_LIBURING)
// Keeps `depth` records in flight on one ring, each in `pieces` reads; a short
// read goes on from where it stopped.
std::optional<double> ring_reads(const Files& files, std::size_t layers, const std::vector<std::size_t>& order,
                                 uint64_t record_bytes, std::size_t depth, std::size_t pieces) {
  const uint64_t piece_bytes = (record_bytes / pieces + 4095) / 4096 * 4096;
  const auto piece_count = static_cast<std::size_t>((record_bytes + piece_bytes - 1) / piece_bytes);
  // Made before the ring, so that they outlive any read still in flight when it closes.
  std::vector<AlignedBytes> buffers;
  for (std::size_t t = 0; t < depth; ++t) buffers.push_back(aligned_bytes(record_bytes));
  io_uring ring{};
  if (io_uring_queue_init(static_cast<unsigned>(depth * piece_count), &ring, 0) != 0) return std::nullopt;
  struct Ring {
    io_uring& r;
    ~Ring() { io_uring_queue_exit(&r); }
  } close_ring{ring};
  struct Read {
    std::size_t slot;
    std::size_t record;
    uint64_t begin, end, done;
  };
  std::vector<Read> reads(depth * piece_count);
  std::vector<std::size_t> left(depth, 0);  // pieces of each slot's record still reading
  std::size_t next = 0;
  auto submit = [&](std::size_t index) {
    Read& rd = reads[index];
    io_uring_sqe* sqe = io_uring_get_sqe(&ring);
    const std::size_t r = rd.record;
    io_uring_prep_read(sqe, files.fds[r % layers], buffers[rd.slot].get() + rd.begin + rd.done,
                       static_cast<unsigned>(rd.end - rd.begin - rd.done),
                       static_cast<off_t>(r / layers * record_bytes + rd.begin + rd.done));
    io_uring_sqe_set_data64(sqe, index);
  };
  auto start_record = [&](std::size_t slot) {
    const std::size_t r = order[next++];
    for (std::size_t p = 0; p < piece_count; ++p) {
      const uint64_t begin = p * piece_bytes;
      reads[slot * piece_count + p] = {slot, r, begin, std::min(record_bytes, begin + piece_bytes), 0};
      submit(slot * piece_count + p);
    }
    left[slot] = piece_count;
  };
  const auto start = std::chrono::steady_clock::now();
  uint64_t bytes = 0;
  std::size_t in_flight = 0;
  for (std::size_t slot = 0; slot < depth && next < order.size(); ++slot, ++in_flight) start_record(slot);
  io_uring_submit(&ring);
  while (in_flight > 0) {
    io_uring_cqe* cqe = nullptr;
    if (io_uring_wait_cqe(&ring, &cqe) != 0) return std::nullopt;
    const auto index = static_cast<std::size_t>(io_uring_cqe_get_data64(cqe));
    const int res = cqe->res;
    io_uring_cqe_seen(&ring, cqe);
    if (res <= 0) return std::nullopt;
    Read& rd = reads[index];
    rd.done += static_cast<uint64_t>(res);
    if (rd.done < rd.end - rd.begin) {
      submit(index);
    } else if (--left[rd.slot] == 0) {
      bytes += record_bytes;
      if (next < order.size()) {
        start_record(rd.slot);
      } else {
        --in_flight;
      }
    }
    io_uring_submit(&ring);
  }
  return static_cast<double>(bytes) / std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
#endif

}  // namespace

std::optional<double> disk_read_stream(const std::filesystem::path& experts_dir, std::size_t layers,
                                       std::size_t experts, uint64_t record_bytes, DiskReads how, std::size_t depth,
                                       std::size_t pieces, std::size_t first, std::size_t records) {
  std::vector<std::size_t> all(layers * experts);
  std::iota(all.begin(), all.end(), 0);
  std::shuffle(all.begin(), all.end(), std::mt19937(12345));
  first = std::min(first, all.size());
  const std::vector<std::size_t> order(all.begin() + static_cast<std::ptrdiff_t>(first),
                                       all.begin() + static_cast<std::ptrdiff_t>(std::min(all.size(), first + records)));
  if (how == DiskReads::Threads || how == DiskReads::ThreadsPieces) {
    const Files files(experts_dir, layers, 0);
    for (int fd : files.fds) (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);  // as the engine's own descriptors
    const std::size_t parts = how == DiskReads::ThreadsPieces ? std::max<std::size_t>(pieces, 1) : 1;
    const uint64_t part_bytes = (record_bytes / parts + 4095) / 4096 * 4096;
    std::atomic<std::size_t> next{0};
    const auto start = std::chrono::steady_clock::now();
    {
      std::vector<std::jthread> readers;
      for (std::size_t t = 0; t < depth; ++t) {
        readers.emplace_back([&] {
          const AlignedBytes buffer = aligned_bytes(record_bytes);
          for (std::size_t i; (i = next.fetch_add(1)) < order.size() * parts;) {
            const std::size_t r = order[i / parts];
            const uint64_t begin = (i % parts) * part_bytes;
            if (begin >= record_bytes) continue;
            const uint64_t bytes = std::min(part_bytes, record_bytes - begin);
            const ssize_t got = ::pread(files.fds[r % layers], buffer.get() + begin, bytes,
                                        static_cast<off_t>(r / layers * record_bytes + begin));
            if (got != static_cast<ssize_t>(bytes)) std::abort();  // a short expert file: the model is broken
          }
        });
      }
    }
    return static_cast<double>(order.size() * record_bytes) /
           std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
#if defined(VARKEL_HAVE_LIBURING)
  const Files files(experts_dir, layers, how == DiskReads::RingDirect ? O_DIRECT : 0);
  if (files.fds.empty()) return std::nullopt;
  for (int fd : files.fds) (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
  return ring_reads(files, layers, order, record_bytes, depth, how == DiskReads::RingPieces ? pieces : 1);
#else
  return std::nullopt;
#endif
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
