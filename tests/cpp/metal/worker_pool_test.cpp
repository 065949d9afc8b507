#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "metal/kernels/parallel_rows.h"
#include "metal/kernels/worker_pool.h"

namespace varkel::metal {
namespace {

TEST(WorkerPoolTest, RunsEveryChunkOnceAcrossRepeatedRuns) {
  EXPECT_GE(worker_count(), 1u);
  for (uint32_t chunks : {3u, 1000u}) {
    for (int repeat = 0; repeat < 20; ++repeat) {
      std::vector<std::atomic<int>> hits(chunks);
      run_chunks(
          chunks, [](void* p, uint32_t c) { (*static_cast<std::vector<std::atomic<int>>*>(p))[c].fetch_add(1); },
          &hits);
      for (uint32_t c = 0; c < chunks; ++c) ASSERT_EQ(hits[c].load(), 1) << "chunk " << c << " of " << chunks;
    }
  }
}

TEST(WorkerPoolTest, ParallelRowsCoverTheRowsOnceAndNestInline) {
  for (uint32_t rows : {1u, 100000u}) {
    std::vector<std::atomic<int>> hits(rows);
    parallel_rows(rows, 4096, [&](uint32_t begin, uint32_t end) {
      ASSERT_LT(begin, end);
      // A parallel run from inside a chunk of a split run stays on its thread.
      const auto self = std::this_thread::get_id();
      const bool split = rows > 1;
      std::atomic<int> inner{0};
      parallel_rows(64, 1 << 20, [&](uint32_t b, uint32_t e) {
        if (split) {
          EXPECT_EQ(std::this_thread::get_id(), self);
        }
        inner.fetch_add(static_cast<int>(e - b));
      });
      EXPECT_EQ(inner.load(), 64);
      for (uint32_t r = begin; r < end; ++r) hits[r].fetch_add(1);
    });
    for (uint32_t r = 0; r < rows; ++r) ASSERT_EQ(hits[r].load(), 1) << "row " << r << " of " << rows;
  }
}

}  // namespace
}  // namespace varkel::metal
