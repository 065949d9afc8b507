#include "quantize/tensor_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include <fmt/format.h>

#include "error/io_error.h"
#include "parallel/parallel_for.h"

namespace varkel {

QuantResult<TensorSource> TensorSource::open(const std::filesystem::path& path, const SafetensorsHeader& header,
                                             const std::string& name) {
  const auto meta = header.tensors.find(name);
  TensorSource source(meta == header.tensors.end() ? -1 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info {};
  uint64_t start = 0, end = 0;
  const bool readable = source.fd_ >= 0 && ::fstat(source.fd_, &info) == 0 &&
                        meta->second.data_offsets.second >= meta->second.data_offsets.first &&
                        !__builtin_add_overflow(header.data_start, meta->second.data_offsets.first, &start) &&
                        !__builtin_add_overflow(header.data_start, meta->second.data_offsets.second, &end) &&
                        end <= static_cast<uint64_t>(info.st_size);
  if (!readable) {
    // The whole read fails the same way and says why.
    auto whole = read_tensor_bytes(path, header, name);
    if (!whole) return std::unexpected(std::move(whole.error()));
    return quant_error(fmt::format("cannot read tensor {} from {}", name, path.string()));
  }
  source.offset_ = start;
  source.bytes_ = end - start;
  source.dtype_ = meta->second.dtype;
  return source;
}

TensorSource::TensorSource(TensorSource&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      offset_(other.offset_),
      bytes_(other.bytes_),
      dtype_(std::move(other.dtype_)) {}

TensorSource::~TensorSource() {
  if (fd_ >= 0) ::close(fd_);
}

QuantResult<void> TensorSource::read_exact(uint8_t* dst, std::size_t size, uint64_t offset) const {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pread(fd_, dst + done, size - done, static_cast<off_t>(offset_ + offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return quant_error(IoError::from_os(errno).to_string());
    if (n == 0) return quant_error("failed to fill whole buffer");
    done += static_cast<std::size_t>(n);
  }
  return {};
}

QuantResult<std::vector<float>> TensorSource::values(uint64_t first, uint64_t count) const {
  const std::size_t element = stored_element_size(dtype_);
  std::vector<uint8_t> raw(count * element);
  if (auto read = read_exact(raw.data(), raw.size(), first * element); !read) {
    return std::unexpected(std::move(read.error()));
  }
  return bytes_to_f32(raw, dtype_);
}

QuantResult<FloatArray> TensorSource::all_values() const {
  FloatArray out(value_count());
  // Slices small enough to stay in cache between reading, widening and copying.
  constexpr std::size_t kSlice = 1 << 16;
  const std::size_t slices = (out.size() + kSlice - 1) / kSlice;
  std::vector<std::string> errors(slices);
  const auto read_slices = [&](std::size_t begin, std::size_t end) {
    for (std::size_t s = begin; s < end; ++s) {
      const std::size_t first = s * kSlice;
      const std::size_t count = std::min(kSlice, out.size() - first);
      auto part = values(first, count);
      if (part) {
        std::memcpy(out.span().data() + first, part->data(), count * sizeof(float));
      } else {
        errors[s] = std::move(part.error());
      }
    }
  };
  parallel::for_each_range(slices, slices > 4 ? parallel::balanced_pieces(slices) : 1, read_slices);
  for (std::string& error : errors) {
    if (!error.empty()) return quant_error(std::move(error));
  }
  return out;
}

}  // namespace varkel
