#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "engine/qwen35_moe/router.h"

namespace varkel {
namespace {

TEST(RouterTest, SoftmaxTopkTiesAndRenormalisation) {
  // All equal: the first k experts, weights 1/k.
  const qwen35::Routing r = qwen35::route(std::vector<float>(256, -3.0f), 8);
  EXPECT_EQ(r.experts, (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6, 7}));
  for (float w : r.weights) EXPECT_FLOAT_EQ(w, 0.125f);
  const std::vector<float> logits{1.0f, -2.0f, 0.5f, 3.0f};
  std::vector<float> p = logits;
  qwen35::softmax_in_place(p);
  double z = 0;
  for (float l : logits) z += std::exp(static_cast<double>(l) - 3.0);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR(p[i], std::exp(logits[i] - 3.0) / z, 1e-7);
  // k = 2 keeps experts 0 and 3 in heap order, renormalised to sum 1.
  const qwen35::Routing two = qwen35::route(logits, 2);
  EXPECT_EQ(two.experts, (std::vector<uint32_t>{0, 3}));
  EXPECT_NEAR(two.weights[0], std::exp(-2.0) / (1 + std::exp(-2.0)), 1e-7);
  EXPECT_NEAR(two.weights[0] + two.weights[1], 1.0, 1e-7);
  // A NaN logit makes every probability NaN; a zero or NaN total is left alone.
  std::vector<float> with_nan{0.0f, std::numeric_limits<float>::quiet_NaN(), 1.0f};
  qwen35::softmax_in_place(with_nan);
  for (float v : with_nan) EXPECT_TRUE(std::isnan(v));
  std::vector<float> zeros{0.0f, 0.0f};
  qwen35::renormalise(zeros);
  EXPECT_EQ(zeros, (std::vector<float>{0.0f, 0.0f}));
  std::vector<float> nan_total{std::numeric_limits<float>::quiet_NaN(), 1.0f};
  qwen35::renormalise(nan_total);
  EXPECT_EQ(nan_total[1], 1.0f);
}

}  // namespace
}  // namespace varkel
