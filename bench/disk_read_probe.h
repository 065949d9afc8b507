#pragma once
// Random-read bandwidth of the expert files as the decode sees them when the
// records are not in the page cache: whole records at random record offsets
// of random layer files, `k` positioned reads at a time on `k` threads, each
// batch waited for before the next. No record is read twice.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>

namespace varkel::bench {

// Bytes per second over `records` reads (rounded up to whole batches).
double disk_read_probe(const std::filesystem::path& experts_dir, std::size_t layers, std::size_t experts,
                       uint64_t record_bytes, std::size_t k, std::size_t records, uint32_t seed);

// Ways of reading the expert records from disk, compared with one another
// on records no probe of the run has read: `depth` reads in flight at all
// times (no batches), each record whole or in `pieces` reads.
enum class DiskReads {
  Threads,        // `depth` threads, each a positioned read of one record at a time
  ThreadsPieces,  // the same, each record in `pieces` reads (as the engine splits them)
  Ring,           // one thread, io_uring, through the page cache
  RingPieces,     // the same, each record in `pieces` reads (as the engine splits them)
  RingDirect,     // io_uring with O_DIRECT: the page cache bypassed
};
inline constexpr bool kHaveIoUring =
#if defined(VARKEL_HAVE_LIBURING)
    true;
#else
    false;
#endif

// Bytes per second reading records [first, first + records) of one fixed
// random order of all the layers' records; nullopt for an io_uring way
// without liburing, or when the ring or O_DIRECT is refused.
std::optional<double> disk_read_stream(const std::filesystem::path& experts_dir, std::size_t layers,
                                       std::size_t experts, uint64_t record_bytes, DiskReads how, std::size_t depth,
                                       std::size_t pieces, std::size_t first, std::size_t records);

// Milliseconds the block device holding `path` has had I/O in flight since
// boot (the kernel's io_ticks); nullopt where the kernel does not say.
std::optional<uint64_t> disk_busy_ms(const std::filesystem::path& path);

}  // namespace varkel::bench
