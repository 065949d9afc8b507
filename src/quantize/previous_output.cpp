#include "quantize/previous_output.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <fmt/format.h>

#include "quantize/file_io.h"

namespace varkel {

namespace {

// "layer_{}.bin" for a decimal layer number, as written or as read by a load.
bool is_layer_file(std::string_view name) {
  if (name.ends_with(kPartialSuffix)) name.remove_suffix(kPartialSuffix.size());
  if (!name.starts_with("layer_") || !name.ends_with(".bin")) return false;
  const std::string_view digits = name.substr(6, name.size() - 10);
  return !digits.empty() && std::ranges::all_of(digits, [](char c) { return c >= '0' && c <= '9'; });
}

QuantResult<void> remove_earlier(const std::filesystem::path& path) {
  if (auto removed = remove_file(path); !removed) {
    return quant_error(fmt::format("cannot remove {} of an earlier conversion: {}", path.string(), removed.error()));
  }
  return {};
}

QuantResult<void> remove_layer_files(const std::filesystem::path& dir) {
  std::vector<std::filesystem::path> layer_files;
  std::error_code ec;
  std::filesystem::directory_iterator it(dir, ec);  // no such directory: nothing to remove
  for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    if (is_layer_file(it->path().filename().native())) layer_files.push_back(it->path());
  }
  for (const auto& path : layer_files) {
    if (auto removed = remove_earlier(path); !removed) return removed;
  }
  return {};
}

}  // namespace

QuantResult<void> remove_previous_output(const std::filesystem::path& out, bool keep_config) {
  for (const char* name : {"config.json", "model_weights.json", "model_weights.bin"}) {
    const std::filesystem::path path = out / name;
    if (!(keep_config && path.filename() == "config.json")) {
      if (auto removed = remove_earlier(path); !removed) return removed;
    }
    if (auto removed = remove_earlier(partial_path(path)); !removed) return removed;
  }
  for (const char* dir : {"packed_experts", "packed_experts_lz4"}) {
    if (auto removed = remove_layer_files(out / dir); !removed) return removed;
  }
  return {};
}

}  // namespace varkel
