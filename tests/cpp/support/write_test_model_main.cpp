// write_test_model <dir> [--layers N] [--experts E] [--experts-per-tok K]
//                  [--vocab V] [--seed S] [--full] [--int4] [--no-experts]
// Writes a synthetic converted model directory: the StrippedModel set by
// default; --full switches to the full set's architecture, 40 layers and 256
// experts (give it first: options are applied in order).
#include <cstdio>
#include <exception>
#include <stdexcept>
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
  try {
    TestModelOptions options;
    for (int i = 2; i < argc; ++i) {
      const std::string_view arg = argv[i];
      const auto number = [&]() -> std::size_t {
        if (i + 1 >= argc) throw std::invalid_argument(std::string(arg) + " needs a value");
        return std::stoull(argv[++i]);
      };
      if (arg == "--layers") options.layers = number();
      else if (arg == "--experts") options.experts = number();
      else if (arg == "--experts-per-tok") options.experts_per_tok = number();
      else if (arg == "--vocab") options.vocab_rows = number();
      else if (arg == "--seed") options.seed = number();
      else if (arg == "--full") options = varkel::test_support::full_model_options(false);
      else if (arg == "--int4") options.int4_scheme = true;
      else if (arg == "--no-experts") options.write_experts = false;
      else throw std::invalid_argument("unknown option " + std::string(arg));
    }
    varkel::test_support::write_test_model(argv[1], options);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "write_test_model: %s\n", error.what());
    return 1;
  }
  return 0;
}
