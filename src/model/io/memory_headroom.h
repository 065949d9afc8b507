#pragma once
// How much more memory this process could take before the system or its
// control groups start to evict what it already holds.

#include <cstdint>
#include <filesystem>
#include <optional>

namespace varkel {

// The smallest of: the system's MemAvailable, and for every memory cgroup
// from the process's own up to the root (v2 memory.max, v1
// memory.limit_in_bytes), its limit less what it holds that is not page
// cache. nullopt when nothing could be read. `proc` and `cgroup_root` stand
// for /proc and /sys/fs/cgroup.
std::optional<uint64_t> memory_headroom(const std::filesystem::path& proc = "/proc",
                                        const std::filesystem::path& cgroup_root = "/sys/fs/cgroup");

// Asks the OS to keep the pages of [data, data + size) in memory once touched,
// when they take at most half of memory_headroom(): pages every token reads
// then never make room for expert records, which are read once. Best effort
// (a lock limit or a refusal leaves the mapping as it was); never with
// VARKEL_LOCK_WEIGHTS=0; true when locked.
bool keep_resident_when_touched(const void* data, std::size_t size);

}  // namespace varkel
