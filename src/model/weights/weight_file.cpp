#include "model/weights/weight_file.h"

#include <cstdio>

#include <fmt/format.h>

#include "model/config/json_text.h"
#include "model/io/text_file.h"
#include "model/io/regular_file.h"

namespace varkel {

namespace {

MoEError io_with_kind(const IoError& cause, std::string message) {
  return MoEError::io(IoError::custom(cause.kind(), std::move(message)));
}

// One manifest entry; the range check against the mapping is the caller's.
Result<TensorInfo> parse_entry(const std::string& name, const nlohmann::json& entry) {
  const auto member = [&](const char* key) -> const nlohmann::json* {
    if (!entry.is_object()) return nullptr;
    auto it = entry.find(key);
    return it == entry.end() ? nullptr : &*it;
  };
  TensorInfo info;
  info.name = name;
  const nlohmann::json* offset = member("offset");
  if (offset == nullptr || !is_unsigned_integer(*offset)) {
    return fail(MoEError::config(fmt::format("missing offset for tensor '{}'", name)));
  }
  const nlohmann::json* size = member("size");
  if (size == nullptr || !is_unsigned_integer(*size)) {
    return fail(MoEError::config(fmt::format("missing size for tensor '{}'", name)));
  }
  info.offset = offset->get<uint64_t>();
  info.size = size->get<uint64_t>();
  if (const nlohmann::json* shape = member("shape"); shape != nullptr && shape->is_array()) {
    info.shape.reserve(shape->size());
    for (const auto& dim : *shape) info.shape.push_back(is_unsigned_integer(dim) ? dim.get<uint64_t>() : 0);
  }
  if (const nlohmann::json* dtype = member("dtype"); dtype != nullptr && dtype->is_string()) {
    info.dtype = dtype->get<std::string>();
  }
  return info;
}

}  // namespace

Result<WeightFile> WeightFile::open(const std::filesystem::path& bin_path, const std::filesystem::path& json_path) {
  MappedFile mmap;
  {
    auto file = open_regular_file(bin_path);
    if (!file) {
      return fail(io_with_kind(file.error(), fmt::format("Cannot open {}: {}", bin_path.string(), file.error().to_string())));
    }
    auto mapped = MappedFile::map(file->get(), bin_path);
    if (!mapped) {
      return fail(MoEError::io(IoError::custom(IoErrorKind::Other, fmt::format("mmap failed: {}", mapped.error().to_string()))));
    }
    mmap = std::move(*mapped);
  }  // the mapping outlives the descriptor
  // Every token reads these weights; expert records are read once. Locking
  // keeps the weights ahead of the records in the page cache, but only when
  // asked for (VARKEL_LOCK_WEIGHTS=1): the kernel kills rather than evict a
  // locked page, and the page cache's own aging keeps the weights well enough.
  (void)mmap.keep_resident_when_touched();

  auto text = read_text_file(json_path);
  if (!text) {
    return fail(io_with_kind(text.error(), fmt::format("Cannot read {}: {}", json_path.string(), text.error().to_string())));
  }
  auto manifest = parse_json(*text);
  if (!manifest) {
    return fail(MoEError::config(fmt::format("JSON parse error in {}: {}", json_path.string(), manifest.error())));
  }
  text->clear();
  text->shrink_to_fit();

  const nlohmann::json* entries = nullptr;
  if (manifest->is_object()) {
    if (auto it = manifest->find("tensors"); it != manifest->end() && it->is_object()) entries = &*it;
  }
  if (entries == nullptr) return fail(MoEError::config("No 'tensors' key in manifest"));

  const uint64_t length = mmap.size();
  std::unordered_map<std::string, TensorInfo> tensors;
  tensors.reserve(entries->size());
  // nlohmann objects iterate in byte-wise name order, so the first faulty name is reported.
  for (const auto& [name, entry] : entries->items()) {
    auto info = parse_entry(name, entry);
    if (!info) return fail(std::move(info.error()));
    if (info->size > length || info->offset > length - info->size) {
      return fail(MoEError::config(fmt::format("tensor '{}' (offset {}, size {}) lies outside {} ({} bytes)", name,
                                               info->offset, info->size, bin_path.string(), length)));
    }
    tensors.emplace(name, std::move(*info));
  }

  fmt::print(stderr, "[weights] mmap'd {:.2f} GB from {} ({} tensors)\n", static_cast<double>(length) / 1e9,
             bin_path.string(), tensors.size());
  return WeightFile(std::move(mmap), std::move(tensors));
}

const TensorInfo* WeightFile::find(std::string_view name) const {
  auto it = tensors_.find(std::string(name));
  return it == tensors_.end() ? nullptr : &it->second;
}

}  // namespace varkel
