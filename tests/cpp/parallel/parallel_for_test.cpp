// Loops on the worker pool: coverage of the index space, nesting, and how a
// failing iteration reaches the caller.
#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "parallel/parallel_for.h"
#include "parallel/worker_pool.h"

namespace varkel::parallel {
namespace {

TEST(ParallelFor, RangesCoverEveryIndexOnceAndNestedLoopsStayOnTheirThread) {
  struct Case {
    std::size_t count, pieces, expected_ranges;
  };
  const Case cases[] = {{0, 4, 0}, {1, 8, 1}, {7, 3, 3}, {5, 100, 5}, {10000, 0, 1}, {100000, 64, 64}};
  for (const auto& [count, pieces, expected_ranges] : cases) {
    SCOPED_TRACE(testing::Message() << count << " in " << pieces);
    std::vector<std::atomic<int>> hits(count);
    std::atomic<std::size_t> ranges{0};
    std::atomic<int> strayed{0};
    for_each_range(count, pieces, [&](std::size_t begin, std::size_t end) {
      ASSERT_LT(begin, end);
      ranges.fetch_add(1);
      const auto self = std::this_thread::get_id();
      for_each_index(end - begin, [&](std::size_t i) {
        if (std::this_thread::get_id() != self) strayed.fetch_add(1);
        hits[begin + i].fetch_add(1);
      });
    });
    EXPECT_EQ(ranges.load(), expected_ranges);
    // A loop that is one range is not a pool run: its inner loops may use the pool.
    if (expected_ranges > 1) {
      EXPECT_EQ(strayed.load(), 0);
    }
    for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(hits[i].load(), 1) << "index " << i;
  }
}

// Every iteration still runs; the caller gets the lowest failing index's
// exception, whatever thread threw first; the pool serves the next run.
TEST(ParallelFor, AThrowingIterationLetsTheOthersRunAndTheLowestFailureReachesTheCaller) {
  for (int repeat = 0; repeat < 20; ++repeat) {
    constexpr std::size_t kCount = 200;
    std::vector<std::atomic<int>> hits(kCount);
    try {
      for_each_index(kCount, [&](std::size_t i) {
        hits[i].fetch_add(1);
        if (i == 150 || i == 37 || i == 199) throw std::runtime_error(std::to_string(i));
      });
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "37");
    }
    for (std::size_t i = 0; i < kCount; ++i) ASSERT_EQ(hits[i].load(), 1) << "index " << i;
  }
  std::atomic<std::size_t> sum{0};
  for_each_index(1000, [&](std::size_t i) { sum.fetch_add(i); });
  EXPECT_EQ(sum.load(), 999u * 1000u / 2);
}

// VARKEL_THREADS sizes the pool within the CPUs the process may use; a setting
// that is not used as given says so in one line.
TEST(ThreadBudget, SettingsBeyondTheCpusOrNotANumberFallBackWithAWarning) {
  struct Case {
    const char* setting;
    uint32_t cpus, threads;
    std::string warning;
  };
  const Case cases[] = {
      {nullptr, 8, 8, ""},
      {"1", 8, 1, ""},
      {"8", 8, 8, ""},
      {"1000", 8, 8, "varkel: VARKEL_THREADS=1000 is more than the 8 CPUs this process may use; using 8 threads"},
      {"9", 2, 2, "varkel: VARKEL_THREADS=9 is more than the 2 CPUs this process may use; using 2 threads"},
      {"99999999999999999999999", 4, 4,
       "varkel: VARKEL_THREADS=99999999999999999999999 is not a positive number; using 4 threads"},
      {"0", 4, 4, "varkel: VARKEL_THREADS=0 is not a positive number; using 4 threads"},
      {"-1", 4, 4, "varkel: VARKEL_THREADS=-1 is not a positive number; using 4 threads"},
      {"4x", 4, 4, "varkel: VARKEL_THREADS=4x is not a positive number; using 4 threads"},
      {"", 4, 4, "varkel: VARKEL_THREADS= is not a positive number; using 4 threads"},
      // Blanks and signs are not digits, whatever strtoull makes of them.
      {" -1", 8, 8, "varkel: VARKEL_THREADS= -1 is not a positive number; using 8 threads"},
      {"\t-2", 8, 8, "varkel: VARKEL_THREADS=\t-2 is not a positive number; using 8 threads"},
      {" 4", 8, 8, "varkel: VARKEL_THREADS= 4 is not a positive number; using 8 threads"},
      {"+4", 8, 8, "varkel: VARKEL_THREADS=+4 is not a positive number; using 8 threads"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.setting == nullptr ? "unset" : c.setting);
    const ThreadBudget budget = thread_budget(c.setting, c.cpus);
    EXPECT_EQ(budget.threads, c.threads);
    EXPECT_EQ(budget.warning, c.warning);
  }
}

}  // namespace
}  // namespace varkel::parallel
