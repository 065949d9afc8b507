#pragma once
// Builds "model_weights.bin" and "model_weights.json" the way the converter
// lays them out: each source tensor encoded with the project's encoders,
// its first part at a multiple of 64, its parts back to back, the manifest
// pretty-printed with sorted keys. Large tensors are generated and encoded in
// row chunks on all cores, straight into the file.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "dtype/dtype.h"

namespace varkel::test_support {

// Fills rows [row_begin, row_begin + rows) of a rows x cols source matrix.
using RowGenerator = std::function<void(std::size_t row_begin, std::size_t rows, std::span<float> out)>;

struct PlannedPart {
  std::string name;
  std::string dtype;
  std::vector<uint64_t> shape;
  uint64_t offset = 0;
  uint64_t size = 0;
  uint64_t row_bytes = 0;  // bytes per source row
};

class WeightFileBuilder {
 public:
  // A source tensor named as in the checkpoint's engine names ("...q_proj.weight",
  // "...norm.weight", "...A_log"), stored as `dtype`. F32 and Bf16 keep the
  // name and store shape [rows * cols]; the grouped types store ".weight",
  // ".scales" (and ".biases") parts under the name less ".weight".
  void add_generated(std::string name, DType dtype, std::size_t rows, std::size_t cols, RowGenerator values);
  // One part stored exactly as given, under any dtype text.
  void add_raw(std::string name, std::string dtype, std::vector<uint64_t> shape, std::vector<uint8_t> bytes);

  // Writes both files; `config` becomes the manifest's "config" member.
  // Throws std::runtime_error on failure.
  void write(const std::filesystem::path& bin_path, const std::filesystem::path& json_path,
             const nlohmann::json& config = nlohmann::json::object()) const;

 private:
  struct Source {
    std::string name;
    DType dtype;
    std::size_t rows;
    std::size_t cols;
    RowGenerator values;        // grouped or generated tensors
    std::vector<uint8_t> raw;   // add_raw
    std::size_t first_part = 0;
    std::size_t part_count = 0;
    bool is_raw = false;
  };
  void place(Source source, std::vector<PlannedPart> parts);

  std::vector<Source> sources_;
  std::vector<PlannedPart> parts_;
  uint64_t end_ = 0;
};

}  // namespace varkel::test_support
