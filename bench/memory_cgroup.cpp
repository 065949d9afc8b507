#include "memory_cgroup.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include <fmt/format.h>

namespace varkel::bench {
namespace {

namespace fs = std::filesystem;

const fs::path kV1Root = "/sys/fs/cgroup/memory";
const fs::path kV2Root = "/sys/fs/cgroup";

void write_text(const fs::path& file, const std::string& text) {
  std::ofstream out(file);
  out << text;
  out.flush();
  if (!out) throw std::runtime_error(fmt::format("cannot write {} to {}: {}", text, file.string(), std::strerror(errno)));
}

// This process's cgroup path in the v1 memory hierarchy, or in the v2 one.
fs::path own_cgroup(bool v1) {
  std::ifstream in("/proc/self/cgroup");
  for (std::string line; std::getline(in, line);) {
    const auto first = line.find(':');
    const auto second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const bool match = v1 ? controllers.find("memory") != std::string::npos : line.compare(0, 3, "0::") == 0;
    if (match) return fs::path(line.substr(second + 1)).relative_path();
  }
  throw std::runtime_error("no memory cgroup in /proc/self/cgroup");
}

}  // namespace

MemoryCgroup::MemoryCgroup(const std::string& name, uint64_t limit_bytes) {
  const bool v1 = fs::exists(kV1Root / "memory.limit_in_bytes");
  path_ = (v1 ? kV1Root : kV2Root) / own_cgroup(v1) / name;
  if (!fs::exists(path_) && !fs::create_directory(path_)) {
    throw std::runtime_error(fmt::format("cannot make the cgroup {}", path_.string()));
  }
  write_text(path_ / (v1 ? "memory.limit_in_bytes" : "memory.max"), std::to_string(limit_bytes));
}

MemoryCgroup::~MemoryCgroup() {
  // The kernel moves the remaining page-cache charges to the parent.
  for (int attempt = 0; attempt < 50 && ::rmdir(path_.c_str()) != 0 && errno == EBUSY; ++attempt) ::usleep(100000);
}

void MemoryCgroup::join(const fs::path& path) { write_text(path / "cgroup.procs", std::to_string(::getpid())); }

uint64_t MemoryCgroup::peak_bytes(const fs::path& path) {
  std::ifstream in(path / "memory.max_usage_in_bytes");
  uint64_t bytes = 0;
  in >> bytes;
  return in ? bytes : 0;
}

void drop_page_cache() {
  ::sync();
  write_text("/proc/sys/vm/drop_caches", "1");
}

}  // namespace varkel::bench
