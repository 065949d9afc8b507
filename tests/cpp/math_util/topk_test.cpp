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

using Idx = std::vector<uint32_t>;

std::pair<Idx, std::vector<float>> run_topk(const std::vector<float>& scores, uint32_t k) {
  Idx idx(k, 0);
  std::vector<float> val(k, 0.0f);
  topk(scores, k, idx, val);
  return {idx, val};
}

TEST(TopkTest, HeapOrderTiesShortInputsAndNaNs) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  // Heap order (root first, no sort); an equal later score never replaces the root.
  EXPECT_EQ(run_topk({0.1f, 0.5f, 0.5f, 0.2f}, 2).first, (Idx{2, 1}));
  EXPECT_EQ(run_topk({0.5f, 0.1f, 0.5f}, 1).first, (Idx{0}));
  EXPECT_EQ(run_topk({1, 2, 3, 4, 5}, 3), (std::pair{Idx{2, 3, 4}, std::vector<float>{3, 4, 5}}));
  EXPECT_EQ(run_topk({4, 3, 1}, 3).first, (Idx{2, 0, 1}));
  EXPECT_EQ(run_topk({9, 8, 7, 6, 5}, 2).first, (Idx{1, 0}));
  EXPECT_EQ(run_topk(std::vector<float>(256, 0.25f), 8).first, (Idx{0, 1, 2, 3, 4, 5, 6, 7}));
  // Fewer scores than k keep the zero fill; empty scores write nothing.
  EXPECT_EQ(run_topk({7.0f, 3.0f}, 4), (std::pair{Idx{1, 0, 0, 0}, std::vector<float>{3, 7, 0, 0}}));
  Idx idx{5};
  std::vector<float> val{1.5f};
  topk({}, 0, idx, val);
  EXPECT_EQ(std::pair(idx[0], val[0]), std::pair(5u, 1.5f));
  // NaN never enters a full heap, but stays where inserted while filling.
  EXPECT_EQ(run_topk({1, 2, nan, 3}, 2).first, (Idx{1, 3}));
  auto [ci, cv] = run_topk({2, nan, 1}, 2);
  EXPECT_EQ(ci, (Idx{0, 1}));
  EXPECT_TRUE(std::isnan(cv[1]));
}

TEST(TopkTest, RandomScoresGiveTheLargestSetAsAValidMinHeap) {
  std::mt19937 rng(1234);
  std::normal_distribution<float> dist(0.0f, 3.0f);
  for (uint32_t width : {4u, 17u, 256u}) {
    for (uint32_t k : {1u, 4u, 8u}) {
      if (k > width) continue;
      std::vector<float> scores(width);
      for (float& s : scores) s = dist(rng);
      auto [got, val] = run_topk(scores, k);
      Idx order(width);
      std::iota(order.begin(), order.end(), 0u);
      std::stable_sort(order.begin(), order.end(), [&](uint32_t x, uint32_t y) { return scores[x] > scores[y]; });
      Idx expected(order.begin(), order.begin() + k);
      for (uint32_t j = 0; j < k; ++j) ASSERT_EQ(val[j], scores[got[j]]);
      for (uint32_t j = 1; j < k; ++j) ASSERT_LE(val[(j - 1) / 2], val[j]);
      std::sort(expected.begin(), expected.end());
      std::sort(got.begin(), got.end());
      ASSERT_EQ(got, expected) << "width " << width << " k " << k;
    }
  }
}

}  // namespace
}  // namespace varkel
