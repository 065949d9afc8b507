// The mat-vec kernels: their parameter lists, the checks that keep every
// dispatch inside its bound buffers, and the kernels that only exist for
// completeness (never dispatched by the engines), which run as plain loops
// in their threads' order.

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "metal/kernel_abi.h"
#include "metal/kernels/activations.h"
#include "metal/kernels/decode_tables.h"
#include "metal/kernels/matvec_job.h"

namespace varkel::metal {

namespace {

constexpr uint32_t kTiledThreads = 256;
constexpr uint32_t kRowsPerThreadgroup = 8;

using Problem = std::optional<std::string>;

constexpr KernelParam in(ElementType type, std::string_view name, uint32_t index) {
  return {ParamKind::Buffer, type, false, name, index};
}
constexpr KernelParam inout(ElementType type, std::string_view name, uint32_t index) {
  return {ParamKind::Buffer, type, true, name, index};
}
constexpr KernelParam constant(std::string_view name, uint32_t index) {
  return {ParamKind::Constant, ElementType::Uint, false, name, index};
}

std::vector<KernelParam> affine_params() {
  return {in(ElementType::Uint, "W_packed", 0), in(ElementType::Ushort, "scales", 1),
          in(ElementType::Ushort, "biases", 2), in(ElementType::Float, "x", 3),
          inout(ElementType::Float, "out", 4),  constant("out_dim", 5),
          constant("in_dim", 6),                constant("group_size", 7)};
}

// Threadgroups along x; the other grid dimensions repeat the same work.
uint64_t grid_width(const DispatchArgs& a) { return a.grid.threadgroups[0]; }

Problem require_tiled_threads(std::string_view kernel, const DispatchArgs& a) {
  const auto& t = a.grid.threads_per_threadgroup;
  if (t[0] == kTiledThreads && t[1] == 1 && t[2] == 1) return std::nullopt;
  return fmt::format("{}: needs threadgroups of {} threads, dispatched ({}, {}, {})", kernel, kTiledThreads, t[0],
                     t[1], t[2]);
}

Problem require_in_dim_limit(std::string_view kernel, uint32_t in_dim) {
  if (in_dim <= kTiledMaxInDim) return std::nullopt;
  return fmt::format("{}: in_dim {} exceeds the kernel's limit of {}", kernel, in_dim, kTiledMaxInDim);
}

// in_dim whole codes per word and whole groups of whole words.
Problem require_grouping(std::string_view kernel, uint32_t in_dim, uint32_t group_size, uint32_t codes_per_word) {
  if (in_dim % codes_per_word != 0) {
    return fmt::format("{}: in_dim {} is not a multiple of {}", kernel, in_dim, codes_per_word);
  }
  if (group_size == 0 || group_size % codes_per_word != 0 || in_dim % group_size != 0) {
    return fmt::format("{}: group_size {} must be a positive multiple of {} dividing in_dim {}", kernel, group_size,
                       codes_per_word, in_dim);
  }
  return std::nullopt;
}

// Rows the dispatched threadgroups own below out_dim.
uint32_t tiled_rows(const DispatchArgs& a, uint32_t out_dim) {
  return static_cast<uint32_t>(std::min<uint64_t>(out_dim, grid_width(a) * kRowsPerThreadgroup));
}

// Row ranges of a tiled mat-vec whose job `Job` builds from the dispatch;
// x, bound at `XIndex`, is what the ranges share.
template <MatvecJob (*Job)(const DispatchArgs&), uint32_t XIndex>
RowSplit tiled_split() {
  RowSplit s;
  s.work = [](const DispatchArgs& a) {
    const MatvecJob job = Job(a);
    return RowWork{job.rows, matvec_bytes_per_row(job)};
  };
  s.prepare = [](const DispatchArgs& a, float* scratch) { prepare_matvec(Job(a), scratch); };
  s.shared_input = XIndex;
  s.run_rows = [](const DispatchArgs& a, const float* scratch, uint32_t begin, uint32_t end) {
    matvec_rows(Job(a), scratch, begin, end);
  };
  return s;
}

// ---- the packed 4-bit family (bindings 0..7) ----

struct AffineShape {
  uint32_t out_dim, in_dim, group_size;
};

AffineShape affine_shape(const DispatchArgs& a) { return {a.u32(5), a.u32(6), a.u32(7)}; }

// Buffer needs of `rows` rows of a packed matrix with `codes_per_word` codes per word.
Problem require_affine_rows(std::string_view kernel, const DispatchArgs& a, uint64_t rows, uint32_t codes_per_word) {
  const auto s = affine_shape(a);
  const uint64_t words = s.in_dim / codes_per_word;
  const uint64_t groups = s.in_dim / s.group_size;
  if (auto p = require_bytes(kernel, a, 0, rows * words * 4)) return p;
  if (auto p = require_bytes(kernel, a, 1, rows * groups * 2)) return p;
  if (auto p = require_bytes(kernel, a, 2, rows * groups * 2)) return p;
  if (auto p = require_bytes(kernel, a, 3, uint64_t{s.in_dim} * 4)) return p;
  return require_bytes(kernel, a, 4, rows * 4);
}

template <uint32_t CodesPerWord>
Problem validate_affine_tiled(std::string_view kernel, const DispatchArgs& a) {
  const auto s = affine_shape(a);
  if (auto p = require_tiled_threads(kernel, a)) return p;
  if (auto p = require_in_dim_limit(kernel, s.in_dim)) return p;
  if (auto p = require_grouping(kernel, s.in_dim, s.group_size, CodesPerWord)) return p;
  return require_affine_rows(kernel, a, tiled_rows(a, s.out_dim), CodesPerWord);
}

MatvecJob affine_job(const DispatchArgs& a, uint32_t rows) {
  const auto s = affine_shape(a);
  return MatvecJob{MatvecFormat::Affine4, a.buffer<const uint32_t>(0), a.buffer<const uint16_t>(1),
                   a.buffer<const uint16_t>(2), nullptr, a.buffer<const float>(3), a.buffer<float>(4), rows,
                   s.in_dim, s.group_size};
}

// dequant_matvec_4bit_v3: the engines' 4-bit mat-vec.
Problem validate_v3(const DispatchArgs& a) { return validate_affine_tiled<8>("dequant_matvec_4bit_v3", a); }
MatvecJob v3_job(const DispatchArgs& a) { return affine_job(a, tiled_rows(a, affine_shape(a).out_dim)); }
void run_v3(const DispatchArgs& a) { run_matvec(v3_job(a)); }

// One row of a packed affine matrix: `Bits`-bit codes, 32 / Bits per word.
struct AffineRow {
  const uint32_t* words;
  const uint16_t* scales;
  const uint16_t* biases;
  uint32_t words_per_group;
};

// Row `row` of the matrix bound at `first` (words), first + 1 (scales), first + 2 (biases).
template <uint32_t Bits>
AffineRow affine_row(const DispatchArgs& a, uint32_t first, uint32_t row, uint32_t in_dim, uint32_t group_size) {
  constexpr uint32_t codes = 32 / Bits;
  const uint64_t words = in_dim / codes;
  const uint64_t groups = in_dim / group_size;
  return {a.buffer<const uint32_t>(first) + row * words, a.buffer<const uint16_t>(first + 1) + row * groups,
          a.buffer<const uint16_t>(first + 2) + row * groups, group_size / codes};
}

// Adds word c's codes in order, each as (code * scale + bias) * x.
template <uint32_t Bits>
float add_plain_word(float sum, const AffineRow& row, uint32_t c, const float* x) {
  constexpr uint32_t codes = 32 / Bits;
  const uint32_t g = c / row.words_per_group;
  const float scale = bf16_to_f32(row.scales[g]);
  const float bias = bf16_to_f32(row.biases[g]);
  for (uint32_t k = 0; k < codes; ++k) {
    const auto code = static_cast<float>((row.words[c] >> (Bits * k)) & ((1u << Bits) - 1));
    sum += (code * scale + bias) * x[codes * c + k];
  }
  return sum;
}

// The sum of `units` units over `threads` threads in SIMD groups of 32:
// thread t adds units t, t + threads, ... in order (add(sum, u) adds unit
// u), and each SIMD group adds its threads' sums (absent threads give 0).
// Returns the SIMD groups' sums, ceil(threads / 32) of them.
template <class Add>
std::array<float, kMatvecLanes> simd_group_sums(uint32_t units, uint32_t threads, Add&& add) {
  std::array<float, kMatvecLanes> groups{};
  for (uint32_t s = 0; s * kMatvecLanes < threads; ++s) {
    std::array<float, kMatvecLanes> lanes{};
    for (uint32_t l = 0; l < kMatvecLanes && s * kMatvecLanes + l < threads; ++l) {
      for (uint32_t u = s * kMatvecLanes + l; u < units; u += threads) lanes[l] = add(lanes[l], u);
    }
    groups[s] = simd_group_sum(lanes);
  }
  return groups;
}

// One SIMD group of 32 lanes per row (the tiled kernels): lane l takes units l, l + 32, ...
template <class Add>
float tiled_sum(uint32_t units, Add&& add) {
  return simd_group_sums(units, kMatvecLanes, add)[0];
}

// One threadgroup of `threads` per row (the fast kernels): SIMD group 0 adds
// the SIMD groups' sums, lanes past them contributing 0.
template <class Add>
float threadgroup_sum(uint32_t units, uint32_t threads, Add&& add) {
  return simd_group_sum(simd_group_sums(units, threads, add));
}

// dequant_matvec_4bit: one thread per row over the x extent of the grid; columns in order.
uint32_t per_thread_rows(const DispatchArgs& a) {
  const uint64_t threads = grid_width(a) * a.grid.threads_per_threadgroup[0];
  return static_cast<uint32_t>(std::min<uint64_t>(affine_shape(a).out_dim, threads));
}
Problem validate_4bit(const DispatchArgs& a) {
  constexpr std::string_view kernel = "dequant_matvec_4bit";
  const auto s = affine_shape(a);
  if (auto p = require_grouping(kernel, s.in_dim, s.group_size, 8)) return p;
  return require_affine_rows(kernel, a, per_thread_rows(a), 8);
}
void run_4bit(const DispatchArgs& a) {
  const auto s = affine_shape(a);
  const float* x = a.buffer<const float>(3);
  float* out = a.buffer<float>(4);
  for (uint32_t r = 0, rows = per_thread_rows(a); r < rows; ++r) {
    const AffineRow row = affine_row<4>(a, 0, r, s.in_dim, s.group_size);
    float sum = 0.0f;
    for (uint32_t c = 0; c < s.in_dim / 8; ++c) sum = add_plain_word<4>(sum, row, c, x);
    out[r] = sum;
  }
}

// One group of a packed row, its words in order, as one thread of the fast kernels takes it.
float add_plain_group(float sum, const AffineRow& row, uint32_t g, const float* x) {
  for (uint32_t c = g * row.words_per_group; c < (g + 1) * row.words_per_group; ++c) {
    sum = add_plain_word<4>(sum, row, c, x);
  }
  return sum;
}

// dequant_matvec_4bit_fast: one threadgroup per row, thread t taking groups t, t + threads, ...
uint32_t per_threadgroup_rows(const DispatchArgs& a, uint32_t out_dim) {
  return static_cast<uint32_t>(std::min<uint64_t>(out_dim, grid_width(a)));
}
Problem validate_4bit_fast(const DispatchArgs& a) {
  constexpr std::string_view kernel = "dequant_matvec_4bit_fast";
  const auto s = affine_shape(a);
  if (auto p = require_grouping(kernel, s.in_dim, s.group_size, 8)) return p;
  return require_affine_rows(kernel, a, per_threadgroup_rows(a, s.out_dim), 8);
}
void run_4bit_fast(const DispatchArgs& a) {
  const auto s = affine_shape(a);
  const uint32_t threads = a.grid.threads_per_threadgroup[0];
  const float* x = a.buffer<const float>(3);
  float* out = a.buffer<float>(4);
  for (uint32_t r = 0, rows = per_threadgroup_rows(a, s.out_dim); r < rows; ++r) {
    const AffineRow row = affine_row<4>(a, 0, r, s.in_dim, s.group_size);
    out[r] = threadgroup_sum(s.in_dim / s.group_size, threads,
                             [&](float sum, uint32_t g) { return add_plain_group(sum, row, g, x); });
  }
}

// dequant_matvec_4bit_v4: tiled over vectors of 4 words, plain per-code arithmetic.
Problem validate_v4(const DispatchArgs& a) {
  constexpr std::string_view kernel = "dequant_matvec_4bit_v4";
  if (auto p = validate_affine_tiled<8>(kernel, a)) return p;
  const uint32_t words = affine_shape(a).in_dim / 8;
  if (words % 4 != 0) return fmt::format("{}: in_dim / 8 = {} is not a multiple of 4", kernel, words);
  return std::nullopt;
}
void run_v4(const DispatchArgs& a) {
  const auto s = affine_shape(a);
  const float* x = a.buffer<const float>(3);
  float* out = a.buffer<float>(4);
  for (uint32_t r = 0, rows = tiled_rows(a, s.out_dim); r < rows; ++r) {
    const AffineRow row = affine_row<4>(a, 0, r, s.in_dim, s.group_size);
    out[r] = tiled_sum(s.in_dim / 32, [&](float sum, uint32_t v) {
      for (uint32_t c = 4 * v; c < 4 * v + 4; ++c) sum = add_plain_word<4>(sum, row, c, x);
      return sum;
    });
  }
}

// dequant_matvec_4bit_v5 (4-bit words) and dequant_matvec_2bit (words of 16
// two-bit codes): tiled over words, plain per-code arithmetic. v5's table of
// code * scale + bias holds the values computed here.
template <uint32_t Bits>
void run_tiled_plain(const DispatchArgs& a) {
  const auto s = affine_shape(a);
  const float* x = a.buffer<const float>(3);
  float* out = a.buffer<float>(4);
  for (uint32_t r = 0, rows = tiled_rows(a, s.out_dim); r < rows; ++r) {
    const AffineRow row = affine_row<Bits>(a, 0, r, s.in_dim, s.group_size);
    out[r] = tiled_sum(s.in_dim / (32 / Bits),
                       [&](float sum, uint32_t c) { return add_plain_word<Bits>(sum, row, c, x); });
  }
}
Problem validate_v5(const DispatchArgs& a) { return validate_affine_tiled<8>("dequant_matvec_4bit_v5", a); }
Problem validate_2bit(const DispatchArgs& a) { return validate_affine_tiled<16>("dequant_matvec_2bit", a); }

// dequant_matvec_4bit_batched: K experts' mat-vecs in one grid.
struct BatchedShape {
  uint32_t tiles;    // num_row_tiles
  uint32_t experts;  // experts reached by the grid
};
BatchedShape batched_shape(const DispatchArgs& a) {
  const uint32_t tiles = a.u32(11);
  if (tiles == 0) return {0, 0};
  return {tiles, static_cast<uint32_t>((grid_width(a) + tiles - 1) / tiles)};
}
// Rows of expert e that the grid's threadgroups own.
uint32_t batched_rows(const DispatchArgs& a, const BatchedShape& b, uint32_t e) {
  const uint64_t first_tile = uint64_t{e} * b.tiles;
  const uint64_t tiles_here = std::min<uint64_t>(b.tiles, grid_width(a) - first_tile);
  return static_cast<uint32_t>(std::min<uint64_t>(affine_shape(a).out_dim, tiles_here * kRowsPerThreadgroup));
}
Problem validate_batched(const DispatchArgs& a) {
  constexpr std::string_view kernel = "dequant_matvec_4bit_batched";
  const auto s = affine_shape(a);
  if (auto p = require_tiled_threads(kernel, a)) return p;
  if (auto p = require_in_dim_limit(kernel, s.in_dim)) return p;
  if (auto p = require_grouping(kernel, s.in_dim, s.group_size, 8)) return p;
  const auto b = batched_shape(a);
  if (b.tiles == 0) return fmt::format("{}: num_row_tiles must not be 0", kernel);
  for (uint32_t i : {8u, 9u, 10u}) {
    if (auto p = require_bytes(kernel, a, i, uint64_t{b.experts} * 4)) return p;
  }
  const uint64_t words = s.in_dim / 8;
  const uint64_t groups = s.in_dim / s.group_size;
  for (uint32_t e = 0; e < b.experts; ++e) {
    const uint64_t rows = batched_rows(a, b, e);
    if (auto p = require_bytes(kernel, a, 0, (a.buffer<const uint32_t>(8)[e] + rows * words) * 4)) return p;
    if (auto p = require_bytes(kernel, a, 1, (a.buffer<const uint32_t>(9)[e] + rows * groups) * 2)) return p;
    if (auto p = require_bytes(kernel, a, 2, (a.buffer<const uint32_t>(10)[e] + rows * groups) * 2)) return p;
    if (auto p = require_bytes(kernel, a, 3, (uint64_t{e} + 1) * s.in_dim * 4)) return p;
    if (auto p = require_bytes(kernel, a, 4, (uint64_t{e} * s.out_dim + rows) * 4)) return p;
  }
  return std::nullopt;
}
void run_batched(const DispatchArgs& a) {
  const auto s = affine_shape(a);
  const auto b = batched_shape(a);
  for (uint32_t e = 0; e < b.experts; ++e) {
    MatvecJob job = affine_job(a, batched_rows(a, b, e));
    job.weights = a.buffer<const uint32_t>(0) + a.buffer<const uint32_t>(8)[e];
    job.scales_bf16 += a.buffer<const uint32_t>(9)[e];
    job.biases_bf16 += a.buffer<const uint32_t>(10)[e];
    job.x += static_cast<uint64_t>(e) * s.in_dim;
    job.out += static_cast<uint64_t>(e) * s.out_dim;
    run_matvec(job);
  }
}

// fused_gate_up_swiglu: two packed matrices over one x, one threadgroup per row.
Problem validate_fused_swiglu(const DispatchArgs& a) {
  constexpr std::string_view kernel = "fused_gate_up_swiglu";
  const uint32_t out_dim = a.u32(8), in_dim = a.u32(9), group_size = a.u32(10);
  if (auto p = require_grouping(kernel, in_dim, group_size, 8)) return p;
  const uint64_t rows = per_threadgroup_rows(a, out_dim);
  const uint64_t words = in_dim / 8;
  const uint64_t groups = in_dim / group_size;
  for (uint32_t base : {0u, 3u}) {
    if (auto p = require_bytes(kernel, a, base, rows * words * 4)) return p;
    if (auto p = require_bytes(kernel, a, base + 1, rows * groups * 2)) return p;
    if (auto p = require_bytes(kernel, a, base + 2, rows * groups * 2)) return p;
  }
  if (auto p = require_bytes(kernel, a, 6, uint64_t{in_dim} * 4)) return p;
  return require_bytes(kernel, a, 7, rows * 4);
}
void run_fused_swiglu(const DispatchArgs& a) {
  const uint32_t out_dim = a.u32(8), in_dim = a.u32(9), group_size = a.u32(10);
  const uint32_t threads = a.grid.threads_per_threadgroup[0];
  const float* x = a.buffer<const float>(6);
  float* out = a.buffer<float>(7);
  for (uint32_t r = 0, rows = per_threadgroup_rows(a, out_dim); r < rows; ++r) {
    auto row_sum = [&](uint32_t first) {
      const AffineRow row = affine_row<4>(a, first, r, in_dim, group_size);
      return threadgroup_sum(in_dim / group_size, threads,
                             [&](float sum, uint32_t g) { return add_plain_group(sum, row, g, x); });
    };
    const float g = row_sum(0), u = row_sum(3);
    out[r] = silu(g) * u;
  }
}

// ---- matvec_bf16: 0 W, 1 x, 2 out, 3 out_dim, 4 in_dim ----

Problem validate_bf16(const DispatchArgs& a) {
  constexpr std::string_view kernel = "matvec_bf16";
  const uint32_t in_dim = a.u32(4);
  const uint64_t rows = tiled_rows(a, a.u32(3));
  if (auto p = require_tiled_threads(kernel, a)) return p;
  if (auto p = require_in_dim_limit(kernel, in_dim)) return p;
  if (auto p = require_bytes(kernel, a, 0, rows * in_dim * 2)) return p;
  if (auto p = require_bytes(kernel, a, 1, uint64_t{in_dim} * 4)) return p;
  return require_bytes(kernel, a, 2, rows * 4);
}
MatvecJob bf16_job(const DispatchArgs& a) {
  return MatvecJob{MatvecFormat::Bf16, a.buffer<const uint16_t>(0), nullptr, nullptr, nullptr,
                   a.buffer<const float>(1), a.buffer<float>(2), tiled_rows(a, a.u32(3)), a.u32(4), 0};
}
void run_bf16(const DispatchArgs& a) { run_matvec(bf16_job(a)); }

// ---- matvec_int8: 0 W, 1 scales (f32 per row), 2 x, 3 out, 4 out_dim, 5 in_dim ----

Problem validate_int8(const DispatchArgs& a) {
  constexpr std::string_view kernel = "matvec_int8";
  const uint32_t in_dim = a.u32(5);
  const uint64_t rows = tiled_rows(a, a.u32(4));
  if (auto p = require_tiled_threads(kernel, a)) return p;
  if (auto p = require_in_dim_limit(kernel, in_dim)) return p;
  if (auto p = require_bytes(kernel, a, 0, rows * in_dim)) return p;
  if (auto p = require_bytes(kernel, a, 1, rows * 4)) return p;
  if (auto p = require_bytes(kernel, a, 2, uint64_t{in_dim} * 4)) return p;
  return require_bytes(kernel, a, 3, rows * 4);
}
MatvecJob int8_job(const DispatchArgs& a) {
  return MatvecJob{MatvecFormat::Int8, a.buffer<const int8_t>(0), nullptr, nullptr, a.buffer<const float>(1),
                   a.buffer<const float>(2), a.buffer<float>(3), tiled_rows(a, a.u32(4)), a.u32(5), 0};
}
void run_int8(const DispatchArgs& a) { run_matvec(int8_job(a)); }

// ---- FP4 and FP8: 0 W, 1 scales (bf16 per group), 2 x, 3 out, 4 out_dim, 5 in_dim, 6 group_size ----

Problem validate_scaled(std::string_view kernel, const DispatchArgs& a, uint32_t codes_per_unit,
                        uint32_t unit_bytes) {
  const uint32_t in_dim = a.u32(5), group_size = a.u32(6);
  const uint64_t rows = tiled_rows(a, a.u32(4));
  if (auto p = require_tiled_threads(kernel, a)) return p;
  if (auto p = require_in_dim_limit(kernel, in_dim)) return p;
  if (auto p = require_grouping(kernel, in_dim, group_size, codes_per_unit)) return p;
  if (auto p = require_bytes(kernel, a, 0, rows * (in_dim / codes_per_unit) * unit_bytes)) return p;
  if (auto p = require_bytes(kernel, a, 1, rows * (in_dim / group_size) * 2)) return p;
  if (auto p = require_bytes(kernel, a, 2, uint64_t{in_dim} * 4)) return p;
  return require_bytes(kernel, a, 3, rows * 4);
}
Problem validate_fp4(const DispatchArgs& a) { return validate_scaled("dequant_matvec_fp4_e2m1", a, 8, 4); }
Problem validate_fp8(const DispatchArgs& a) { return validate_scaled("matvec_fp8_e4m3", a, 1, 1); }

MatvecJob scaled_job(MatvecFormat format, const DispatchArgs& a) {
  return MatvecJob{format, a.buffer<const void>(0), a.buffer<const uint16_t>(1), nullptr, nullptr,
                   a.buffer<const float>(2), a.buffer<float>(3), tiled_rows(a, a.u32(4)), a.u32(5), a.u32(6)};
}
MatvecJob fp4_job(const DispatchArgs& a) { return scaled_job(MatvecFormat::Fp4, a); }
MatvecJob fp8_job(const DispatchArgs& a) { return scaled_job(MatvecFormat::Fp8, a); }
void run_fp4(const DispatchArgs& a) { run_matvec(fp4_job(a)); }
void run_fp8(const DispatchArgs& a) { run_matvec(fp8_job(a)); }

}  // namespace

void append_matvec_kernels(std::vector<KernelImpl>& out) {
  using T = ElementType;
  const std::vector<KernelParam> scaled_params_fp4 = {
      in(T::Uint, "W_packed", 0), in(T::Ushort, "scales", 1), in(T::Float, "x", 2), inout(T::Float, "out", 3),
      constant("out_dim", 4),     constant("in_dim", 5),      constant("group_size", 6)};
  const std::vector<KernelParam> scaled_params_fp8 = {
      in(T::Uchar, "W_u8", 0), in(T::Ushort, "scales", 1), in(T::Float, "x", 2), inout(T::Float, "out", 3),
      constant("out_dim", 4),  constant("in_dim", 5),      constant("group_size", 6)};
  std::vector<KernelParam> batched = affine_params();
  batched[3].name = "x_inputs";
  batched.push_back(in(T::Uint, "w_offsets", 8));
  batched.push_back(in(T::Uint, "s_offsets", 9));
  batched.push_back(in(T::Uint, "b_offsets", 10));
  batched.push_back(constant("num_row_tiles", 11));

  out.push_back({"dequant_matvec_4bit", affine_params(), validate_4bit, run_4bit});
  out.push_back({"dequant_matvec_4bit_fast", affine_params(), validate_4bit_fast, run_4bit_fast});
  out.push_back({"dequant_matvec_4bit_v3", affine_params(), validate_v3, run_v3, tiled_split<v3_job, 3>()});
  out.push_back({"matvec_bf16",
                 {in(T::Ushort, "W_bf16", 0), in(T::Float, "x", 1), inout(T::Float, "out", 2), constant("out_dim", 3),
                  constant("in_dim", 4)},
                 validate_bf16,
                 run_bf16,
                 tiled_split<bf16_job, 1>()});
  out.push_back({"matvec_int8",
                 {in(T::Char, "W_i8", 0), in(T::Float, "scales", 1), in(T::Float, "x", 2), inout(T::Float, "out", 3),
                  constant("out_dim", 4), constant("in_dim", 5)},
                 validate_int8,
                 run_int8,
                 tiled_split<int8_job, 2>()});
  out.push_back({"dequant_matvec_fp4_e2m1", scaled_params_fp4, validate_fp4, run_fp4, tiled_split<fp4_job, 2>()});
  out.push_back({"matvec_fp8_e4m3", scaled_params_fp8, validate_fp8, run_fp8, tiled_split<fp8_job, 2>()});
  out.push_back({"dequant_matvec_4bit_v4", affine_params(), validate_v4, run_v4});
  out.push_back({"dequant_matvec_4bit_v5", affine_params(), validate_v5, run_tiled_plain<4>});
  out.push_back({"dequant_matvec_4bit_batched", batched, validate_batched, run_batched});
  out.push_back({"dequant_matvec_2bit", affine_params(), validate_2bit, run_tiled_plain<2>});
  out.push_back({"fused_gate_up_swiglu",
                 {in(T::Uint, "gate_W", 0), in(T::Ushort, "gate_s", 1), in(T::Ushort, "gate_b", 2),
                  in(T::Uint, "up_W", 3), in(T::Ushort, "up_s", 4), in(T::Ushort, "up_b", 5), in(T::Float, "x", 6),
                  inout(T::Float, "out", 7), constant("out_dim", 8), constant("in_dim", 9),
                  constant("group_size", 10)},
                 validate_fused_swiglu,
                 run_fused_swiglu});
}

}  // namespace varkel::metal
