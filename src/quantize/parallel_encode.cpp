#include "quantize/parallel_encode.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "parallel/parallel_for.h"

namespace varkel {

namespace {

// Values per block: large enough to amortise a call, small enough to spread.
constexpr std::size_t kBlockValues = 1 << 20;

QuantResult<std::vector<EncodedTensor>> encode_whole(DType dtype, std::span<const float> data, std::size_t rows,
                                                     std::size_t cols) {
  auto parts = encode(dtype, data, rows, cols);
  if (!parts) return std::unexpected(std::move(parts.error()));
  return std::move(*parts);
}

}  // namespace

QuantResult<std::vector<EncodedTensor>> encode_parallel(DType dtype, std::span<const float> data, std::size_t rows,
                                                        std::size_t cols) {
  // f32 and bf16 ignore the shape: blocks of elements. The grouped types: blocks of rows.
  const bool flat = dtype == DType::F32 || dtype == DType::Bf16;
  const std::size_t units = flat ? data.size() : rows;
  const std::size_t unit_values = flat ? 1 : cols;
  const std::size_t per_block = std::max<std::size_t>(1, kBlockValues / std::max<std::size_t>(unit_values, 1));
  const std::size_t blocks = (units + per_block - 1) / per_block;
  if (blocks < 2 || (!flat && (cols == 0 || data.size() / cols < rows))) {
    return encode_whole(dtype, data, rows, cols);
  }

  std::vector<std::vector<EncodedTensor>> pieces(blocks);
  // Bytes, not std::vector<bool>: blocks finishing together write neighbouring flags.
  std::vector<uint8_t> failed(blocks, 0);
  parallel::for_each_index(blocks, [&](std::size_t b) {
    const std::size_t first = b * per_block;
    const std::size_t count = std::min(per_block, units - first);
    auto block = encode(dtype, data.subspan(first * unit_values, count * unit_values), count, flat ? 0 : cols);
    if (block) {
      pieces[b] = std::move(*block);
    } else {
      failed[b] = 1;
    }
  });
  // A failing block: let the whole call say what failed, and where.
  if (std::find(failed.begin(), failed.end(), 1) != failed.end()) return encode_whole(dtype, data, rows, cols);

  std::vector<EncodedTensor> parts;
  for (std::size_t p = 0; p < pieces[0].size(); ++p) {
    EncodedTensor part;
    part.suffix = pieces[0][p].suffix;
    part.dtype = pieces[0][p].dtype;
    part.shape = pieces[0][p].shape;
    std::size_t bytes = 0;
    for (const auto& piece : pieces) bytes += piece[p].data.size();
    part.data.resize(bytes);
    std::size_t at = 0, leading = 0;
    for (const auto& piece : pieces) {
      if (!piece[p].data.empty()) std::memcpy(part.data.data() + at, piece[p].data.data(), piece[p].data.size());
      at += piece[p].data.size();
      leading += piece[p].shape.empty() ? 0 : piece[p].shape[0];
    }
    if (!part.shape.empty()) part.shape[0] = leading;
    parts.push_back(std::move(part));
  }
  return parts;
}

}  // namespace varkel
