#pragma once
// The contract between the compute layer and the C++ implementations of the
// shader library's kernels.
//
// The library source declares each kernel Metal-style, e.g.
//
//   kernel void matvec_bf16(
//       device const ushort* W_bf16 [[buffer(0)]],
//       device const float*  x      [[buffer(1)]],
//       device float*        out    [[buffer(2)]],
//       constant uint&       out_dim [[buffer(3)]],
//       constant uint&       in_dim  [[buffer(4)]]);
//
// Compiling the library parses these declarations and links each one to the
// KernelImpl of the same name; the implementation's `params` must match the
// declaration exactly (kind, element type, writability, index, in order).
//
// At dispatch the layer checks that every declared buffer is bound and every
// declared constant was set with exactly 4 bytes, then calls `validate`, which
// refuses any grid or binding that would read or write outside a bound range,
// and only then `run`. A refused dispatch fails its command buffer; `run` is
// never called with arguments `validate` did not accept.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varkel::metal {

inline constexpr uint32_t kMaxBindingIndex = 30;  // Metal's buffer argument table: indices 0..30

enum class ParamKind : uint8_t { Buffer, Constant };

// Element types as the source spells them: float, uint, int, ushort, char, uchar.
enum class ElementType : uint8_t { Float, Uint, Int, Ushort, Char, Uchar };

struct KernelParam {
  ParamKind kind;
  ElementType type;
  bool writable;  // `device T*` (true) versus `device const T*`; false for constants
  std::string_view name;
  uint32_t index;
};

// One bound buffer as a kernel sees it: its bytes from the bound offset to the end.
struct BoundBuffer {
  std::byte* data = nullptr;
  std::size_t size = 0;
};

struct Grid {
  std::array<uint32_t, 3> threadgroups{1, 1, 1};
  std::array<uint32_t, 3> threads_per_threadgroup{1, 1, 1};
};

struct DispatchArgs {
  std::array<BoundBuffer, kMaxBindingIndex + 1> buffers{};
  std::array<uint32_t, kMaxBindingIndex + 1> constants{};  // raw bits of each 4-byte constant
  Grid grid;

  template <class T>
  T* buffer(uint32_t index) const {
    return reinterpret_cast<T*>(buffers[index].data);
  }
  // Elements of T available in the binding at `index`.
  template <class T>
  std::size_t count(uint32_t index) const {
    return buffers[index].size / sizeof(T);
  }
  uint32_t u32(uint32_t index) const { return constants[index]; }
  int32_t i32(uint32_t index) const { return std::bit_cast<int32_t>(constants[index]); }
  float f32(uint32_t index) const { return std::bit_cast<float>(constants[index]); }
};

// nullopt when the dispatch is sound, else a one-line reason naming the kernel
// and what is wrong (e.g. "matvec_bf16: buffer 0 holds 100 bytes, dispatch reads 4096").
using ValidateFn = std::optional<std::string> (*)(const DispatchArgs& args);
// Computes exactly what the dispatched threadgroups would compute.
using RunFn = void (*)(const DispatchArgs& args);

// Optional, for kernels whose threadgroups compute independent output rows
// (the mat-vecs): the compute layer then cuts a dispatch into row ranges
// itself, and the ranges of dispatches that may run side by side share one
// parallel run instead of one run each.
struct RowWork {
  uint32_t rows = 0;
  uint64_t bytes_per_row = 0;  // memory one row reads: sizes the ranges
};
// Floats of per-dispatch scratch that `prepare` may fill.
inline constexpr std::size_t kRowScratchFloats = 4096;
struct RowSplit {
  RowWork (*work)(const DispatchArgs& args) = nullptr;  // null: the kernel does not split
  // What every range of a dispatch shares (a threadgroup's copy of x, re-laid),
  // computed once into `scratch`; null when nothing is shared. It may read
  // only the binding `shared_input` and the constants, so that dispatches
  // with the same kernel, the same bytes bound there and the same constants
  // can share one preparation.
  void (*prepare)(const DispatchArgs& args, float* scratch) = nullptr;
  uint32_t shared_input = 0;
  // Rows [begin, end) exactly as the dispatch's threadgroups compute them.
  void (*run_rows)(const DispatchArgs& args, const float* scratch, uint32_t begin, uint32_t end) = nullptr;
};

struct KernelImpl {
  std::string_view name;
  std::vector<KernelParam> params;  // in declared order
  ValidateFn validate;
  RunFn run;
  RowSplit split{};
};

// Helper for validate functions: nullopt when buffer `index` holds at least
// `bytes`, else the reason in the form above.
std::optional<std::string> require_bytes(std::string_view kernel, const DispatchArgs& args, uint32_t index,
                                         uint64_t bytes);

// Each kernel family contributes its implementations; the library links
// declarations against the union of these.
void append_matvec_kernels(std::vector<KernelImpl>& out);     // kernels/matvec_*.cpp
void append_attention_kernels(std::vector<KernelImpl>& out);  // kernels/attention_*.cpp
void append_linear_attention_kernels(std::vector<KernelImpl>& out);  // kernels/linear_attention_*.cpp
void append_norm_and_combine_kernels(std::vector<KernelImpl>& out);  // kernels/norm_*.cpp, combine_*.cpp

}  // namespace varkel::metal
