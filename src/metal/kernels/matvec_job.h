#pragma once
// One tiled mat-vec as the SIMD row loops see it: rows [0, rows) of one
// stored matrix times x, written to out.

#include <array>
#include <cstdint>

#include "metal/kernels/simd_group_sum.h"

namespace varkel::metal {

enum class MatvecFormat : uint8_t {
  Affine4,  // packed 4-bit codes; per-unit fma(code, scale * x, bias * x)
  Bf16,     // widen(w) * x
  Int8,     // (float(w) * row scale) * x
  Fp4,      // (fp4[code] * scale) * x
  Fp8,      // (fp8[byte] * scale) * x
};

struct MatvecJob {
  MatvecFormat format;
  const void* weights;
  const uint16_t* scales_bf16;  // Affine4, Fp4, Fp8: [rows][in_dim / group_size]
  const uint16_t* biases_bf16;  // Affine4
  const float* scales_f32;      // Int8: [rows]
  const float* x;               // [in_dim]
  float* out;                   // [rows]
  uint32_t rows;
  uint32_t in_dim;
  uint32_t group_size;          // Affine4, Fp4, Fp8
};

// Largest in_dim the tiled kernels take (the x copy a threadgroup keeps).
inline constexpr uint32_t kTiledMaxInDim = 4096;

// Lanes of the SIMD group that sums one row.
inline constexpr uint32_t kMatvecLanes = kSimdGroupLanes;

// Computes out[r] for r in [row_begin, row_end) of `job`. `x_blocks` is x
// regrouped for the packed formats (see regroup_x_blocks), else unused.
void matvec_rows(const MatvecJob& job, const float* x_blocks, uint32_t row_begin, uint32_t row_end);

// x transposed per block of 8 * 32 columns, so that lane w's column of code k
// sits at lane w of row k: out[256o + 32k + w] = x[256o + 8w + k] for every
// whole block o.
void regroup_x_blocks(const float* x, uint32_t in_dim, float* out);

// Memory one row of `job` reads.
uint64_t matvec_bytes_per_row(const MatvecJob& job);

// What every row range of `job` shares, into kTiledMaxInDim floats of
// `scratch` (x regrouped for the packed formats), to pass to matvec_rows.
void prepare_matvec(const MatvecJob& job, float* scratch);

// Runs `job` over all its rows, on worker threads when it is big enough.
void run_matvec(const MatvecJob& job);

}  // namespace varkel::metal
