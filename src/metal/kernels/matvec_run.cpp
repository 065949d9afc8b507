#include "metal/kernels/decode_tables.h"
#include "metal/kernels/matvec_job.h"
#include "metal/kernels/parallel_rows.h"

namespace varkel::metal {

void regroup_x_blocks(const float* x, uint32_t in_dim, float* out) {
  constexpr uint32_t lanes = kMatvecLanes;
  constexpr uint32_t span = 8 * lanes;
  const uint32_t blocks = in_dim / span;
  for (uint32_t o = 0; o < blocks; ++o) {
    const float* src = x + span * o;
    float* dst = out + span * o;
    for (uint32_t w = 0; w < lanes; ++w) {
      for (uint32_t k = 0; k < 8; ++k) dst[lanes * k + w] = src[8 * w + k];
    }
  }
}

uint64_t matvec_bytes_per_row(const MatvecJob& job) {
  const uint64_t n = job.in_dim;
  switch (job.format) {
    case MatvecFormat::Affine4: return n / 2 + 4 * (n / job.group_size);
    case MatvecFormat::Fp4: return n / 2 + 2 * (n / job.group_size);
    case MatvecFormat::Bf16: return 2 * n;
    case MatvecFormat::Int8: return n + 4;
    case MatvecFormat::Fp8: return n + 2 * (n / job.group_size);
  }
  return n;
}

void prepare_matvec(const MatvecJob& job, float* scratch) {
  if (job.format == MatvecFormat::Affine4 || job.format == MatvecFormat::Fp4) regroup_x_blocks(job.x, job.in_dim, scratch);
  if (job.format == MatvecFormat::Fp8) (void)fp8_e4m3_lut();  // built before threads race for it
}

void run_matvec(const MatvecJob& job) {
  // The per-dispatch copy of x, as a threadgroup keeps it; never allocated.
  alignas(64) float x_blocks[kTiledMaxInDim];
  prepare_matvec(job, x_blocks);
  parallel_rows(job.rows, matvec_bytes_per_row(job),
                [&](uint32_t begin, uint32_t end) { matvec_rows(job, x_blocks, begin, end); });
}

}  // namespace varkel::metal
