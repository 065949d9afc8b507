#pragma once
// Building safetensors files byte by byte.

#include <cstdint>
#include <string>
#include <vector>

#include "common/test_files.h"

namespace varkel::test {

using testing_support::ScratchDir;
using testing_support::write_file;

inline std::vector<uint8_t> le64(uint64_t value) {
  std::vector<uint8_t> bytes(8);
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  return bytes;
}

// Length prefix (as given), header text, data area.
inline std::vector<uint8_t> safetensors_bytes(uint64_t declared_length, const std::string& header,
                                              const std::vector<uint8_t>& data = {}) {
  std::vector<uint8_t> bytes = le64(declared_length);
  bytes.insert(bytes.end(), header.begin(), header.end());
  bytes.insert(bytes.end(), data.begin(), data.end());
  return bytes;
}

inline std::vector<uint8_t> safetensors_bytes(const std::string& header, const std::vector<uint8_t>& data = {}) {
  return safetensors_bytes(header.size(), header, data);
}

}  // namespace varkel::test
