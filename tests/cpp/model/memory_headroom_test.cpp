// How much memory the process may still take, from a made-up /proc and
// cgroup tree: the smallest of MemAvailable and every memory cgroup's limit
// less its non-page-cache usage, up the hierarchy.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "model/io/memory_headroom.h"
#include "common/test_files.h"

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

}  // namespace
}  // namespace varkel
