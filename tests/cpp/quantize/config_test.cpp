// Reading "config.json", the "Model config:" lines and the convolution reorder.

#include <gtest/gtest.h>

#include <numeric>

#include <nlohmann/json.hpp>

#include "common/test_files.h"
#include "quantize/qwen35_moe/bq4/bq4_scheme.h"
#include "quantize/qwen35_moe/common/qwen35_moe_config.h"
#include "quantize/qwen35_moe/common/sanitize.h"

namespace varkel {
namespace {

using testing_support::ScratchDir;
using testing_support::write_file;

TEST(SchemeConstruction, ReadsConfigAndPrintsModelConfigLines) {
  ScratchDir dir;
  EXPECT_EQ(load_config(dir.path()).error(), "No such file or directory (os error 2)");
  write_file(dir / "config.json", "{\"hidden_size\": ");
  EXPECT_NE(load_config(dir.path()).error().find("line 1"), std::string::npos);

  write_file(dir / "config.json",
             R"({"text_config": {"hidden_size": 2048, "vocab_size": 248320, "num_hidden_layers": 41,
                 "mtp_num_hidden_layers": 1, "num_experts": 256, "num_experts_per_tok": 8,
                 "moe_intermediate_size": 512, "shared_expert_intermediate_size": 512}})");
  auto [scheme, out] = testing_support::capture_stderr([&] { return BQ4Scheme::create(dir.path(), true); });
  ASSERT_TRUE(scheme) << scheme.error();
  EXPECT_EQ(out,
            "Model config:\n"
            "  hidden_dim=2048, vocab_size=248320\n"
            "  num_layers=41 (main=40, mtp=1)\n"
            "  num_experts=256, experts_per_tok=8\n"
            "  moe_intermediate=512, shared_intermediate=512\n"
            "  Name mapping entries: 5321\n");  // 113 * 41 + 24 * 27 + 40
  EXPECT_TRUE(scheme->data().add_one_to_norms);
}

TEST(Sanitize, ConvolutionWeightsSwapTheLastAxes) {
  std::vector<float> values(24);
  std::iota(values.begin(), values.end(), 0.0f);
  std::vector<std::size_t> shape = {2, 3, 4};
  ASSERT_TRUE(sanitize_tensor("language_model.model.layers.0.linear_attn.conv1d.weight", false, values, shape));
  EXPECT_EQ(shape, (std::vector<std::size_t>{2, 4, 3}));
  const std::vector<float> expected = {0, 4, 8, 1, 5, 9, 2, 6, 10, 3, 7, 11, 12, 16, 20, 13, 17, 21, 14, 18, 22, 15, 19, 23};
  EXPECT_EQ(values, expected);

  // A header that promises more values than the data holds stops the conversion.
  std::vector<float> short_values(23, 1.0f);
  std::vector<std::size_t> claimed = {2, 3, 4};
  auto failed = sanitize_tensor("layers.0.linear_attn.conv1d.weight", false, short_values, claimed);
  ASSERT_FALSE(failed);
  EXPECT_NE(failed.error().find("layers.0.linear_attn.conv1d.weight"), std::string::npos) << failed.error();
  EXPECT_EQ(claimed, (std::vector<std::size_t>{2, 3, 4}));
  std::vector<std::size_t> overflowing = {SIZE_MAX, 2, 2};
  EXPECT_FALSE(moveaxis_2_to_1("t", short_values, overflowing));
}

}  // namespace
}  // namespace varkel
