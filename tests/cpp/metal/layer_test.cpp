// Library compilation faults and dispatch refusals.

#include <algorithm>

#include "metal_test_support.h"

namespace varkel::metal::testing {
namespace {

class LibraryTest : public MetalTest {};

TEST_F(LibraryTest, ReportsFaultsWithTheirLine) {
  const std::string all = shader_source();
  const std::string source = all.substr(0, all.find("// ---- attention kernels ----"));
  auto line_of = [&](std::string_view needle) {
    return 1 + static_cast<int>(std::count(source.begin(), source.begin() + source.find(needle), '\n'));
  };
  auto replaced = [&](std::string_view from, std::string_view to) {
    std::string text = source;
    return text.replace(text.find(from), from.size(), to);
  };
  const std::string in_dim = "in_dim  [[buffer(4)]]);";
  const int appended = 2 + static_cast<int>(std::count(source.begin(), source.end(), '\n'));
  const struct {
    std::string source;
    int line;
    std::string message;
  } cases[] = {
      {replaced(in_dim, "in_dim  [[buffer(4]]);"), line_of(in_dim), "expected ')', found ']'"},
      {replaced(in_dim, "in_dim  [[buffer(5)]]);"), line_of("kernel void matvec_bf16("),
       "kernel 'matvec_bf16' is declared (device const ushort* [[buffer(0)]], device const float* [[buffer(1)]], "
       "device float* [[buffer(2)]], constant uint& [[buffer(3)]], constant uint& [[buffer(5)]]) but its "
       "implementation takes (device const ushort* [[buffer(0)]], device const float* [[buffer(1)]], device "
       "float* [[buffer(2)]], constant uint& [[buffer(3)]], constant uint& [[buffer(4)]])"},
      {source + "\nkernel void no_such_kernel(device float* out [[buffer(0)]]);\n", appended,
       "kernel 'no_such_kernel' has no implementation"},
      {source + "\n/* open", appended, "unterminated comment"},
      {replaced("device float*        out     [[buffer(2)]],", "device float* out [[buffer(1)]],"),
       line_of("device float*        out     [[buffer(2)]],"), "'x' and 'out' share buffer index 1"},
  };
  auto missing = library->new_function("no_such_kernel");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error(), "Function no_such_kernel was not found in the library");
  for (const auto& c : cases) {
    auto lib = device->new_library_with_source(c.source, CompileOptions{});
    ASSERT_FALSE(lib.has_value()) << c.message;
    EXPECT_NE(lib.error().find(c.message), std::string::npos) << lib.error();
    EXPECT_EQ(lib.error().rfind("program_source:" + std::to_string(c.line) + ":", 0), 0u) << lib.error();
  }
}

class DispatchTest : public MetalTest {};

TEST_F(DispatchTest, RefusesDispatchesOutsideTheDeclaration) {
  // A 16x64 bf16 matrix of ones, x of twos.
  auto W = make_buffer(device, std::vector<uint16_t>(16 * 64, 0x3F80));
  auto X = make_buffer(device, std::vector<float>(64, 2.0f));
  auto OUT = make_buffer(device, std::vector<float>(16, -1.0f));
  auto with = [&](uint32_t i, Arg a) {
    std::vector<Arg> args = {Arg::buf(W), Arg::buf(X), Arg::buf(OUT), Arg::u32(16), Arg::u32(64)};
    args[i] = std::move(a);
    return args;
  };
  std::vector<float> host(16);
  const struct {
    std::vector<Arg> args;
    std::string message;
    uint64_t threads = 256;
  } cases[] = {
      {with(1, Arg{}), "matvec_bf16: buffer 1 (x) is not bound (command 1 of 1)"},
      {with(0, Arg::buf(W, W->length())),
       "matvec_bf16: buffer 0 (W_bf16) is bound at offset 2048, outside its buffer of 2048 bytes"},
      {with(0, Arg::buf(W, 64)), "matvec_bf16: buffer 0 holds 1984 bytes, dispatch reads 2048"},
      {with(3, Arg::u32(16)), "needs threadgroups of 256 threads, dispatched (128, 1, 1)", 128},
      {with(4, Arg::u32(4097)), "matvec_bf16: in_dim 4097 exceeds the kernel's limit of 4096"},
      {with(2, Arg::buf(*device->new_buffer_no_copy(static_cast<const void*>(host.data()), 64))),
       "buffer 2 (out) is written by the kernel but bound to a read-only buffer"},
  };
  for (const auto& c : cases) {
    auto cmd = dispatch("matvec_bf16", c.args, 2, c.threads);
    EXPECT_EQ(cmd->status(), CommandBufferStatus::Error);
    EXPECT_NE(cmd->error().find(c.message), std::string::npos) << cmd->error();
  }
  auto cmd = queue->command_buffer();
  auto enc = cmd->compute_command_encoder();
  enc->dispatch_threadgroups({1, 1, 1}, {256, 1, 1});
  enc->end_encoding();
  cmd->commit();
  EXPECT_EQ(cmd->error(), "dispatch_threadgroups: no compute pipeline state is set (command 1 of 1)");
  EXPECT_EQ(static_cast<const float*>(OUT->contents())[0], -1.0f) << "a refused dispatch ran";

  // The queue goes on; committing twice is refused.
  auto done = dispatch("matvec_bf16", with(0, Arg::buf(W)), 2);
  EXPECT_EQ(done->status(), CommandBufferStatus::Completed) << done->error();
  EXPECT_EQ(static_cast<const float*>(OUT->contents())[15], 128.0f);
  done->commit();
  EXPECT_EQ(done->error(), "commit: the command buffer was already committed");
}

}  // namespace
}  // namespace varkel::metal::testing
