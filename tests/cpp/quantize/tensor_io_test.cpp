// Reading tensors by slices and encoding them in blocks must give exactly
// what the whole-tensor reader and encoder give.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "common/test_files.h"
#include "quantize/parallel_encode.h"
#include "quantize/synthetic_checkpoint.h"
#include "quantize/tensor_source.h"

namespace varkel {
namespace {

using testing_support::ScratchDir;

TEST(TensorSource, SlicesMatchTheWholeReadAndFailLikeIt) {
  ScratchDir dir;
  quantize_test::SourceTensor bf16{"a", {3, 70000}, quantize_test::bf16_values(210000, -4, 4, 2)};
  quantize_test::SourceTensor f32{"b", {5}, {1.5f, -2.0f, 0.0f, 1e-30f, 3.0f}, "F32"};
  quantize_test::write_safetensors(dir / "x.safetensors", {&bf16, &f32});
  auto header = parse_safetensors(dir / "x.safetensors");
  ASSERT_TRUE(header);

  for (const auto* t : {&bf16, &f32}) {
    auto source = TensorSource::open(dir / "x.safetensors", *header, t->name);
    ASSERT_TRUE(source) << source.error();
    EXPECT_EQ(source->value_count(), t->values.size());
    auto all = source->all_values();
    ASSERT_TRUE(all);
    EXPECT_TRUE(std::equal(all->span().begin(), all->span().end(), t->values.begin(), t->values.end())) << t->name;
    auto slice = source->values(2, 3);
    ASSERT_TRUE(slice);
    EXPECT_EQ(*slice, std::vector<float>(t->values.begin() + 2, t->values.begin() + 5));
  }

  auto missing = TensorSource::open(dir / "x.safetensors", *header, "nope");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), read_tensor_bytes(dir / "x.safetensors", *header, "nope").error());

  // Cut the file inside the first tensor: both report the short read.
  std::filesystem::resize_file(dir / "x.safetensors", header->data_start + 1000);
  auto cut = TensorSource::open(dir / "x.safetensors", *header, "a");
  ASSERT_FALSE(cut);
  EXPECT_EQ(cut.error(), "failed to fill whole buffer");
  std::filesystem::remove(dir / "x.safetensors");
  auto gone = TensorSource::open(dir / "x.safetensors", *header, "a");
  ASSERT_FALSE(gone);
  EXPECT_EQ(gone.error(), "No such file or directory (os error 2)");
}

}  // namespace
}  // namespace varkel
