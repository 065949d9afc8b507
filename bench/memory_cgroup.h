#pragma once
// A memory cgroup that a benchmark makes for itself, so that a process runs
// with less memory than the machine has (needs root). It is made below the
// calling process's own memory cgroup: the v1 memory controller
// (memory.limit_in_bytes) where that is mounted, else cgroup v2 (memory.max).

#include <cstdint>
#include <filesystem>
#include <string>

namespace varkel::bench {

class MemoryCgroup {
 public:
  // Throws std::runtime_error with the reason when the cgroup cannot be made.
  MemoryCgroup(const std::string& name, uint64_t limit_bytes);
  ~MemoryCgroup();  // removes it (its processes must have ended)
  MemoryCgroup(const MemoryCgroup&) = delete;
  MemoryCgroup& operator=(const MemoryCgroup&) = delete;

  const std::filesystem::path& path() const { return path_; }

  // Moves the calling process into the cgroup at `path`.
  static void join(const std::filesystem::path& path);
  // The most memory the cgroup at `path` has been charged with, in bytes
  // (v1 only; 0 where the controller does not report it).
  static uint64_t peak_bytes(const std::filesystem::path& path);

 private:
  std::filesystem::path path_;
};

// Writes back dirty pages and drops the page cache of the whole machine.
void drop_page_cache();

}  // namespace varkel::bench
