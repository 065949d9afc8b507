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

// Milliseconds the block device holding `path` has had I/O in flight since
// boot (the kernel's io_ticks); nullopt where the kernel does not say.
std::optional<uint64_t> disk_busy_ms(const std::filesystem::path& path);

}  // namespace varkel::bench
