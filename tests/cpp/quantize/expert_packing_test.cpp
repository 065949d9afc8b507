// Packing stacked expert tensors into per-layer files of fixed-size records.

#include <gtest/gtest.h>

#include <cmath>

#include <fmt/format.h>

#include "common/test_files.h"
#include "quantize/decode.h"
#include "quantize/qwen35_moe/common/expert_packing.h"
#include "quantize/synthetic_checkpoint.h"

namespace varkel {
namespace {

using quantize_test::as_bytes;
using quantize_test::SourceTensor;
using testing_support::capture_stderr;
using testing_support::quietly;
using testing_support::read_file;
using testing_support::ScratchDir;

TEST(ExpertRecordLayout, OffsetsOfTheFullModel) {
  const auto layout = ExpertRecordLayout::make(2048, 512);
  ASSERT_TRUE(layout);
  const auto& l = *layout;
  EXPECT_EQ((std::vector<uint64_t>{l.gate_weight, l.gate_scales, l.gate_biases, l.up_weight, l.up_scales, l.up_biases,
                                   l.down_weight, l.down_scales, l.down_biases}),
            (std::vector<uint64_t>{0, 524288, 557056, 589824, 1114112, 1146880, 1179648, 1703936, 1736704}));
  EXPECT_EQ(layout->size, 1769472u);

  // Widths that are not whole groups round each part down.
  const auto odd = ExpertRecordLayout::make(100, 70);
  ASSERT_TRUE(odd);
  EXPECT_EQ(odd->size, 2 * 70 * (48 + 4) + 100 * (32 + 4));  // gate and up rows of 12 words, down rows of 8
  EXPECT_FALSE(ExpertRecordLayout::make(UINT64_MAX, UINT64_MAX));
}

// One layer's sources in a local checkpoint directory.
struct Layer {
  SourceTensor gate_up, down;
};

Layer make_layer(std::size_t layer, std::size_t experts, std::size_t inter, std::size_t hidden, uint32_t seed) {
  const std::string p = fmt::format("model.language_model.layers.{}.mlp.experts.", layer);
  return {{p + "gate_up_proj", {experts, 2 * inter, hidden}, quantize_test::bf16_values(experts * 2 * inter * hidden, -1, 1, seed)},
          {p + "down_proj", {experts, hidden, inter}, quantize_test::bf16_values(experts * hidden * inter, 0, 3, seed + 1)}};
}

WeightClass expert_class(std::size_t layer, std::string engine) { return WeightClass::expert(layer, std::move(engine), DType::U32); }

std::string engine_gate(std::size_t layer) {
  return fmt::format("language_model.model.layers.{}.mlp.switch_mlp.gate_up_proj.weight", layer);
}
std::string engine_down(std::size_t layer) {
  return fmt::format("language_model.model.layers.{}.mlp.switch_mlp.down_proj.weight", layer);
}

class ExpertPacking : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(out_ / "packed_experts"); }

  QuantResult<std::size_t> pack(const std::vector<ClassifiedTensor>& classified, uint64_t experts = 3,
                                 uint64_t inter = kInter, uint64_t hidden = kHidden) {
    return process_experts_common(inter, hidden, experts, HfRepo::local(src_.path()), weight_map_, classified,
                                  out_.path());
  }

  void write(const std::vector<const SourceTensor*>& tensors, const std::string& shard) {
    quantize_test::write_safetensors(src_ / shard, tensors);
    for (const SourceTensor* t : tensors) weight_map_[t->name] = shard;
  }

  static constexpr std::size_t kHidden = 128, kInter = 64;
  ScratchDir src_, out_;
  WeightMap weight_map_;
};

TEST_F(ExpertPacking, RecordsDecodeToTheSources) {
  // Layer 2's down tensor lives in another shard than its gate-up tensor.
  const Layer l0 = make_layer(0, 3, kInter, kHidden, 10), l2 = make_layer(2, 3, kInter, kHidden, 20);
  write({&l0.gate_up, &l0.down, &l2.gate_up}, "a.safetensors");
  write({&l2.down}, "b.safetensors");
  const std::vector<ClassifiedTensor> classified = {
      {l2.down.name, expert_class(2, engine_down(2))},
      {l0.gate_up.name, expert_class(0, engine_gate(0))},
      {"model.language_model.layers.0.mlp.gate.weight", WeightClass::non_expert("x", DType::Bf16)},
      {l0.down.name, expert_class(0, engine_down(0))},
      {l2.gate_up.name, expert_class(2, engine_gate(2))},
  };
  auto [count, log] = capture_stderr([&] { return pack(classified); });
  ASSERT_TRUE(count) << count.error();
  EXPECT_EQ(*count, 2u);
  const auto layout = *ExpertRecordLayout::make(kHidden, kInter);
  EXPECT_EQ(log, fmt::format("  Layer 00: {:.1f} MB → layer_00.bin\n  Layer 02: {:.1f} MB → layer_02.bin\n",
                             3.0 * layout.size / 1e6, 3.0 * layout.size / 1e6));
  EXPECT_FALSE(std::filesystem::exists(out_ / "packed_experts" / "layer_01.bin"));

  for (const auto& [index, layer] : {std::pair{0, &l0}, std::pair{2, &l2}}) {
    const std::string file = read_file(out_ / "packed_experts" / fmt::format("layer_{:02}.bin", index));
    ASSERT_EQ(file.size(), 3 * layout.size);
    for (std::size_t e = 0; e < 3; ++e) {
      quantize_test::expect_expert_record(as_bytes(file).subspan(e * layout.size, layout.size), layout,
                                          layer->gate_up.values, layer->down.values, e, kInter, kHidden);
    }
  }
}

