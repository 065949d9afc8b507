#include "cache/cache_reader.h"

#include <cstring>
#include <optional>

#include <fmt/format.h>

#include "model/config/json_text.h"

namespace varkel {

namespace {

std::optional<uint64_t> member(const nlohmann::json& entry, const char* key) {
  if (!entry.is_object()) return std::nullopt;
  auto it = entry.find(key);
  if (it == entry.end() || !is_unsigned_integer(*it)) return std::nullopt;
  return it->get<uint64_t>();
}

}  // namespace

std::expected<const nlohmann::json*, std::string> CacheReader::find(const std::string& name) const {
  auto it = tensors_.find(name);
  if (it == tensors_.end()) return std::unexpected(fmt::format("missing tensor: {}", name));
  return &*it;
}

std::expected<void, std::string> CacheReader::check_range(const std::string& name, uint64_t offset,
                                                          uint64_t size) const {
  const uint64_t length = data_.size();
  if (size > length || offset > length - size) {
    return std::unexpected(fmt::format("tensor {} lies outside the data file: offset {} + size {} > length {}", name,
                                       offset, size, length));
  }
  return {};
}

std::expected<TensorSpan, std::string> CacheReader::locate_f32(const std::string& name) const {
  auto entry = find(name);
  if (!entry) return std::unexpected(std::move(entry.error()));
  auto offset = member(**entry, "offset");
  if (!offset) return std::unexpected(std::string("missing offset"));
  auto size = member(**entry, "size");
  if (!size) return std::unexpected(std::string("missing size"));
  if (auto range = check_range(name, *offset, *size); !range) return std::unexpected(std::move(range.error()));
  return TensorSpan{name, *offset, *size / 4};
}

std::expected<uint32_t, std::string> CacheReader::read_u32(const std::string& name) const {
  auto entry = find(name);
  if (!entry) return std::unexpected(std::move(entry.error()));
  auto offset = member(**entry, "offset");
  if (!offset) return std::unexpected(std::string("missing offset"));
  if (auto range = check_range(name, *offset, 4); !range) return std::unexpected(std::move(range.error()));
  uint32_t value;
  std::memcpy(&value, data_.data() + *offset, sizeof value);
  return value;
}

std::vector<float> CacheReader::copy(const TensorSpan& span) const {
  std::vector<float> values(static_cast<size_t>(span.floats));
  if (!values.empty()) std::memcpy(values.data(), data_.data() + span.offset, values.size() * sizeof(float));
  return values;
}

}  // namespace varkel
