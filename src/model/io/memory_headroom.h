#pragma once
// How much more memory this process could take before the system or its
// control groups start to evict what it already holds, and the locking of
// weight pages that this decides.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>

namespace varkel {

// The smallest of: the system's MemAvailable, and for every memory cgroup
// from the process's own up to the root (v2 memory.max, v1
// memory.limit_in_bytes), its limit less what it holds that is not
// reclaimable page cache (locked and other unevictable pages are held).
// nullopt when nothing could be read. `proc` and `cgroup_root` stand for
// /proc and /sys/fs/cgroup.
std::optional<uint64_t> memory_headroom(const std::filesystem::path& proc = "/proc",
                                        const std::filesystem::path& cgroup_root = "/sys/fs/cgroup");

// How many more bytes the process may lock: half of memory_headroom() less
// what it has locked already, the larger of its VmLck and `committed` (what
// this process has committed to lock, locked or about to be). Pages already
// locked and resident count twice (they also lower the headroom): on the safe
// side. nullopt when the headroom is unknown.
std::optional<uint64_t> lock_allowance(uint64_t committed, const std::filesystem::path& proc = "/proc",
                                       const std::filesystem::path& cgroup_root = "/sys/fs/cgroup");

// Bytes the live ResidentLocks of this process hold, all models together.
uint64_t committed_lock_bytes();

// Pages locked in memory as they are touched, counted in
// committed_lock_bytes() while this lives; unlocked on destruction, which
// must come before the memory is unmapped.
class ResidentLock {
 public:
  ResidentLock() = default;
  ResidentLock(ResidentLock&& other) noexcept;
  ResidentLock& operator=(ResidentLock&& other) noexcept;
  ResidentLock(const ResidentLock&) = delete;
  ResidentLock& operator=(const ResidentLock&) = delete;
  ~ResidentLock();

  bool locked() const { return size_ != 0; }

 private:
  friend ResidentLock keep_resident_when_touched(const void*, std::size_t, const std::filesystem::path&,
                                                 const std::filesystem::path&);
  ResidentLock(const void* data, std::size_t size) : data_(data), size_(size) {}
  void release();

  const void* data_ = nullptr;
  std::size_t size_ = 0;
};

// Asks the OS to keep the pages of [data, data + size) in memory once touched,
// when they fit lock_allowance(committed_lock_bytes()): pages every token
// reads then never make room for expert records, which are read once, while
// all the models of the process together lock at most half of what memory is
// left. Only with VARKEL_LOCK_WEIGHTS=1: a locked page is never evicted, so
// a later allocation of more than the other half of the headroom gets the
// process killed. Best effort (a lock limit or a refusal leaves the mapping
// as it was); an empty lock when not locked.
ResidentLock keep_resident_when_touched(const void* data, std::size_t size,
                                        const std::filesystem::path& proc = "/proc",
                                        const std::filesystem::path& cgroup_root = "/sys/fs/cgroup");

}  // namespace varkel
