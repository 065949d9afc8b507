#pragma once
// Shared fixture: a device with a library of the shader source's mat-vec section, and a dispatch helper.

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "metal/metal.h"

namespace varkel::metal::testing {

inline std::string shader_source() {
  std::string path = VARKEL_SOURCE_DIR;
  path += "/src/engine/qwen35_moe/shaders.metal";
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline BufferPtr make_buffer(const DevicePtr& device, const void* data, std::size_t bytes) {
  auto b = device->new_buffer(bytes);
  EXPECT_TRUE(b.has_value()) << (b ? "" : b.error());
  if (data != nullptr) std::memcpy((*b)->contents(), data, bytes);
  return *b;
}

template <class T>
BufferPtr make_buffer(const DevicePtr& device, const std::vector<T>& v) {
  return make_buffer(device, v.data(), v.size() * sizeof(T));
}

struct Arg {
  BufferPtr buffer;
  uint64_t offset = 0;
  uint32_t constant = 0;
  bool is_constant = false;
  static Arg buf(BufferPtr b, uint64_t offset = 0) { return Arg{std::move(b), offset, 0, false}; }
  static Arg u32(uint32_t v) { return Arg{nullptr, 0, v, true}; }
  static Arg f32(float v) { return Arg{nullptr, 0, std::bit_cast<uint32_t>(v), true}; }
};

class MetalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device = Device::system_default();
    ASSERT_TRUE(device);
    queue = device->new_command_queue();
    const std::string all = shader_source();
    const auto end = all.find("// ---- attention kernels ----");
    ASSERT_NE(end, std::string::npos);
    auto lib = device->new_library_with_source(all.substr(0, end), CompileOptions{});
    ASSERT_TRUE(lib.has_value()) << lib.error();
    library = *lib;
  }

  CommandBufferPtr dispatch(std::string_view kernel, const std::vector<Arg>& args, uint64_t threadgroups,
                            uint64_t threads = 256) {
    auto f = library->new_function(kernel);
    EXPECT_TRUE(f.has_value()) << (f ? "" : f.error());
    auto p = device->new_compute_pipeline_state(*f);
    EXPECT_TRUE(p.has_value());
    auto cmd = queue->command_buffer();
    auto enc = cmd->compute_command_encoder();
    enc->set_compute_pipeline_state(*p);
    for (uint32_t i = 0; i < args.size(); ++i) {
      if (args[i].is_constant) {
        enc->set_bytes(&args[i].constant, 4, i);
      } else {
        enc->set_buffer(args[i].buffer, args[i].offset, i);
      }
    }
    enc->dispatch_threadgroups(Size{threadgroups, 1, 1}, Size{threads, 1, 1});
    enc->end_encoding();
    cmd->commit();
    cmd->wait_until_completed();
    return cmd;
  }

  DevicePtr device;
  CommandQueuePtr queue;
  LibraryPtr library;
};

}  // namespace varkel::metal::testing
