#include "metal/kernel_abi.h"

#include <fmt/format.h>

namespace varkel::metal {

std::optional<std::string> require_bytes(std::string_view kernel, const DispatchArgs& args, uint32_t index,
                                         uint64_t bytes) {
  if (args.buffers[index].size >= bytes) return std::nullopt;
  return fmt::format("{}: buffer {} holds {} bytes, dispatch reads {}", kernel, index, args.buffers[index].size,
                     bytes);
}

}  // namespace varkel::metal