TEST_F(ExpertPacking, Errors) {
  // Separate gate and up tensors hold half the stacked values: the range
  // check fails at expert N/2, and no file is written.
  const std::size_t n = 4;
  SourceTensor gate{"model.language_model.layers.0.mlp.switch_mlp.gate_proj.weight", {n, kInter, kHidden},
                    quantize_test::bf16_values(n * kInter * kHidden, -1, 1, 70)};
  const Layer l0 = make_layer(0, n, kInter, kHidden, 71);
  write({&gate, &l0.gate_up, &l0.down}, "m.safetensors");
  const std::vector<ClassifiedTensor> separate = {{gate.name, expert_class(0, gate.name)},
                                                  {l0.down.name, expert_class(0, engine_down(0))}};
  auto range = pack(separate, n);
  ASSERT_FALSE(range);
  const std::size_t block = kInter * kHidden;
  EXPECT_EQ(range.error(), fmt::format("range end index {} out of range for slice of length {}",
                                       (n / 2) * 2 * block + block, n * block));
  EXPECT_FALSE(std::filesystem::exists(out_ / "packed_experts" / "layer_00.bin"));

  // Scales of stacked experts: the checkpoint is already quantized.
  const std::vector<ClassifiedTensor> quantized = {
      {l0.down.name, expert_class(0, engine_down(0))},
      {"model.language_model.layers.0.mlp.experts.do.scales",
       expert_class(0, "language_model.model.layers.0.mlp.switch_mlp.down_proj.scales")}};
  auto refused = pack(quantized, n);
  ASSERT_FALSE(refused);
  EXPECT_NE(refused.error().find("already quantized"), std::string::npos) << refused.error();
  EXPECT_NE(refused.error().find("model.language_model.layers.0.mlp.experts.do.scales"), std::string::npos);

  // A source missing from the weight map, and a missing shard file.
  auto unmapped = pack({{"nowhere", expert_class(5, engine_gate(5))}, {l0.down.name, expert_class(5, engine_down(5))}});
  ASSERT_FALSE(unmapped);
  EXPECT_EQ(unmapped.error(), "shard not found");
  weight_map_["ghost"] = "ghost.safetensors";
  auto missing = pack({{"ghost", expert_class(5, engine_gate(5))}, {l0.down.name, expert_class(5, engine_down(5))}});
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), "file not found: " + (src_ / "ghost.safetensors").string());
}

// Expert sizes whose rows are not whole groups of 64 would lose columns (or,
// at width 0, let any expert count through without a byte to back it): they
// are refused before a shard is read or a buffer allocated.
TEST_F(ExpertPacking, SizesThatAreNotWholeGroupsAreRefused) {
  const Layer l0 = make_layer(0, 2, kInter, kHidden, 80);
  write({&l0.gate_up, &l0.down}, "s.safetensors");
  const std::vector<ClassifiedTensor> classified = {{l0.gate_up.name, expert_class(0, engine_gate(0))},
                                                    {l0.down.name, expert_class(0, engine_down(0))}};
  struct Case { uint64_t hidden, inter, experts; };
  for (const Case& c : {Case{0, 64, uint64_t{1} << 22}, Case{64, 0, uint64_t{1} << 22}, Case{32, 64, 2},
                        Case{64, 100, 2}, Case{100, 64, 2}}) {
    const auto packed = quietly([&] { return pack(classified, c.experts, c.inter, c.hidden); });
    ASSERT_FALSE(packed) << c.hidden << " " << c.inter;
    EXPECT_EQ(packed.error(), fmt::format("layer 0: experts of hidden_size {} and moe_intermediate_size {} cannot be "
                                          "packed: both must be positive multiples of 64",
                                          c.hidden, c.inter));
    EXPECT_FALSE(std::filesystem::exists(out_ / "packed_experts" / "layer_00.bin"));
  }
  // No experts, nothing lost: an empty file whatever the widths.
  const auto none = quietly([&] { return pack(classified, 0, 0, 0); });
  ASSERT_TRUE(none) << none.error();
  EXPECT_EQ(std::filesystem::file_size(out_ / "packed_experts" / "layer_00.bin"), 0u);
}

}  // namespace
}  // namespace varkel
