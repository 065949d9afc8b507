#include "model/io/memory_headroom.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace varkel {
namespace {

namespace fs = std::filesystem;

// What the live ResidentLocks hold. Reserved before mlock and released after
// munlock, so that two models loaded at once cannot both take the same room.
std::atomic<uint64_t> committed_bytes{0};

// Small text files only (proc and cgroup files): at most this much is read.
constexpr std::streamsize kMaxText = 1 << 20;

std::optional<std::string> read_small(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text(static_cast<std::size_t>(kMaxText), '\0');
  in.read(text.data(), kMaxText);
  text.resize(static_cast<std::size_t>(in.gcount()));
  return text;
}

std::optional<uint64_t> parse_u64(std::string_view s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.remove_suffix(1);
  uint64_t v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size() || s.empty()) return std::nullopt;
  return v;
}

// The value after `key` on the line that starts with it ("MemAvailable:", "file").
std::optional<uint64_t> field(const std::string& text, std::string_view key) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with(key) || line.size() == key.size() || (line[key.size()] != ' ' && line[key.size()] != '\t')) {
      continue;
    }
    std::istringstream rest(line.substr(key.size()));
    std::string number;
    rest >> number;
    return parse_u64(number);
  }
  return std::nullopt;
}

// A cgroup's limit less what it holds apart from reclaimable page cache;
// nullopt when unlimited or unreadable.
std::optional<uint64_t> cgroup_headroom(const fs::path& dir, bool v2) {
  const auto limit_text = read_small(dir / (v2 ? "memory.max" : "memory.limit_in_bytes"));
  const auto usage_text = read_small(dir / (v2 ? "memory.current" : "memory.usage_in_bytes"));
  if (!limit_text || !usage_text) return std::nullopt;
  const auto limit = parse_u64(*limit_text);  // "max" does not parse: unlimited
  const auto usage = parse_u64(*usage_text);
  if (!limit || !usage) return std::nullopt;
  uint64_t cache = 0;
  if (const auto stat = read_small(dir / "memory.stat")) {
    cache = field(*stat, v2 ? "file" : "total_cache").value_or(0);
    // Locked file pages count as page cache but cannot be reclaimed. The
    // unevictable count may hold anonymous pages too: taking them off the
    // cache as well errs on the safe side.
    const uint64_t unevictable = field(*stat, v2 ? "unevictable" : "total_unevictable").value_or(0);
    cache -= std::min(cache, unevictable);
  }
  const uint64_t held = *usage - std::min(cache, *usage);
  return *limit > held ? *limit - held : 0;
}

// The process's memory cgroup directories, its own first, up to the root.
std::vector<std::pair<fs::path, bool>> memory_cgroups(const fs::path& proc, const fs::path& root) {
  std::vector<std::pair<fs::path, bool>> dirs;
  const auto text = read_small(proc / "self" / "cgroup");
  if (!text) return dirs;
  std::istringstream lines(*text);
  for (std::string line; std::getline(lines, line);) {
    // "hierarchy:controllers:path"; v2 is "0::path".
    const auto first = line.find(':');
    const auto second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const fs::path path = fs::path(line.substr(second + 1)).relative_path();
    const bool v2 = controllers.empty();
    bool memory = v2;
    std::istringstream names(controllers);
    for (std::string name; std::getline(names, name, ',');) memory = memory || name == "memory";
    if (!memory) continue;
    const fs::path base = v2 ? root : root / "memory";
    // A path with ".." would leave the hierarchy: only its root counts then.
    const bool inside = std::none_of(path.begin(), path.end(), [](const fs::path& p) { return p == ".."; });
    for (fs::path p = inside ? path : fs::path();; p = p.parent_path()) {
      dirs.emplace_back(base / p, v2);
      if (p.empty()) break;
    }
  }
  return dirs;
}

}  // namespace

std::optional<uint64_t> memory_headroom(const fs::path& proc, const fs::path& cgroup_root) {
  std::optional<uint64_t> headroom;
  auto take = [&](std::optional<uint64_t> v) {
    if (v) headroom = headroom ? std::min(*headroom, *v) : *v;
  };
  if (const auto meminfo = read_small(proc / "meminfo")) {
    const auto kib = field(*meminfo, "MemAvailable:");
    if (kib && *kib <= UINT64_MAX / 1024) take(*kib * 1024);
  }
  for (const auto& [dir, v2] : memory_cgroups(proc, cgroup_root)) take(cgroup_headroom(dir, v2));
  return headroom;
}

std::optional<uint64_t> lock_allowance(uint64_t committed, const fs::path& proc, const fs::path& cgroup_root) {
  const auto headroom = memory_headroom(proc, cgroup_root);
  if (!headroom) return std::nullopt;
  // VmLck counts whole locked ranges, touched or not: what they will hold.
  uint64_t locked = committed;
  if (const auto status = read_small(proc / "self" / "status")) {
    const auto kib = field(*status, "VmLck:");
    if (kib) locked = std::max(locked, *kib <= UINT64_MAX / 1024 ? *kib * 1024 : UINT64_MAX);
  }
  const uint64_t half = *headroom / 2;
  return half > locked ? half - locked : 0;
}

uint64_t committed_lock_bytes() { return committed_bytes.load(); }

ResidentLock::ResidentLock(ResidentLock&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

ResidentLock& ResidentLock::operator=(ResidentLock&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

ResidentLock::~ResidentLock() { release(); }

void ResidentLock::release() {
  if (size_ == 0) return;
  (void)::munlock(data_, size_);
  committed_bytes.fetch_sub(size_);
  data_ = nullptr;
  size_ = 0;
}

ResidentLock keep_resident_when_touched(const void* data, std::size_t size, const fs::path& proc,
                                        const fs::path& cgroup_root) {
  if (data == nullptr || size == 0) return {};
  // Locked pages lower the ceiling for everything else the process or its
  // cgroup allocates later, and the kernel kills rather than evict them: a
  // later allocation that half the headroom would not cover ends the process.
  // Only VARKEL_LOCK_WEIGHTS=1 takes that risk.
  if (const char* env = std::getenv("VARKEL_LOCK_WEIGHTS"); env == nullptr || std::string_view(env) != "1") {
    return {};
  }
  uint64_t committed = committed_bytes.load();
  do {
    const auto allowance = lock_allowance(committed, proc, cgroup_root);
    if (!allowance || size > *allowance) return {};
  } while (!committed_bytes.compare_exchange_weak(committed, committed + size));
  if (::mlock2(data, size, MLOCK_ONFAULT) != 0) {
    committed_bytes.fetch_sub(size);
    return {};
  }
  return ResidentLock(data, size);
}

}  // namespace varkel
