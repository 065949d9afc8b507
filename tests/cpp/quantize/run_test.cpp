// The conversion driver end to end on a synthetic checkpoint: what the weight
// file and the manifest hold, interruption, the failures, and what a killed or
// failed run leaves of an earlier conversion.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "common/test_files.h"
#include "dtype/dtype.h"
#include "model/expert_fixture.h"
#include "model/model.h"
#include "quantize/decode.h"
#include "quantize/qwen35_moe/bq4/bq4_scheme.h"
#include "quantize/qwen35_moe/int4/int4_scheme.h"
#include "quantize/run.h"
#include "quantize/synthetic_checkpoint.h"

namespace varkel {
namespace {

using namespace quantize_test;
using testing_support::capture_stderr;
using testing_support::quietly;
using testing_support::read_file;
using testing_support::write_file;
using testing_support::ScratchDir;

struct Conversion {
  QuantResult<void> result;
  std::string log;
};

Conversion convert(const std::string& source, const std::filesystem::path& out, const QuantScheme& scheme) {
  auto [result, log] = capture_stderr([&] { return run(source, out.string(), scheme); });
  return {std::move(result), std::move(log)};
}

nlohmann::json read_json(const std::filesystem::path& path) { return nlohmann::json::parse(read_file(path)); }

template <class Scheme>
Scheme make_scheme(const std::filesystem::path& dir, bool add_one) {
  return quietly([&] { return Scheme::create(dir, add_one); }).value();
}

// One synthetic checkpoint, converted once with bq4 and once with int4 and the norm shift.
class Converted : public ::testing::Test {
 protected:
  struct Run {
    ScratchDir src, out;
    std::vector<SourceTensor> tensors = make_tensors(CheckpointShape{}, 1);
    Conversion bq4, int4;
  };
  static void SetUpTestSuite() {
    run_ = std::make_unique<Run>();
    const auto& src = run_->src.path();
    write_checkpoint(src, make_config(CheckpointShape{}), checkpoint_specs(CheckpointShape{}, 1));
    run_->bq4 = convert(src.string(), run_->out / "bq4", make_scheme<BQ4Scheme>(src, false));
    run_->int4 = convert(src.string(), run_->out / "int4", make_scheme<Int4Scheme>(src, true));
  }
  static void TearDownTestSuite() { run_.reset(); }
  static inline std::unique_ptr<Run> run_;
};

// The storage type each scheme gives a non-expert source tensor.
DType expected_type(const SourceTensor& t, bool bq4) {
  if (t.name.ends_with(".A_log")) return DType::F32;
  if (t.shape.size() != 2 || !t.name.ends_with(".weight")) return DType::Bf16;
  if (!bq4) return DType::U32;
  if (t.name == "lm_head.weight") return DType::U8;
  const bool attention = t.name.find(".self_attn.") != std::string::npos && t.name.ends_with("_proj.weight");
  return attention || t.name.ends_with(".mlp.gate.weight") ? DType::Bf16 : DType::U32;
}

// Every non-expert tensor decodes to its source within its type's bound (plus
// one for the norms that int4 with the 3.6 layout shifts); experts and vision
// tensors are absent.
void expect_weights_decode(const std::filesystem::path& out, const std::vector<SourceTensor>& tensors, bool bq4,
                           bool add_one) {
  const nlohmann::json manifest = read_json(out / "model_weights.json");
  const nlohmann::json& entries = manifest.at("tensors");
  const std::string file = read_file(out / "model_weights.bin");
  std::size_t expected_parts = 0;
  for (const SourceTensor& t : tensors) {
    SCOPED_TRACE(t.name);
    std::string engine = t.name;
    if (engine.starts_with("lm_head.")) engine = "language_model." + engine;
    if (engine.starts_with("model.language_model.")) engine = "language_model.model." + engine.substr(21);
    const std::string stem = engine.substr(0, engine.size() - 7);  // without ".weight"
    if (t.name.find(".mlp.experts.") != std::string::npos || t.name.starts_with("model.visual.")) {
      EXPECT_FALSE(entries.contains(engine) || entries.contains(stem + ".weight"));
      continue;
    }
    std::vector<float> expected = t.values;
    const std::string& n = t.name;
    if (add_one && (n.ends_with("_layernorm.weight") || n.ends_with(".q_norm.weight") || n.ends_with(".k_norm.weight") ||
                    n == "model.language_model.norm.weight")) {
      for (float& v : expected) v += 1.0f;
    }
    const auto part = [&](const std::string& name, const char* dtype) {
      const nlohmann::json& entry = entries.at(name);
      EXPECT_EQ(entry.at("dtype"), dtype) << name;
      return as_bytes(file).subspan(entry.at("offset").get<std::size_t>(), entry.at("size").get<std::size_t>());
    };
    const auto shape = [&](const std::string& name) { return entries.at(name).at("shape"); };
    const std::size_t rows = t.shape[0], cols = t.shape.size() > 1 ? t.shape[1] : 0;
    const DType type = expected_type(t, bq4);
    if (type == DType::F32 || type == DType::Bf16) {
      const bool f32 = type == DType::F32;
      EXPECT_EQ(shape(engine), nlohmann::json::array({expected.size()}));
      const auto bytes = part(engine, f32 ? "f32" : "bf16");
      ASSERT_EQ(bytes.size(), expected.size() * (f32 ? 4 : 2));
      // f32 exactly; our bf16 rounding may miss the nearest value by one unit in the last place.
      for (std::size_t i = 0; i < expected.size(); ++i) {
        const float v = f32 ? load_le<float>(bytes, i) : bf16_at(bytes, i);
        ASSERT_LE(std::fabs(v - expected[i]), std::fabs(expected[i]) * (f32 ? 0.0f : 1.0f / 128.0f)) << i;
      }
      expected_parts += 1;
    } else if (type == DType::U32) {
      const std::size_t padded = (cols + 63) / 64 * 64;
      EXPECT_EQ(shape(stem + ".weight"), nlohmann::json::array({rows, padded / 8}));
      EXPECT_EQ(shape(stem + ".scales"), nlohmann::json::array({rows, padded / 64}));
      std::vector<float> rows_padded(rows * padded, 0.0f);  // padding columns are encoded from zeros
      for (std::size_t r = 0; r < rows; ++r) std::ranges::copy(std::span(expected).subspan(r * cols, cols), &rows_padded[r * padded]);
      expect_int4_close(decode_u32(part(stem + ".weight", "u32"), part(stem + ".scales", "bf16"),
                                   part(stem + ".biases", "bf16"), rows, padded),
                        rows_padded, stem);
      expected_parts += 3;
    } else {
      // 8-bit symmetric: signed codes times an f32 scale per row, within half a step.
      ASSERT_EQ(type, DType::U8);
      EXPECT_EQ(shape(stem + ".weight"), nlohmann::json::array({rows, cols}));
      EXPECT_FALSE(entries.contains(stem + ".biases"));
      const auto codes = part(stem + ".weight", "u8"), scales = part(stem + ".scales", "f32");
      for (std::size_t r = 0; r < rows; ++r) {
        float amax = 0.0f;
        for (std::size_t c = 0; c < cols; ++c) amax = std::max(amax, std::fabs(expected[r * cols + c]));
        for (std::size_t c = 0; c < cols; ++c) {
          const float v = static_cast<float>(static_cast<int8_t>(codes[r * cols + c])) * load_le<float>(scales, r);
          ASSERT_LE(std::fabs(v - expected[r * cols + c]), 0.5f * amax / 127.0f + 1e-6f) << r << "," << c;
        }
      }
      expected_parts += 2;
    }
  }
  EXPECT_EQ(manifest.at("num_tensors"), expected_parts);
  EXPECT_EQ(entries.size(), expected_parts);
}

TEST_F(Converted, WeightsDecodeToTheSourceUnderBothSchemes) {
  ASSERT_TRUE(run_->bq4.result) << run_->bq4.result.error();
  ASSERT_TRUE(run_->int4.result) << run_->int4.result.error();
  expect_weights_decode(run_->out / "bq4", run_->tensors, true, false);
  expect_weights_decode(run_->out / "int4", run_->tensors, false, true);
}

TEST_F(Converted, ManifestLayoutAlignmentAndConfig) {
  ASSERT_TRUE(run_->bq4.result) << run_->bq4.result.error();
  const std::filesystem::path out = run_->out / "bq4";
  const std::string text = read_file(out / "model_weights.json");
  const nlohmann::json manifest = nlohmann::json::parse(text);
  EXPECT_NE(text.back(), '\n');
  EXPECT_TRUE(text.starts_with("{\n  \"config\": {\n    \"full_attention_interval\": 4,\n")) << text.substr(0, 80);
  EXPECT_EQ(manifest.at("model"), run_->src.path().string());
  const nlohmann::json& config = manifest.at("config");
  // num_hidden_layers 4 with one MTP layer leaves three main layers.
  EXPECT_EQ(config.at("layer_types"), nlohmann::json({"linear_attention", "linear_attention", "linear_attention"}));
  EXPECT_EQ(config.at("mtp_num_hidden_layers"), 1);
  EXPECT_EQ(config.at("rope_theta").get<double>(), 1e7);
  // Reals in their shortest form: 1e-6, not 1e-06.
  EXPECT_NE(text.find("\"rms_norm_eps\": 1e-6,\n"), std::string::npos) << text.substr(0, 1200);

  // Names in ascending byte order in the text; parts by offset: every source
  // tensor starts on 64 bytes, its parts follow back to back, gaps are zero,
  // and the file ends with the last part.
  std::size_t last = 0;
  std::vector<std::tuple<uint64_t, uint64_t, std::string>> parts;  // offset, size, name
  for (const auto& [name, entry] : manifest.at("tensors").items()) {
    const std::size_t at = text.find("\n    \"" + name + "\": {");
    ASSERT_NE(at, std::string::npos) << name;
    EXPECT_GT(at, last) << name;
    last = at;
    parts.emplace_back(entry.at("offset").get<uint64_t>(), entry.at("size").get<uint64_t>(), name);
  }
  std::ranges::sort(parts);
  const std::string file = read_file(out / "model_weights.bin");
  uint64_t end = 0;
  for (const auto& [offset, size, name] : parts) {
    if (name.ends_with(".scales") || name.ends_with(".biases")) {
      EXPECT_EQ(offset, end) << name;
    } else {
      EXPECT_EQ(offset % 64, 0u) << name;
      EXPECT_LT(offset - end, 64u) << name;
      EXPECT_EQ(file.substr(end, offset - end), std::string(offset - end, '\0')) << name;
    }
    end = offset + size;
  }
  EXPECT_EQ(file.size(), end);

  EXPECT_EQ(read_file(out / "config.json"), read_file(run_->src / "config.json"));
}

// A one-shard checkpoint of the given tensors with the default config.
void write_small(const std::filesystem::path& dir, const std::vector<TensorSpec>& tensors,
                 nlohmann::json config = make_config(CheckpointShape{})) {
  write_checkpoint(dir, config, tensors, [](const std::string&) { return "model.safetensors"; });
}

TEST(RunDriver, InterruptIsPolledOncePerShard) {
  ScratchDir src, out;
  const CheckpointShape shape;
  write_checkpoint(src.path(), make_config(shape), checkpoint_specs(shape, 2));
  const BQ4Scheme scheme = make_scheme<BQ4Scheme>(src.path(), false);

  // Stops at poll `stop_at` (0: never); returns the result, the log and the number of polls.
  const auto converted = [&](const char* name, int stop_at) {
    int polls = 0;
    auto [result, log] = capture_stderr([&] {
      return run(src.path().string(), (out / name).string(), scheme, [&]() -> std::optional<std::string> {
        return ++polls == stop_at ? std::optional<std::string>("KeyboardInterrupt") : std::nullopt;
      });
    });
    return std::tuple{std::move(result), std::move(log), polls};
  };
  const auto [finished, _, polls] = converted("a", 0);
  ASSERT_TRUE(finished) << finished.error();
  EXPECT_EQ(polls, 2);

  const auto [stopped, log, stopped_polls] = converted("b", 2);
  ASSERT_FALSE(stopped);
  EXPECT_EQ(stopped.error(), "interrupted: KeyboardInterrupt");
  EXPECT_NE(log.find(std::string("Caching header: ") + kShard1), std::string::npos);
  EXPECT_EQ(log.find(std::string("Caching header: ") + kShard2), std::string::npos);
  // The unfinished weight file goes with the failure; there is no manifest yet.
  for (const char* name : {"model_weights.bin", "model_weights.bin.partial", "model_weights.json"}) {
    EXPECT_FALSE(std::filesystem::exists(out / "b" / name)) << name;
  }
}

TEST(RunDriver, EmptyIndexAndPaddedTensors) {
  ScratchDir src, out;
  write_small(src.path(), {});
  write_file(src / "model.safetensors.index.json", R"({"metadata": {}})");
  const BQ4Scheme scheme = make_scheme<BQ4Scheme>(src.path(), false);
  const Conversion empty = convert(src.path().string(), out / "empty", scheme);
  ASSERT_TRUE(empty.result) << empty.result.error();
  EXPECT_TRUE(empty.log.starts_with("  Total tensors: 0\n")) << empty.log;
  EXPECT_NE(empty.log.find("  packed_experts    : 0 layers\n"), std::string::npos);
  EXPECT_EQ(std::filesystem::file_size(out / "empty" / "model_weights.bin"), 0u);
  EXPECT_EQ(read_json(out / "empty" / "model_weights.json").at("tensors"), nlohmann::json::object());
  EXPECT_TRUE(std::filesystem::is_empty(out / "empty" / "packed_experts"));

  // [3, 100] as 4-bit: 128 columns, the extra ones from zeros; a bf16 [4, 8]
  // follows at the next multiple of 64 after the third part; then an 8-bit [2, 0].
  ScratchDir padded_src;
  write_small(padded_src.path(), {{"model.language_model.layers.0.linear_attn.in_proj_z.weight", {3, 100}, -2, 2},
                                   {"model.language_model.layers.0.linear_attn.dt_bias", {4, 8}},
                                   {"lm_head.weight", {2, 0}}});
  const Conversion padded = convert(padded_src.path().string(), out / "padded", scheme);
  ASSERT_TRUE(padded.result) << padded.result.error();
  const nlohmann::json tensors = read_json(out / "padded" / "model_weights.json").at("tensors");
  const std::string base = "language_model.model.layers.0.linear_attn.in_proj_z";
  EXPECT_EQ(tensors.at(base + ".weight"), nlohmann::json({{"dtype", "u32"}, {"offset", 0}, {"shape", {3, 16}}, {"size", 192}}));
  EXPECT_EQ(tensors.at(base + ".scales"), nlohmann::json({{"dtype", "bf16"}, {"offset", 192}, {"shape", {3, 2}}, {"size", 12}}));
  EXPECT_EQ(tensors.at(base + ".biases"), nlohmann::json({{"dtype", "bf16"}, {"offset", 204}, {"shape", {3, 2}}, {"size", 12}}));
  EXPECT_EQ(tensors.at("language_model.model.layers.0.linear_attn.dt_bias"),
            nlohmann::json({{"dtype", "bf16"}, {"offset", 256}, {"shape", {32}}, {"size", 64}}));
  // A head of no columns: no codes, a scale per row.
  EXPECT_EQ(tensors.at("language_model.lm_head.weight"),
            nlohmann::json({{"dtype", "u8"}, {"offset", 320}, {"shape", {2, 0}}, {"size", 0}}));
  EXPECT_EQ(tensors.at("language_model.lm_head.scales"),
            nlohmann::json({{"dtype", "f32"}, {"offset", 320}, {"shape", {2}}, {"size", 8}}));
  const std::string file = read_file(out / "padded" / "model_weights.bin");
  EXPECT_EQ(file.size(), 328u);
  EXPECT_EQ(file.substr(216, 40), std::string(40, '\0'));
}

TEST(RunDriver, Failures) {
  ScratchDir src, out;
  const TensorSpec norm{"model.language_model.norm.weight", {64}, 0, 1};
  write_small(src.path(), {norm});
  const BQ4Scheme scheme = make_scheme<BQ4Scheme>(src.path(), false);
  const auto fails_with = [&](const std::filesystem::path& dir, const std::string& name) {
    const Conversion c = convert(dir.string(), out / name, scheme);
    EXPECT_FALSE(c.result) << name;
    return c.result ? std::string() : c.result.error();
  };

  std::filesystem::remove(src / "model.safetensors.index.json");
  EXPECT_EQ(fails_with(src.path(), "no_index"), "file not found: " + (src / "model.safetensors.index.json").string());
  write_file(src / "model.safetensors.index.json", "{\"weight_map\": ");
  EXPECT_NE(fails_with(src.path(), "bad_index").find("line 1"), std::string::npos);

  // A shard name that leaves the checkpoint is refused before anything is read.
  write_small(src.path(), {norm});
  write_file(src / "model.safetensors.index.json", R"({"weight_map": {"model.language_model.norm.weight": "../model.safetensors"}})");
  EXPECT_NE(fails_with(src.path(), "escape").find("\"../model.safetensors\""), std::string::npos);

  // full_attention_interval 0 fails before the weight file exists.
  write_small(src.path(), {norm}, {{"num_hidden_layers", 2}, {"full_attention_interval", 0}});
  const BQ4Scheme zero = make_scheme<BQ4Scheme>(src.path(), false);
  auto interval = quietly([&] { return run(src.path().string(), (out / "zero").string(), zero); });
  ASSERT_FALSE(interval);
  EXPECT_EQ(interval.error(), "attempt to calculate the remainder with a divisor of zero");
  EXPECT_FALSE(std::filesystem::exists(out / "zero" / "model_weights.bin"));

  // A tensor with no dimensions, and one whose header promises more than its data.
  write_small(src.path(), {{"model.language_model.layers.0.linear_attn.dt_bias", {}}});
  const std::string scalar = fails_with(src.path(), "scalar");
  EXPECT_NE(scalar.find("model.language_model.layers.0.linear_attn.dt_bias"), std::string::npos) << scalar;
  write_small(src.path(), {{"model.language_model.layers.0.linear_attn.in_proj_z.weight", {2, 64}}});
  {
    std::string bytes = read_file(src / "model.safetensors");
    const auto at = bytes.find("[2,64]");
    ASSERT_NE(at, std::string::npos);
    bytes.replace(at, 6, "[3,64]");
    write_file(src / "model.safetensors", bytes);
  }
  const std::string short_data = fails_with(src.path(), "short");
  EXPECT_NE(short_data.find("linear_attn.in_proj_z.weight"), std::string::npos) << short_data;

  // The errors of the operations that meet a file or a directory in the way:
  // making the output directory (under a file, or a file itself) and copying
  // "config.json" onto a directory.
  write_small(src.path(), {norm});
  write_file(out / "file", "x");
  std::filesystem::create_directories(out / "config_dir" / "config.json");
  const std::pair<std::filesystem::path, std::string> in_the_way[] = {
      {out / "file" / "sub", "Not a directory (os error 20)"},
      {out / "file", "File exists (os error 17)"},
      {out / "config_dir", "Is a directory (os error 21)"},
  };
  for (const auto& [dir, error] : in_the_way) {
    auto blocked = quietly([&] { return run(src.path().string(), dir.string(), scheme); });
    ASSERT_FALSE(blocked) << dir;
    EXPECT_EQ(blocked.error(), error) << dir;
  }
  EXPECT_EQ(read_file(out / "file"), "x");
  EXPECT_TRUE(std::filesystem::is_directory(out / "config_dir" / "config.json"));
}

// A conversion in a child process (this test program run again) that kills
// itself with SIGKILL once its progress text contains `kill_after`.
constexpr const char* kKillSource = "VARKEL_TEST_KILL_SOURCE";
constexpr const char* kKillOut = "VARKEL_TEST_KILL_OUT";
constexpr const char* kKillAfter = "VARKEL_TEST_KILL_AFTER";

[[noreturn]] void convert_until_killed(const char* source, const char* out, const char* kill_after) {
  const BQ4Scheme scheme = make_scheme<BQ4Scheme>(source, false);
  struct Progress {
    std::string text, kill_after;
  };
  static Progress progress{{}, kill_after};
  cookie_io_functions_t io{};
  io.write = [](void* cookie, const char* bytes, std::size_t size) -> ssize_t {
    auto* p = static_cast<Progress*>(cookie);
    p->text.append(bytes, size);
    if (p->text.find(p->kill_after) != std::string::npos) ::raise(SIGKILL);
    return static_cast<ssize_t>(size);
  };
  stderr = ::fopencookie(&progress, "w", io);
  std::setvbuf(stderr, nullptr, _IONBF, 0);
  (void)run(source, out, scheme);
  std::_Exit(0);  // never reached the text: the parent sees a normal exit
}

// The child's wait status.
int run_killed(const std::filesystem::path& source, const std::filesystem::path& out, const std::string& kill_after) {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::vector<std::string> strings = {"/proc/self/exe",
                                      fmt::format("--gtest_filter={}.{}", test->test_suite_name(), test->name()),
                                      fmt::format("{}={}", kKillSource, source.string()),
                                      fmt::format("{}={}", kKillOut, out.string()),
                                      fmt::format("{}={}", kKillAfter, kill_after)};
  std::vector<char*> argv = {strings[0].data(), strings[1].data(), nullptr};
  std::vector<char*> envp = {strings[2].data(), strings[3].data(), strings[4].data()};
  for (char** e = environ; *e != nullptr; ++e) envp.push_back(*e);
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  if (spawned != 0 || ::waitpid(pid, &status, 0) != pid) ADD_FAILURE() << "cannot run the child: " << spawned;
  return status;
}

// The bytes of every file a model load reads, by name below `dir`.
std::map<std::string, std::string> loaded_files(const std::filesystem::path& dir) {
  std::map<std::string, std::string> files;
  for (const char* name : {"config.json", "model_weights.json", "model_weights.bin"}) {
    if (std::filesystem::exists(dir / name)) files[name] = read_file(dir / name);
  }
  for (const char* sub : {"packed_experts", "packed_experts_lz4"}) {
    if (!std::filesystem::is_directory(dir / sub)) continue;
    for (const auto& entry : std::filesystem::directory_iterator(dir / sub)) {
      const std::string name = entry.path().filename().string();
      if (name.starts_with("layer_") && name.ends_with(".bin")) files[std::string(sub) + "/" + name] = read_file(entry);
    }
  }
  return files;
}

// A raw layer file of `experts` records as an LZ4 layer file that a load reads in its place.
std::string as_lz4_layer(const std::string& raw, uint32_t experts) {
  const std::size_t record = raw.size() / experts;
  std::vector<std::vector<uint8_t>> blocks;
  for (uint32_t e = 0; e < experts; ++e) {
    blocks.push_back(testing_support::compress_block({raw.begin() + e * record, raw.begin() + (e + 1) * record}));
  }
  return testing_support::lz4_file(blocks);
}

std::vector<std::string> partial_files(const std::filesystem::path& dir) {
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    if (entry.path().string().ends_with(".partial")) found.push_back(entry.path().string());
  }
  return found;
}

// An earlier conversion in the output directory is replaced whole or not at
// all: whatever stage a run is killed in or fails in, what it leaves holds no
// file of the earlier run that a load reads, and a load refuses it; a run
// that finishes leaves only its own files, and none under a partial name.
TEST(RunDriver, ReplacingAnEarlierConversion) {
  if (const char* kill_after = std::getenv(kKillAfter)) {
    convert_until_killed(std::getenv(kKillSource), std::getenv(kKillOut), kill_after);
  }
  ScratchDir work;
  // Two checkpoints that differ in every file a load reads.
  const CheckpointShape a_shape, b_shape{.vocab = 48};
  write_checkpoint(work / "a", make_config(a_shape), checkpoint_specs(a_shape, 100));
  write_checkpoint(work / "b", make_config(b_shape), checkpoint_specs(b_shape, 200));
  // b with layer 1's down projection missing (a skipped layer), and with
  // layer 2's too short (a failing expert stage).
  const std::string down = "model.language_model.layers.{}.mlp.experts.down_proj";
  std::vector<TensorSpec> skipped, failing;
  for (TensorSpec spec : checkpoint_specs(b_shape, 200)) {
    if (spec.name != fmt::format(fmt::runtime(down), 1)) skipped.push_back(spec);
    if (spec.name == fmt::format(fmt::runtime(down), 2)) spec.shape[2] /= 2;
    failing.push_back(spec);
  }
  write_checkpoint(work / "skipped", make_config(b_shape), skipped);
  write_checkpoint(work / "failing", make_config(b_shape), failing);

  const auto convert_b = [&](const std::filesystem::path& source, const std::filesystem::path& out) {
    return convert(source.string(), out, make_scheme<BQ4Scheme>(source, false));
  };
  const auto load = [](const std::filesystem::path& dir) { return quietly([&] { return Model::load(dir.string()); }); };
  ASSERT_TRUE(convert_b(work / "b", work / "b_out").result);
  ASSERT_TRUE(load(work / "b_out")) << "a finished conversion loads";
  auto finished = loaded_files(work / "b_out");
  finished.erase("model_weights.json");  // names its source

  enum class End { Killed, Fails, Finishes };
  struct Case {
    const char* what;
    const char* source;
    End end;
    std::string kill_after = "";  // the progress text a killed run dies at
    bool in_place = false;        // the checkpoint's own directory is the output
  };
  const Case cases[] = {
      {"killed in the shard loop", "b", End::Killed, "  Caching header: "},
      {"killed after the manifest", "b", End::Killed, "  Manifest: "},
      {"killed after the first layer file", "b", End::Killed, "  Layer 00: "},
      {"killed after the last layer file", "b", End::Killed, " expert layers in "},
      {"killed after the manifest, in place", "b", End::Killed, "  Manifest: ", true},
      {"failing in the expert stage", "failing", End::Fails},
      {"finishing with layer 1 skipped", "skipped", End::Finishes},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::filesystem::path out = work / fmt::format("out{}", n++);
    const std::filesystem::path a_dir = c.in_place ? out : work / "a";
    if (c.in_place) std::filesystem::copy(work / "a", out);
    ASSERT_TRUE(convert(a_dir.string(), out, make_scheme<BQ4Scheme>(a_dir, false)).result);
    // An LZ4 layer of the earlier conversion would be read before the new raw one.
    write_file(out / "packed_experts_lz4" / "layer_01.bin",
               as_lz4_layer(read_file(out / "packed_experts" / "layer_01.bin"), a_shape.experts));
    ASSERT_TRUE(load(out)) << "the earlier conversion loads";
    const auto earlier = loaded_files(out);
    std::filesystem::path source = work / c.source;
    if (c.in_place) {
      std::filesystem::copy(source, out, std::filesystem::copy_options::overwrite_existing |
                                             std::filesystem::copy_options::recursive);
      source = out;
    }

    if (c.end == End::Killed) {
      const int status = run_killed(source, out, c.kill_after);
      ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "wait status " << status;
    } else {
      const Conversion run = convert_b(source, out);
      EXPECT_EQ(run.result.has_value(), c.end == End::Finishes) << run.log;
      if (run.result) {
        EXPECT_NE(run.log.find("  Layer 1 SKIPPED (missing keys)\n"), std::string::npos) << run.log;
      }
      EXPECT_EQ(partial_files(out), std::vector<std::string>{});
    }
    for (const auto& [name, bytes] : loaded_files(out)) {
      EXPECT_FALSE(earlier.contains(name) && earlier.at(name) == bytes) << name << " is left from the earlier run";
    }
    const auto refused = load(out);
    EXPECT_FALSE(refused) << "a load accepts what the run left";

    // Run again to the end, the same directory holds the new conversion whole.
    if (c.end != End::Killed) continue;
    ASSERT_TRUE(convert_b(source, out).result);
    EXPECT_TRUE(load(out));
    EXPECT_EQ(partial_files(out), std::vector<std::string>{});
    auto now = loaded_files(out);
    now.erase("model_weights.json");
    EXPECT_TRUE(now == finished);
  }
}

}  // namespace
}  // namespace varkel
