// Library compilation faults, dispatch checks, ordering and lifetimes.

#include "metal_test_support.h"

namespace varkel::metal::testing {
namespace {

std::string replace_once(std::string text, std::string_view from, std::string_view to) {
  const auto at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

int line_of(const std::string& text, std::string_view needle) {
  const auto at = text.find(needle);
  return 1 + static_cast<int>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(at), '\n'));
}

int appended_line(const std::string& text) { return 2 + static_cast<int>(std::count(text.begin(), text.end(), '\n')); }

class LibraryTest : public MetalTest {};

TEST_F(LibraryTest, ReportsFaultsWithTheirLine) {
  const std::string source = matvec_source();
  struct Case {
    std::string source;
    int line;
    std::string message;
  };
  const int bf16_line = line_of(source, "kernel void matvec_bf16(");
  const int in_dim_line = line_of(source, "    constant uint&       in_dim  [[buffer(4)]]);");
  std::vector<Case> cases = {
      // A missing ')' after the buffer index.
      {replace_once(source, "in_dim  [[buffer(4)]]);", "in_dim  [[buffer(4]]);"), in_dim_line,
       "expected ')', found ']'"},
      // Declared with in_dim at another index than the implementation's.
      {replace_once(source, "in_dim  [[buffer(4)]]);", "in_dim  [[buffer(5)]]);"), bf16_line,
       "kernel 'matvec_bf16' is declared (device const ushort* [[buffer(0)]], device const float* [[buffer(1)]], "
       "device float* [[buffer(2)]], constant uint& [[buffer(3)]], constant uint& [[buffer(5)]]) but its "
       "implementation takes (device const ushort* [[buffer(0)]], device const float* [[buffer(1)]], device "
       "float* [[buffer(2)]], constant uint& [[buffer(3)]], constant uint& [[buffer(4)]])"},
      {source + "\nkernel void no_such_kernel(device float* out [[buffer(0)]]);\n",
       appended_line(source), "kernel 'no_such_kernel' has no implementation"},
      {source + "\n/* open", appended_line(source), "unterminated comment"},
      {replace_once(source, "device float*        out     [[buffer(2)]],", "device float* out [[buffer(1)]],"),
       line_of(source, "device float*        out     [[buffer(2)]],"), "'x' and 'out' share buffer index 1"},
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

class DispatchTest : public MetalTest {
 protected:
  // A 16x64 bf16 matrix of ones, x of twos: every output row is 128.
  void SetUp() override {
    MetalTest::SetUp();
    W = make_buffer(device, std::vector<uint16_t>(16 * 64, 0x3F80));
    X = make_buffer(device, std::vector<float>(64, 2.0f));
    OUT = make_buffer(device, std::vector<float>(16, -1.0f));
  }
  std::vector<Arg> good_args() { return {Arg::buf(W), Arg::buf(X), Arg::buf(OUT), Arg::u32(16), Arg::u32(64)}; }

  // One matvec_bf16 dispatch of out_dim rows, every argument set.
  void encode_bf16(ComputeCommandEncoder& enc, const ComputePipelineStatePtr& p, const BufferPtr& w,
                   const BufferPtr& x, const BufferPtr& out, uint32_t out_dim, uint32_t in_dim) {
    enc.set_compute_pipeline_state(p);
    enc.set_buffer(w, 0, 0);
    enc.set_buffer(x, 0, 1);
    enc.set_buffer(out, 0, 2);
    enc.set_bytes(&out_dim, 4, 3);
    enc.set_bytes(&in_dim, 4, 4);
    enc.dispatch_threadgroups({(out_dim + 7) / 8, 1, 1}, {256, 1, 1});
  }
  float out(uint32_t i) const { return static_cast<const float*>(OUT->contents())[i]; }

  void expect_refused(std::vector<Arg> args, std::string_view message, uint64_t threadgroups = 2,
                      uint64_t threads = 256) {
    auto cmd = dispatch("matvec_bf16", args, threadgroups, threads);
    EXPECT_EQ(cmd->status(), CommandBufferStatus::Error);
    EXPECT_NE(cmd->error().find(message), std::string::npos) << cmd->error();
    EXPECT_EQ(out(0), -1.0f) << "a refused dispatch ran";
  }

  BufferPtr W, X, OUT;
};

TEST_F(DispatchTest, RefusesDispatchesOutsideTheDeclaration) {
  auto with = [&](uint32_t i, Arg a) {
    auto args = good_args();
    args[i] = std::move(a);
    return args;
  };
  expect_refused(with(1, Arg{}), "matvec_bf16: buffer 1 (x) is not bound");
  expect_refused(with(0, Arg::buf(W, W->length())),
                 "matvec_bf16: buffer 0 (W_bf16) is bound at offset 2048, outside its buffer of 2048 bytes");
  expect_refused(with(0, Arg::buf(W, 64)), "matvec_bf16: buffer 0 holds 1984 bytes, dispatch reads 2048");
  expect_refused(good_args(), "needs threadgroups of 256 threads, dispatched (128, 1, 1)", 2, 128);
  expect_refused(with(4, Arg::u32(4097)), "matvec_bf16: in_dim 4097 exceeds the kernel's limit of 4096");
  std::vector<float> host(16);
  expect_refused(with(2, Arg::buf(*device->new_buffer_no_copy(static_cast<const void*>(host.data()), 64))),
                 "buffer 2 (out) is written by the kernel but bound to a read-only buffer");
  {
    auto cmd = queue->command_buffer();
    auto enc = cmd->compute_command_encoder();
    enc->dispatch_threadgroups({1, 1, 1}, {256, 1, 1});
    enc->end_encoding();
    cmd->commit();
    EXPECT_EQ(cmd->error(), "dispatch_threadgroups: no compute pipeline state is set (command 1 of 1)");
  }
  EXPECT_EQ(out(0), -1.0f);
}

TEST_F(DispatchTest, AFailedDispatchStopsItsCommandBufferOnly) {
  // Dispatch 2 misses a binding; dispatch 3 must not run.
  auto second_out = make_buffer(device, std::vector<float>(16, -1.0f));
  auto cmd = queue->command_buffer();
  EXPECT_EQ(cmd->status(), CommandBufferStatus::NotEnqueued);
  auto enc = cmd->compute_command_encoder();
  encode_bf16(*enc, pipeline("matvec_bf16"), W, X, OUT, 16, 64);
  enc->set_buffer(nullptr, 0, 0);
  enc->dispatch_threadgroups({2, 1, 1}, {256, 1, 1});
  enc->set_buffer(W, 0, 0);
  enc->set_buffer(second_out, 0, 2);
  enc->dispatch_threadgroups({2, 1, 1}, {256, 1, 1});
  enc->end_encoding();
  EXPECT_EQ(cmd->dispatch_count(), 3u);
  cmd->commit();
  cmd->wait_until_completed();
  EXPECT_EQ(cmd->status(), CommandBufferStatus::Error);
  EXPECT_EQ(cmd->error(), "matvec_bf16: buffer 0 (W_bf16) is not bound (command 2 of 3)");
  EXPECT_EQ(out(15), 128.0f);
  EXPECT_EQ(static_cast<const float*>(second_out->contents())[0], -1.0f);

  // The queue goes on: the next command buffer runs normally.
  EXPECT_EQ(dispatch("matvec_bf16", good_args(), 2)->status(), CommandBufferStatus::Completed);

  // Committing again is refused without running anything.
  auto done = dispatch("matvec_bf16", good_args(), 2);
  done->commit();
  EXPECT_EQ(done->status(), CommandBufferStatus::Error);
  EXPECT_EQ(done->error(), "commit: the command buffer was already committed");
}

TEST_F(DispatchTest, DispatchesRunInEncodingOrderAcrossEncoders) {
  // out1 = W x (128 each); then out2 = W' out1 where W' is 16x16 ones: 16 * 128.
  auto out1 = make_buffer(device, nullptr, 16 * 4);
  auto out2 = make_buffer(device, nullptr, 16 * 4);
  auto ones = make_buffer(device, std::vector<uint16_t>(16 * 16, 0x3F80));
  auto p = pipeline("matvec_bf16");
  auto cmd = queue->command_buffer();
  auto encode = [&](const BufferPtr& w, const BufferPtr& in, const BufferPtr& out, uint32_t in_dim) {
    auto enc = cmd->compute_command_encoder();
    encode_bf16(*enc, p, w, in, out, 16, in_dim);
    enc->end_encoding();
  };
  encode(W, X, out1, 64);
  encode(ones, out1, out2, 16);
  cmd->commit();
  ASSERT_EQ(cmd->status(), CommandBufferStatus::Completed) << cmd->error();
  EXPECT_EQ(to_string(cmd->status()), "Completed");
  EXPECT_EQ(static_cast<const float*>(out2->contents())[7], 2048.0f);
}

TEST_F(DispatchTest, CommandBuffersHoldWhatTheyUseUntilCompleted) {
  std::weak_ptr<Buffer> weak_x;
  std::weak_ptr<ComputePipelineState> weak_pipeline;
  auto cmd = queue->command_buffer();
  {
    auto x = make_buffer(device, std::vector<float>(64, 3.0f));
    auto p = pipeline("matvec_bf16");
    weak_x = x;
    weak_pipeline = p;
    auto enc = cmd->compute_command_encoder();
    encode_bf16(*enc, p, W, x, OUT, 16, 64);
    enc->end_encoding();
  }
  EXPECT_FALSE(weak_x.expired());
  EXPECT_FALSE(weak_pipeline.expired());
  cmd->commit();
  ASSERT_EQ(cmd->status(), CommandBufferStatus::Completed) << cmd->error();
  EXPECT_EQ(out(3), 192.0f);
  EXPECT_TRUE(weak_x.expired());
  EXPECT_TRUE(weak_pipeline.expired());

  // A command buffer dropped uncommitted releases its references and runs nothing.
  {
    auto x = make_buffer(device, std::vector<float>(64, 5.0f));
    weak_x = x;
    auto dropped = queue->command_buffer();
    auto enc = dropped->compute_command_encoder();
    encode_bf16(*enc, pipeline("matvec_bf16"), W, x, OUT, 16, 64);
    enc->end_encoding();
  }
  EXPECT_TRUE(weak_x.expired());
  EXPECT_EQ(out(3), 192.0f);
}

}  // namespace
}  // namespace varkel::metal::testing
