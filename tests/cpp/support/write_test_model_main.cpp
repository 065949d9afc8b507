// write_test_model <dir> [--layers N] [--experts E] [--experts-per-tok K]
//                  [--vocab V] [--seed S] [--full] [--int4] [--no-experts]
// Writes a synthetic converted model directory (StrippedModel by default;
// --full names the full architecture, use with --layers 40 --experts 256
// --experts-per-tok 8).
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>

#include "support/test_model_writer.h"

int main(int argc, char** argv) {
  using varkel::test_support::TestModelOptions;
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <dir> [--layers N] [--experts E] [--experts-per-tok K] [--vocab V] [--seed S] "
                         "[--full] [--int4] [--no-experts]\n", argv[0]);
    return 2;
  }
  TestModelOptions options;
  try {
  for (int i = 2; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto number = [&](std::size_t& target) {
      if (i + 1 >= argc) throw std::invalid_argument(std::string(arg) + " needs a value");
      target = std::stoull(argv[++i]);
    };
    std::size_t seed = options.seed;
    if (arg == "--layers") number(options.layers);
    else if (arg == "--experts") number(options.experts);
    else if (arg == "--experts-per-tok") number(options.experts_per_tok);
    else if (arg == "--vocab") number(options.vocab_rows);
    else if (arg == "--seed") { number(seed); options.seed = seed; }
    else if (arg == "--full") options.architecture = "Qwen3_5MoeForConditionalGeneration";
    else if (arg == "--int4") options.int4_scheme = true;
    else if (arg == "--no-experts") options.write_experts = false;
    else {
      std::fprintf(stderr, "unknown option %s\n", argv[i]);
      return 2;
    }
  }
    varkel::test_support::write_test_model(argv[1], options);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "write_test_model: %s\n", error.what());
    return 1;
  }
  return 0;
}
