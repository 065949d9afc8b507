// How much memory the process may still take, from a made-up /proc and
// cgroup tree: the smallest of MemAvailable and every memory cgroup's limit
// less what it holds apart from reclaimable page cache, up the hierarchy; and
// how much of it the process may lock, all its models together.

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/test_files.h"
#include "model/io/mapped_file.h"
#include "model/io/memory_headroom.h"
#include "model/io/unique_fd.h"

namespace varkel {
namespace {

using testing_support::ScratchDir;
using testing_support::write_file;

constexpr uint64_t kGB = 1'000'000'000;

TEST(MemoryHeadroomTest, SmallestOfTheSystemAndEveryCgroupUpTheTree) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> files;  // below the scratch dir
    std::optional<uint64_t> headroom;
  };
  const std::string meminfo = "MemTotal:       24000000 kB\nMemAvailable:   20000000 kB\n";
  const std::vector<Case> cases = {
      {"MemAvailable alone", {{"proc/meminfo", meminfo}}, 20'000'000ull * 1024},
      {"v2: the own cgroup's limit less anon; an unlimited parent",
       {{"proc/meminfo", meminfo},
        {"proc/self/cgroup", "0::/a/b\n"},
        {"cg/a/b/memory.max", "8000000000\n"},
        {"cg/a/b/memory.current", "5000000000\n"},
        {"cg/a/b/memory.stat", "anon 1000000000\nfile 4000000000\nfile_mapped 1\n"},
        {"cg/a/memory.max", "max\n"},
        {"cg/a/memory.current", "9000000000\n"}},
       7 * kGB},
      {"v2: a parent's limit is lower",
       {{"proc/self/cgroup", "0::/a/b\n"},
        {"cg/a/b/memory.max", "8000000000\n"},
        {"cg/a/b/memory.current", "0\n"},
        {"cg/a/memory.max", "3000000000\n"},
        {"cg/a/memory.current", "1000000000\n"}},
       2 * kGB},
      {"v2: more held than the limit",
       {{"proc/self/cgroup", "0::/\n"}, {"cg/memory.max", "1000\n"}, {"cg/memory.current", "5000\n"}},
       0},
      {"v2: locked page cache is held, not reclaimable",
       {{"proc/self/cgroup", "0::/\n"},
        {"cg/memory.max", "8000000000\n"},
        {"cg/memory.current", "5000000000\n"},
        {"cg/memory.stat", "anon 1000000000\nfile 4000000000\nunevictable 3000000000\n"}},
       4 * kGB},
      {"v2: more unevictable than file (locked anon too) leaves no cache",
       {{"proc/self/cgroup", "0::/\n"},
        {"cg/memory.max", "8000000000\n"},
        {"cg/memory.current", "5000000000\n"},
        {"cg/memory.stat", "file 1000000000\nunevictable 3000000000\n"}},
       3 * kGB},
      {"v1: total_unevictable is held",
       {{"proc/self/cgroup", "5:memory:/x\n"},
        {"cg/memory/x/memory.limit_in_bytes", "2000000000\n"},
        {"cg/memory/x/memory.usage_in_bytes", "1500000000\n"},
        {"cg/memory/x/memory.stat", "unevictable 1\ntotal_cache 500000000\ntotal_unevictable 300000000\n"}},
       700'000'000},
      {"v1: the memory hierarchy only",
       {{"proc/self/cgroup", "7:cpu,cpuacct:/x\n5:memory:/x\n"},
        {"cg/memory/x/memory.limit_in_bytes", "2000000000\n"},
        {"cg/memory/x/memory.usage_in_bytes", "1500000000\n"},
        {"cg/memory/x/memory.stat", "cache 1\ntotal_cache 500000000\n"},
        {"cg/x/memory.limit_in_bytes", "1\n"},
        {"cg/x/memory.usage_in_bytes", "0\n"}},
       1 * kGB},
      {"a path climbing out of the hierarchy counts its root only",
       {{"proc/self/cgroup", "0::/../../etc\n"},
        {"cg/memory.max", "4000000000\n"},
        {"cg/memory.current", "0\n"},
        {"etc/memory.max", "1\n"},
        {"etc/memory.current", "0\n"}},
       4 * kGB},
      {"unreadable or malformed values are left out",
       {{"proc/meminfo", "MemAvailable: lots kB\n"},
        {"proc/self/cgroup", "0::/a\n"},
        {"cg/a/memory.max", "12abc\n"},
        {"cg/a/memory.current", "0\n"}},
       std::nullopt},
      {"nothing to read", {}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    for (const auto& [name, text] : c.files) write_file(dir / name, text);
    EXPECT_EQ(memory_headroom(dir / "proc", dir / "cg"), c.headroom);
  }
}

TEST(MemoryHeadroomTest, LockAllowanceIsHalfTheHeadroomLessWhatIsLockedAlready) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> files;
    uint64_t committed;
    std::optional<uint64_t> allowance;
  };
  const std::pair<std::string, std::string> meminfo{"proc/meminfo", "MemAvailable:   4000000 kB\n"};  // 4.096 GB
  const auto status = [](const char* vmlck) {
    return std::pair<std::string, std::string>{"proc/self/status", std::string("VmPin:\t 0 kB\nVmLck:\t") + vmlck};
  };
  const std::vector<Case> cases = {
      {"nothing locked", {meminfo}, 0, 2'048'000'000},
      {"what the process has locked (VmLck)", {meminfo, status("1000000 kB\n")}, 0, 1'024'000'000},
      {"committed to lock but not locked yet", {meminfo, status("1000000 kB\n")}, 1'500'000'000, 548'000'000},
      {"committed while VmLck cannot be read", {meminfo, status("lots kB\n")}, 48'000'000, 2'000'000'000},
      {"locked beyond half the headroom", {meminfo, status("3000000 kB\n")}, 0, 0},
      {"a VmLck too large to count in bytes", {meminfo, status("18446744073709551615 kB\n")}, 0, 0},
      {"the cgroup's locked cache lowers the headroom; the process's locks count on top",
       {meminfo,
        status("100000 kB\n"),
        {"proc/self/cgroup", "0::/\n"},
        {"cg/memory.max", "4000000000\n"},
        {"cg/memory.current", "2000000000\n"},
        {"cg/memory.stat", "file 1500000000\nunevictable 1000000000\n"}},
       0,
       1'147'600'000},  // (4 - (2 - 0.5)) / 2 GB less 102.4 MB
      {"unknown headroom", {status("0 kB\n")}, 0, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    for (const auto& [name, text] : c.files) write_file(dir / name, text);
    EXPECT_EQ(lock_allowance(c.committed, dir / "proc", dir / "cg"), c.allowance);
  }
}

MappedFile map_scratch_file(const std::filesystem::path& path, size_t bytes) {
  write_file(path, std::string(bytes, 'w'));
  auto fd = UniqueFd::open(path, O_RDONLY);
  EXPECT_TRUE(fd.has_value()) << path;
  if (!fd) return {};
  auto mapped = MappedFile::map(fd->get());
  EXPECT_TRUE(mapped.has_value()) << path;
  return mapped ? std::move(*mapped) : MappedFile();
}

// VARKEL_LOCK_WEIGHTS set to `value` (nullptr: unset) for a scope.
class LockSwitch {
 public:
  explicit LockSwitch(const char* value) { set(value); }
  ~LockSwitch() { set(nullptr); }
  void set(const char* value) {
    if (value == nullptr) {
      ::unsetenv("VARKEL_LOCK_WEIGHTS");
    } else {
      ::setenv("VARKEL_LOCK_WEIGHTS", value, 1);
    }
  }
};

// Each of two models' weights fits half the headroom alone; together they do
// not: the second is left evictable while the first holds its lock.
TEST(MemoryHeadroomTest, ASecondModelIsNotLockedWhenBothWouldPassHalfTheHeadroom) {
  constexpr size_t kBytes = 16384;
  LockSwitch on("1");
  rlimit limit{};
  if (::getrlimit(RLIMIT_MEMLOCK, &limit) != 0 || (limit.rlim_cur < 2 * kBytes && ::geteuid() != 0)) {
    GTEST_SKIP() << "the lock limit is below two small mappings";
  }
  ASSERT_EQ(committed_lock_bytes(), 0u);
  ScratchDir dir;
  write_file(dir / "proc/meminfo", "MemAvailable:   48 kB\n");  // room to lock 24 KiB
  const MappedFile first = map_scratch_file(dir / "first.bin", kBytes);
  const MappedFile second = map_scratch_file(dir / "second.bin", kBytes);
  const auto lock = [&](const MappedFile& mapped) {
    return keep_resident_when_touched(mapped.data(), mapped.size(), dir / "proc", dir / "cg");
  };
  {
    ResidentLock first_lock = lock(first);
    ASSERT_TRUE(first_lock.locked());
    EXPECT_EQ(committed_lock_bytes(), kBytes);
    ResidentLock moved = std::move(first_lock);  // the count goes with it
    EXPECT_FALSE(first_lock.locked());
    EXPECT_EQ(committed_lock_bytes(), kBytes);
    EXPECT_FALSE(lock(second).locked());
    EXPECT_EQ(committed_lock_bytes(), kBytes);
  }
  EXPECT_EQ(committed_lock_bytes(), 0u);
  // Once the first is released, the second fits.
  EXPECT_TRUE(lock(second).locked());
  EXPECT_EQ(committed_lock_bytes(), 0u);
}

// A locked page is never evicted: an allocation that needs its room gets the
// process killed. So nothing is locked unless VARKEL_LOCK_WEIGHTS=1 asks.
TEST(MemoryHeadroomTest, WeightsAreLockedOnlyWhenAskedFor) {
  constexpr size_t kBytes = 16384;
  rlimit limit{};
  if (::getrlimit(RLIMIT_MEMLOCK, &limit) != 0 || (limit.rlim_cur < kBytes && ::geteuid() != 0)) {
    GTEST_SKIP() << "the lock limit is below a small mapping";
  }
  ScratchDir dir;
  write_file(dir / "proc/meminfo", "MemAvailable:   1000000 kB\n");
  const MappedFile mapped = map_scratch_file(dir / "weights.bin", kBytes);
  const auto locked = [&](const char* value) {
    LockSwitch setting(value);
    return keep_resident_when_touched(mapped.data(), mapped.size(), dir / "proc", dir / "cg").locked();
  };
  for (const char* value : {static_cast<const char*>(nullptr), "", "0", "yes", "true", " 1", "10"}) {
    EXPECT_FALSE(locked(value)) << (value == nullptr ? "unset" : value);
  }
  EXPECT_TRUE(locked("1"));
  EXPECT_EQ(committed_lock_bytes(), 0u);
}

}  // namespace
}  // namespace varkel
