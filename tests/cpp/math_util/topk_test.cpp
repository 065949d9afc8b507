#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "math_util/topk.h"

namespace varkel {
namespace {

struct Picked {
  std::vector<uint32_t> idx;
  std::vector<float> val;
};

Picked run_topk(const std::vector<float>& scores, uint32_t k) {
  Picked p{std::vector<uint32_t>(k, 0), std::vector<float>(k, 0.0f)};
  topk(scores, k, p.idx, p.val);
  return p;
}

TEST(TopkTest, HandWorkedHeapsKeepHeapOrderAndEarlierTies) {
  // 0.5 at index 2 replaces the root 0.1; 0.2 is not above the new root 0.5.
  Picked a = run_topk({0.1f, 0.5f, 0.5f, 0.2f}, 2);
  EXPECT_EQ(a.idx, (std::vector<uint32_t>{2, 1}));
  EXPECT_EQ(a.val, (std::vector<float>{0.5f, 0.5f}));
  // An equal later score never replaces the root.
  EXPECT_EQ(run_topk({0.5f, 0.1f, 0.5f}, 1).idx, (std::vector<uint32_t>{0}));
  // Two sift-downs: heap order, root first, no final sort.
  Picked b = run_topk({1, 2, 3, 4, 5}, 3);
  EXPECT_EQ(b.idx, (std::vector<uint32_t>{2, 3, 4}));
  EXPECT_EQ(b.val, (std::vector<float>{3, 4, 5}));
  // Filling sifts a smaller later score up to the root: 3 moves 4 to slot 1,
  // then 1 moves 3 (the root, parent of slot 2) down to slot 2.
  Picked c = run_topk({4, 3, 1}, 3);
  EXPECT_EQ(c.idx, (std::vector<uint32_t>{2, 0, 1}));
  // Descending input: nothing after the heap is full gets in.
  EXPECT_EQ(run_topk({9, 8, 7, 6, 5}, 2).idx, (std::vector<uint32_t>{1, 0}));
  // All equal: the first k indices, in their filling order.
  EXPECT_EQ(run_topk(std::vector<float>(256, 0.25f), 8).idx, (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6, 7}));
}

TEST(TopkTest, ShortAndEmptyInputsAndNaNs) {
  // Fewer scores than k: the rest keep their zero fill.
  Picked a = run_topk({7.0f, 3.0f}, 4);
  EXPECT_EQ(a.idx, (std::vector<uint32_t>{1, 0, 0, 0}));
  EXPECT_EQ(a.val, (std::vector<float>{3.0f, 7.0f, 0.0f, 0.0f}));
  // Empty scores write nothing, even with k = 0.
  std::vector<uint32_t> idx{5};
  std::vector<float> val{1.5f};
  topk({}, 0, idx, val);
  EXPECT_EQ(idx[0], 5u);
  EXPECT_EQ(val[0], 1.5f);
  // A NaN never enters a full heap.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  Picked b = run_topk({1, 2, nan, 3}, 2);
  EXPECT_EQ(b.idx, (std::vector<uint32_t>{1, 3}));
  // While filling it stays where it was inserted (no comparison with NaN is true).
  Picked c = run_topk({2, nan, 1}, 2);
  EXPECT_EQ(c.idx[0], 0u);
  EXPECT_EQ(c.idx[1], 1u);
  EXPECT_TRUE(std::isnan(c.val[1]));
}

TEST(TopkTest, RandomScoresGiveTheLargestSetAsAValidMinHeap) {
  std::mt19937 rng(1234);
  std::normal_distribution<float> dist(0.0f, 3.0f);
  for (uint32_t width : {4u, 17u, 256u}) {
    for (uint32_t k : {1u, 2u, 4u, 8u}) {
      if (k > width) continue;
      for (int trial = 0; trial < 20; ++trial) {
        std::vector<float> scores(width);
        for (float& s : scores) s = dist(rng);
        const Picked p = run_topk(scores, k);
        std::vector<uint32_t> order(width);
        std::iota(order.begin(), order.end(), 0u);
        std::stable_sort(order.begin(), order.end(), [&](uint32_t x, uint32_t y) { return scores[x] > scores[y]; });
        std::vector<uint32_t> expected(order.begin(), order.begin() + k);
        std::vector<uint32_t> got = p.idx;
        std::sort(expected.begin(), expected.end());
        std::sort(got.begin(), got.end());
        ASSERT_EQ(got, expected) << "width " << width << " k " << k;
        for (uint32_t j = 0; j < k; ++j) {
          ASSERT_EQ(p.val[j], scores[p.idx[j]]);
          if (j > 0) {
            ASSERT_LE(p.val[(j - 1) / 2], p.val[j]);
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace varkel
