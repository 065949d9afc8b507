// Mat-vec kernels against a decode-then-dot in double precision over weights
// packed by hand here.
//
// Tolerance: every term is at most three f32 roundings away from its exact
// value (|relative error| <= u = 2^-24 each) and a sum of n terms in any order
// adds at most (n - 1) u times the sum of the magnitudes. So
// |result - exact| <= (n + 8) u M, with M the sum of the terms' magnitudes
// (for the 4-bit fma form, of |code scale x| + |bias x|, its two parts).
// Single-column decode faults can hide under that bound for big n, so every
// kernel is also swept with one-hot inputs, where the sum is a single term.

#include <cmath>
#include <random>

#include "hwy/targets.h"
#include "metal/kernels/matvec_job.h"
#include "metal_test_support.h"

namespace varkel::metal::testing {
namespace {

constexpr double kU = 1.0 / 16777216.0;  // 2^-24
constexpr float kSentinel = 12345.0f;

uint16_t bf16_bits(float f) { return static_cast<uint16_t>(std::bit_cast<uint32_t>(f) >> 16); }
double bf16_value(uint16_t h) { return std::bit_cast<float>(static_cast<uint32_t>(h) << 16); }

double fp4_value(uint32_t code) {
  static const double magnitudes[8] = {0, 0.5, 1, 1.5, 2, 3, 4, 6};
  return (code & 8) ? -magnitudes[code & 7] : magnitudes[code & 7];
}

// E4M3: 1 sign, 4 exponent (bias 7), 3 mantissa bits; top binade saturates at 240.
double fp8_value(uint8_t b) {
  const int e = (b >> 3) & 0xF, m = b & 7;
  double v = e == 0 ? m * std::ldexp(1.0, -9) : e == 15 ? 240.0 : (1.0 + m / 8.0) * std::ldexp(1.0, e - 7);
  return (b & 0x80) ? -v : v;
}

enum class Format { Affine4, Bf16, Int8, Fp4, Fp8 };

const char* kernel_of(Format f) {
  switch (f) {
    case Format::Affine4: return "dequant_matvec_4bit_v3";
    case Format::Bf16: return "matvec_bf16";
    case Format::Int8: return "matvec_int8";
    case Format::Fp4: return "dequant_matvec_fp4_e2m1";
    case Format::Fp8: return "matvec_fp8_e4m3";
  }
  return "";
}

uint32_t group_of(Format f) { return f == Format::Fp8 ? 128 : 64; }

// A matrix in one storage format, its companions, and its exact decode.
struct Matrix {
  Format format;
  uint32_t rows = 0, cols = 0;
  uint32_t group = 64;            // columns per scale (and bias)
  std::vector<uint32_t> words;    // Affine4, Fp4
  std::vector<uint8_t> bytes;     // Int8 (two's complement), Fp8
  std::vector<uint16_t> halves;   // Bf16
  std::vector<uint16_t> scales;   // bf16 per group
  std::vector<uint16_t> biases;   // Affine4
  std::vector<float> row_scales;  // Int8

  uint32_t groups() const { return cols / group; }
  uint32_t code(uint32_t r, uint32_t c) const { return (words[r * (cols / 8) + c / 8] >> (4 * (c % 8))) & 0xF; }
  void set_code(uint32_t r, uint32_t c, uint32_t v) {
    uint32_t& w = words[r * (cols / 8) + c / 8];
    w = (w & ~(0xFu << (4 * (c % 8)))) | (v << (4 * (c % 8)));
  }
  double scale(uint32_t r, uint32_t c) const { return bf16_value(scales[r * groups() + c / group]); }
  double bias(uint32_t r, uint32_t c) const { return bf16_value(biases[r * groups() + c / group]); }

  // The stored value of element (r, c) and, for Affine4, its two parts.
  double value(uint32_t r, uint32_t c) const {
    switch (format) {
      case Format::Affine4:
        return code(r, c) * scale(r, c) + bias(r, c);
      case Format::Bf16: return bf16_value(halves[r * cols + c]);
      case Format::Int8: return static_cast<int8_t>(bytes[r * cols + c]) * static_cast<double>(row_scales[r]);
      case Format::Fp4: return fp4_value(code(r, c)) * scale(r, c);
      case Format::Fp8: return fp8_value(bytes[r * cols + c]) * scale(r, c);
    }
    return 0;
  }
  double magnitude(uint32_t r, uint32_t c) const {
    if (format == Format::Affine4) {
      return std::fabs(code(r, c) * scale(r, c)) + std::fabs(bias(r, c));
    }
    return std::fabs(value(r, c));
  }
  // The FP8 table holds 7-decimal values, up to 5.1e-8 from the exact ones.
  double table_error(uint32_t r, uint32_t c) const {
    return format == Format::Fp8 ? 5.1e-8 * std::fabs(scale(r, c)) : 0.0;
  }
};

Matrix random_matrix(Format f, uint32_t rows, uint32_t cols, uint32_t seed, uint32_t group = 0) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> scale_dist(0.002f, 0.05f);
  Matrix m;
  m.format = f;
  m.group = group ? group : group_of(f);
  m.rows = rows;
  m.cols = cols;
  auto fill_scales = [&] {
    m.scales.resize(std::size_t{rows} * m.groups());
    for (auto& s : m.scales) s = bf16_bits(scale_dist(rng));
  };
  switch (f) {
    case Format::Affine4:
    case Format::Fp4:
      m.words.resize(std::size_t{rows} * cols / 8);
      for (auto& w : m.words) w = static_cast<uint32_t>(rng());
      fill_scales();
      if (f == Format::Affine4) {
        std::uniform_real_distribution<float> bias_dist(-0.4f, 0.1f);
        m.biases.resize(m.scales.size());
        for (auto& b : m.biases) b = bf16_bits(bias_dist(rng));
      }
      break;
    case Format::Bf16: {
      std::uniform_real_distribution<float> dist(-0.5f, 0.5f);
      m.halves.resize(std::size_t{rows} * cols);
      for (auto& h : m.halves) h = bf16_bits(dist(rng));
      break;
    }
    case Format::Int8: {
      m.bytes.resize(std::size_t{rows} * cols);
      for (auto& b : m.bytes) b = static_cast<uint8_t>(static_cast<int8_t>(static_cast<int>(rng() % 255) - 127));
      m.row_scales.resize(rows);
      for (auto& s : m.row_scales) s = scale_dist(rng);
      break;
    }
    case Format::Fp8:
      m.bytes.resize(std::size_t{rows} * cols);
      for (auto& b : m.bytes) b = static_cast<uint8_t>(rng());
      fill_scales();
      break;
  }
  return m;
}

std::vector<float> random_vector(uint32_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> x(n);
  for (auto& v : x) v = dist(rng);
  return x;
}

class MatvecTest : public MetalTest {
 protected:
  // Dispatches the format's kernel over `m` as the encoders do: out_dim rows,
  // ceil(out_dim / 8) threadgroups unless `threadgroups` is given. The output
  // buffer holds `out_capacity` floats (at least out_dim) preset to kSentinel,
  // bound at `out_offset_rows`.
  std::vector<float> run(const Matrix& m, const std::vector<float>& x, uint32_t out_dim,
                         std::optional<uint64_t> threadgroups = std::nullopt, uint32_t out_capacity = 0,
                         uint32_t out_offset_rows = 0) {
    out_capacity = std::max(out_capacity, out_dim + out_offset_rows);
    std::vector<float> sentinel(out_capacity, kSentinel);
    auto X = make_buffer(device, x);
    auto OUT = make_buffer(device, sentinel);
    const Arg out = Arg::buf(OUT, uint64_t{out_offset_rows} * 4);
    const uint64_t tg = threadgroups.value_or((out_dim + 7) / 8);
    CommandBufferPtr cmd;
    switch (m.format) {
      case Format::Affine4:
        cmd = dispatch(kernel_of(m.format),
                       {Arg::buf(make_buffer(device, m.words)), Arg::buf(make_buffer(device, m.scales)),
                        Arg::buf(make_buffer(device, m.biases)), Arg::buf(X), out, Arg::u32(out_dim),
                        Arg::u32(m.cols), Arg::u32(m.group)},
                       tg);
        break;
      case Format::Bf16:
        cmd = dispatch(kernel_of(m.format),
                       {Arg::buf(make_buffer(device, m.halves)), Arg::buf(X), out, Arg::u32(out_dim), Arg::u32(m.cols)},
                       tg);
        break;
      case Format::Int8:
        cmd = dispatch(kernel_of(m.format),
                       {Arg::buf(make_buffer(device, m.bytes)), Arg::buf(make_buffer(device, m.row_scales)),
                        Arg::buf(X), out, Arg::u32(out_dim), Arg::u32(m.cols)},
                       tg);
        break;
      case Format::Fp4:
      case Format::Fp8: {
        auto W = m.format == Format::Fp4 ? make_buffer(device, m.words) : make_buffer(device, m.bytes);
        cmd = dispatch(kernel_of(m.format),
                       {Arg::buf(W), Arg::buf(make_buffer(device, m.scales)), Arg::buf(X), out, Arg::u32(out_dim),
                        Arg::u32(m.cols), Arg::u32(m.group)},
                       tg);
        break;
      }
    }
    EXPECT_EQ(cmd->status(), CommandBufferStatus::Completed) << cmd->error();
    const float* o = static_cast<const float*>(OUT->contents());
    return std::vector<float>(o, o + out_capacity);
  }
};

// Checks rows [0, rows) of `got` (starting at `first`) against the exact decode.
void expect_close(const Matrix& m, const std::vector<float>& x, const std::vector<float>& got, uint32_t rows,
                  uint32_t first = 0) {
  int reported = 0;
  for (uint32_t r = 0; r < rows; ++r) {
    double exact = 0, magnitude = 0, table = 0;
    for (uint32_t c = 0; c < m.cols; ++c) {
      exact += m.value(r, c) * x[c];
      magnitude += m.magnitude(r, c) * std::fabs(x[c]);
      table += m.table_error(r, c) * std::fabs(x[c]);
    }
    const double tol = (m.cols + 8) * kU * magnitude + table + 1e-30;
    if (std::fabs(got[first + r] - exact) > tol && reported++ < 5) {
      ADD_FAILURE() << kernel_of(m.format) << " row " << r << " of " << m.rows << "x" << m.cols << ": got "
                    << got[first + r] << ", exact " << exact << ", tolerance " << tol;
    }
  }
}

constexpr Format kFormats[] = {Format::Affine4, Format::Bf16, Format::Int8, Format::Fp4, Format::Fp8};

TEST_F(MatvecTest, EveryFormatMatchesExactDecodeAcrossShapes) {
  struct Shape {
    uint32_t out_dim, in_dim;
  };
  const Shape shapes[] = {{1, 512}, {4, 2048}, {32, 4096}, {8192, 512}, {8192, 2048}, {20, 4096}};
  uint32_t seed = 1;
  for (Format f : kFormats) {
    for (const Shape& s : shapes) {
      SCOPED_TRACE(std::string(kernel_of(f)) + " " + std::to_string(s.out_dim) + "x" + std::to_string(s.in_dim));
      const Matrix m = random_matrix(f, s.out_dim, s.in_dim, seed++);
      const auto x = random_vector(s.in_dim, seed++);
      const auto out = run(m, x, s.out_dim, std::nullopt, s.out_dim + 9);
      expect_close(m, x, out, s.out_dim);
      // Rows past out_dim (the last threadgroup's idle SIMD groups and beyond) stay untouched.
      for (uint32_t r = s.out_dim; r < s.out_dim + 9; ++r) EXPECT_EQ(out[r], kSentinel) << "row " << r;
    }
  }
}

TEST_F(MatvecTest, SliceOfTheLmHeadRowsLandsAtItsOffset) {
  // The last 1,320 rows of a 248,320-row matrix, written into a full-length output.
  constexpr uint32_t kRows = 248320, kSlice = 1320, kFirst = kRows - kSlice;
  uint32_t seed = 100;
  for (Format f : kFormats) {
    SCOPED_TRACE(kernel_of(f));
    const Matrix m = random_matrix(f, kSlice, 2048, seed++);
    const auto x = random_vector(2048, seed++);
    const auto out = run(m, x, kSlice, std::nullopt, kRows, kFirst);
    expect_close(m, x, out, kSlice, kFirst);
    EXPECT_EQ(out[kFirst - 1], kSentinel);
    EXPECT_EQ(out[0], kSentinel);
  }
}

TEST_F(MatvecTest, ThreadgroupsComputeOnlyTheRowsTheyOwn) {
  for (Format f : kFormats) {
    SCOPED_TRACE(kernel_of(f));
    const Matrix m = random_matrix(f, 64, 512, 7);
    const auto x = random_vector(512, 8);
    // Three threadgroups of a 64-row matrix own rows 0..23 only.
    const auto out = run(m, x, 64, 3);
    expect_close(m, x, out, 24);
    for (uint32_t r = 24; r < 64; ++r) EXPECT_EQ(out[r], kSentinel) << "row " << r;
  }
}

TEST_F(MatvecTest, EveryColumnDecodesToItsOwnValue) {
  // One-hot x: each row's result is the single term of column j.
  for (Format f : kFormats) {
    SCOPED_TRACE(kernel_of(f));
    const Matrix m = random_matrix(f, 3, 512, 11);
    for (uint32_t j = 0; j < 512; j += (f == Format::Bf16 || f == Format::Int8) ? 7 : 1) {
      std::vector<float> x(512, 0.0f);
      x[j] = 1.5f;
      const auto out = run(m, x, 3);
      for (uint32_t r = 0; r < 3; ++r) {
        const double exact = m.value(r, j) * 1.5;
        const double tol = (4 * kU * m.magnitude(r, j) + m.table_error(r, j)) * 1.5 + 1e-30;
        ASSERT_NEAR(out[r], exact, tol) << "row " << r << " column " << j;
      }
    }
  }
}

TEST_F(MatvecTest, SpecialCodes) {
  // 4-bit group of equal values (code 0 everywhere): bias times the sum of x.
  {
    Matrix m = random_matrix(Format::Affine4, 1, 128, 3);
    for (uint32_t c = 0; c < 64; ++c) m.set_code(0, c, 0);
    std::vector<float> x = random_vector(128, 4);
    std::fill(x.begin() + 64, x.end(), 0.0f);
    double sum_x = 0, abs_x = 0;
    for (uint32_t c = 0; c < 64; ++c) {
      sum_x += x[c];
      abs_x += std::fabs(x[c]);
    }
    const double bias = bf16_value(m.biases[0]);
    EXPECT_NEAR(run(m, x, 1)[0], bias * sum_x, 72 * kU * std::fabs(bias) * abs_x);
  }
  // FP8 0x80 and FP4 code 8 are -0.0: a row of them sums to zero, and around
  // one real code (1.0, scale 0.5, x 3) they leave exactly 1.5.
  for (Format f : {Format::Fp8, Format::Fp4}) {
    SCOPED_TRACE(kernel_of(f));
    Matrix m = random_matrix(f, 2, 256, 5);
    std::fill(m.scales.begin(), m.scales.end(), bf16_bits(0.5f));
    for (uint32_t c = 0; c < 256; ++c) {
      for (uint32_t r = 0; r < 2; ++r) {
        if (f == Format::Fp8) m.bytes[r * 256 + c] = 0x80;
        else m.set_code(r, c, 8);
      }
    }
    if (f == Format::Fp8) m.bytes[256 + 77] = 0x38;  // 1.0
    else m.set_code(1, 77, 2);                       // 1.0
    std::vector<float> x = random_vector(256, 6);
    x[77] = 3.0f;
    const auto out = run(m, x, 2);
    EXPECT_EQ(out[0], 0.0f);
    EXPECT_EQ(out[1], 1.5f);
  }
  // int8 codes of +-127 with the row scale 1/127 are weights of exactly +-1.
  {
    Matrix m = random_matrix(Format::Int8, 2, 512, 9);
    for (uint32_t c = 0; c < 512; ++c) {
      m.bytes[c] = 127;
      m.bytes[512 + c] = (c % 2) ? 127 : static_cast<uint8_t>(-127);
    }
    m.row_scales = {1.0f / 127.0f, 1.0f / 127.0f};
    const auto out = run(m, std::vector<float>(512, 1.0f), 2);
    EXPECT_EQ(out[0], 512.0f);
    EXPECT_EQ(out[1], 0.0f);
  }
}

TEST_F(MatvecTest, OtherGroupSizesAndPartialBlocks) {
  // 576 columns leave a tail after whole SIMD blocks; groups of 32 do not
  // fill a block of the vector loops, groups of 128 span several.
  uint32_t seed = 300;
  for (Format f : {Format::Affine4, Format::Fp4}) {
    for (uint32_t group : {32u, 64u, 192u}) {
      SCOPED_TRACE(std::string(kernel_of(f)) + " group " + std::to_string(group));
      const Matrix m = random_matrix(f, 9, 576, seed++, group);
      const auto x = random_vector(576, seed++);
      expect_close(m, x, run(m, x, 9), 9);
    }
  }
  const Matrix m = random_matrix(Format::Fp8, 9, 640, seed++, 64);
  const auto x = random_vector(640, seed++);
  expect_close(m, x, run(m, x, 9), 9);
}

// Runs `body` once on each compiled SIMD target this machine supports: the
// run-time dispatch picks one of them per machine, and each must be right.
template <class Body>
void for_each_simd_target(Body&& body) {
  const auto targets = hwy::SupportedAndGeneratedTargets();
  ASSERT_FALSE(targets.empty());
  struct RestoreTargets {
    ~RestoreTargets() { hwy::SetSupportedTargetsForTest(0); }
  } restore;
  for (int64_t target : targets) {
    hwy::SetSupportedTargetsForTest(target);
    SCOPED_TRACE(hwy::TargetName(target));
    body();
  }
}

TEST_F(MatvecTest, EveryCompiledSimdTargetAgrees) {
  for_each_simd_target([&] {
    uint32_t seed = 400;
    for (Format f : kFormats) {
      for (uint32_t cols : {640u, 2048u}) {
        const Matrix m = random_matrix(f, 17, cols, seed++);
        const auto x = random_vector(cols, seed++);
        const auto out = run(m, x, 17, std::nullopt, 18);
        expect_close(m, x, out, 17);
        EXPECT_EQ(out[17], kSentinel);
      }
    }
  });
}

TEST_F(MatvecTest, EachLaneSumsItsUnitsInOrderOnEveryTarget) {
  // Row i holds the terms of lane kLanes[i] only: first 2^24, then ones, each
  // of which rounds back to 2^24 when added in order. Adding any two ones
  // first (a split lane, a split word, another unit-to-lane assignment)
  // leaves at least 2^24 + 2. The other lanes sum to exactly 0.
  constexpr uint32_t kLanes[] = {0, 3, 20, 31};
  constexpr uint32_t kRows = 4;
  constexpr float kBig = 16777216.0f;
  struct Case {
    Format format;
    uint32_t cols, group;
  };
  // 80 words (2 blocks of 32 and a tail of 16) and 400 elements (12 blocks, tail 16).
  const Case cases[] = {{Format::Affine4, 640, 64}, {Format::Affine4, 640, 32}, {Format::Fp4, 640, 64},
                        {Format::Fp4, 640, 40},     {Format::Bf16, 400, 0},     {Format::Int8, 400, 0},
                        {Format::Fp8, 400, 16},     {Format::Fp8, 400, 20}};
  auto lane_rows = [&](const Case& c) {
    Matrix m;
    m.format = c.format;
    m.rows = kRows;
    m.cols = c.cols;
    m.group = c.group ? c.group : c.cols;
    const bool packed = c.format == Format::Affine4 || c.format == Format::Fp4;
    m.words.assign(std::size_t{kRows} * c.cols / 8, 0);
    m.bytes.assign(std::size_t{kRows} * c.cols, 0);
    m.halves.assign(std::size_t{kRows} * c.cols, 0);
    m.scales.assign(std::size_t{kRows} * m.groups(), bf16_bits(1.0f));
    m.biases.assign(m.scales.size(), 0);
    m.row_scales.assign(kRows, 1.0f);
    std::vector<float> x(c.cols, 1.0f);
    const uint32_t per_unit = packed ? 8 : 1;
    for (uint32_t r = 0; r < kRows; ++r) {
      for (uint32_t unit = kLanes[r]; unit < c.cols / per_unit; unit += 32) {
        for (uint32_t col = unit * per_unit; col < (unit + 1) * per_unit; ++col) {
          // Weight 1.0 at (r, col).
          switch (c.format) {
            case Format::Affine4: m.set_code(r, col, 1); break;
            case Format::Fp4: m.set_code(r, col, 2); break;
            case Format::Bf16: m.halves[r * c.cols + col] = bf16_bits(1.0f); break;
            case Format::Int8: m.bytes[r * c.cols + col] = 1; break;
            case Format::Fp8: m.bytes[r * c.cols + col] = 0x38; break;
          }
        }
      }
      x[kLanes[r] * per_unit] = kBig;  // the lane's first term
    }
    return std::pair{m, x};
  };
  // One fma term that the unfused form rounds differently: x = 1 + 2^-23,
  // bias * x rounds to -(3 + 2^-21), and fma(3, x, that) is exactly -2^-23
  // where 3x rounded first would cancel to 0.
  Matrix fused;
  fused.format = Format::Affine4;
  fused.rows = 1;
  fused.cols = 256;
  fused.words.assign(32, 0);
  fused.set_code(0, 9, 3);
  fused.scales.assign(4, bf16_bits(1.0f));
  fused.biases.assign(4, bf16_bits(-3.0f));
  std::vector<float> fused_x(256, 0.0f);
  fused_x[9] = 1.0f + std::ldexp(1.0f, -23);

  for_each_simd_target([&] {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(kernel_of(c.format)) + " group " + std::to_string(c.group));
      const auto [m, x] = lane_rows(c);
      const auto out = run(m, x, kRows);
      for (uint32_t r = 0; r < kRows; ++r) {
        EXPECT_EQ(out[r], kBig) << "lane " << kLanes[r] << " off by " << (out[r] - kBig);
      }
    }
    EXPECT_EQ(run(fused, fused_x, 1)[0], -std::ldexp(1.0f, -23));
  });
}

// ---- the kernels the engines do not dispatch ----

class AlternativeKernelsTest : public MatvecTest {
 protected:
  struct Packed {
    std::vector<uint32_t> words;
    std::vector<uint16_t> scales, biases;
  };
  // An affine matrix with `bits`-bit codes (4 or 2), group 64.
  static Packed packed(uint32_t rows, uint32_t cols, uint32_t bits, uint32_t seed) {
    const Matrix m = random_matrix(Format::Affine4, rows, cols, seed);
    Packed p{{}, m.scales, m.biases};
    p.words.resize(std::size_t{rows} * cols * bits / 32);
    std::mt19937 rng(seed + 1);
    for (auto& w : p.words) w = static_cast<uint32_t>(rng());
    return p;
  }
  static double exact_row(const Packed& p, uint32_t cols, uint32_t bits, uint32_t r, const std::vector<float>& x,
                          double& magnitude) {
    const uint32_t per_word = 32 / bits, groups = cols / 64;
    double sum = 0;
    magnitude = 0;
    for (uint32_t c = 0; c < cols; ++c) {
      const uint32_t code = (p.words[r * (cols / per_word) + c / per_word] >> (bits * (c % per_word))) & ((1u << bits) - 1);
      const double s = bf16_value(p.scales[r * groups + c / 64]), b = bf16_value(p.biases[r * groups + c / 64]);
      sum += (code * s + b) * x[c];
      magnitude += (std::fabs(code * s) + std::fabs(b)) * std::fabs(x[c]);
    }
    return sum;
  }
};

TEST_F(AlternativeKernelsTest, FourAndTwoBitVariantsMatchExactDecode) {
  struct Variant {
    const char* kernel;
    uint32_t bits;
    uint64_t threadgroups;  // for 40 rows
    uint64_t threads;
  };
  const Variant variants[] = {{"dequant_matvec_4bit", 4, 40, 256},    {"dequant_matvec_4bit_fast", 4, 40, 64},
                              {"dequant_matvec_4bit_v3", 4, 5, 256},  {"dequant_matvec_4bit_v4", 4, 5, 256},
                              {"dequant_matvec_4bit_v5", 4, 5, 256},  {"dequant_matvec_2bit", 2, 5, 256}};
  constexpr uint32_t kRows = 40, kCols = 1024;
  for (const auto& v : variants) {
    SCOPED_TRACE(v.kernel);
    const Packed p = packed(kRows, kCols, v.bits, 21);
    const auto x = random_vector(kCols, 22);
    auto OUT = make_buffer(device, std::vector<float>(kRows + 3, kSentinel));
    auto cmd = dispatch(v.kernel,
                        {Arg::buf(make_buffer(device, p.words)), Arg::buf(make_buffer(device, p.scales)),
                         Arg::buf(make_buffer(device, p.biases)), Arg::buf(make_buffer(device, x)), Arg::buf(OUT),
                         Arg::u32(kRows), Arg::u32(kCols), Arg::u32(64)},
                        v.threadgroups, v.threads);
    ASSERT_EQ(cmd->status(), CommandBufferStatus::Completed) << cmd->error();
    const float* out = static_cast<const float*>(OUT->contents());
    for (uint32_t r = 0; r < kRows; ++r) {
      double magnitude;
      const double exact = exact_row(p, kCols, v.bits, r, x, magnitude);
      EXPECT_NEAR(out[r], exact, (kCols + 8) * kU * magnitude) << "row " << r;
    }
    EXPECT_EQ(out[kRows], kSentinel);
  }
}

TEST_F(AlternativeKernelsTest, BatchedRunsEachExpertAtItsOffsets) {
  constexpr uint32_t kExperts = 3, kRows = 20, kCols = 512, kTiles = (kRows + 7) / 8;
  std::vector<Packed> experts;
  Packed all;
  std::vector<uint32_t> w_off, s_off, b_off;
  std::vector<float> xs;
  for (uint32_t e = 0; e < kExperts; ++e) {
    experts.push_back(packed(kRows, kCols, 4, 30 + e));
    // Experts sit at uneven offsets, with filler in between.
    all.words.resize(all.words.size() + 5, 0xFFFFFFFFu);
    all.scales.resize(all.scales.size() + 3, 0x7F80);
    all.biases.resize(all.biases.size() + 1, 0x7F80);
    w_off.push_back(static_cast<uint32_t>(all.words.size()));
    s_off.push_back(static_cast<uint32_t>(all.scales.size()));
    b_off.push_back(static_cast<uint32_t>(all.biases.size()));
    all.words.insert(all.words.end(), experts[e].words.begin(), experts[e].words.end());
    all.scales.insert(all.scales.end(), experts[e].scales.begin(), experts[e].scales.end());
    all.biases.insert(all.biases.end(), experts[e].biases.begin(), experts[e].biases.end());
    const auto x = random_vector(kCols, 40 + e);
    xs.insert(xs.end(), x.begin(), x.end());
  }
  auto OUT = make_buffer(device, std::vector<float>(kExperts * kRows, kSentinel));
  auto cmd = dispatch("dequant_matvec_4bit_batched",
                      {Arg::buf(make_buffer(device, all.words)), Arg::buf(make_buffer(device, all.scales)),
                       Arg::buf(make_buffer(device, all.biases)), Arg::buf(make_buffer(device, xs)), Arg::buf(OUT),
                       Arg::u32(kRows), Arg::u32(kCols), Arg::u32(64), Arg::buf(make_buffer(device, w_off)),
                       Arg::buf(make_buffer(device, s_off)), Arg::buf(make_buffer(device, b_off)), Arg::u32(kTiles)},
                      kExperts * kTiles);
  ASSERT_EQ(cmd->status(), CommandBufferStatus::Completed) << cmd->error();
  const float* out = static_cast<const float*>(OUT->contents());
  for (uint32_t e = 0; e < kExperts; ++e) {
    const std::vector<float> x(xs.begin() + e * kCols, xs.begin() + (e + 1) * kCols);
    for (uint32_t r = 0; r < kRows; ++r) {
      double magnitude;
      const double exact = exact_row(experts[e], kCols, 4, r, x, magnitude);
      EXPECT_NEAR(out[e * kRows + r], exact, (kCols + 8) * kU * magnitude) << "expert " << e << " row " << r;
    }
  }
}

TEST_F(AlternativeKernelsTest, FusedGateUpSwigluIsSiluOfGateTimesUp) {
  constexpr uint32_t kRows = 12, kCols = 512;
  const Packed gate = packed(kRows, kCols, 4, 50), up = packed(kRows, kCols, 4, 51);
  const auto x = random_vector(kCols, 52);
  auto OUT = make_buffer(device, std::vector<float>(kRows, kSentinel));
  auto cmd = dispatch("fused_gate_up_swiglu",
                      {Arg::buf(make_buffer(device, gate.words)), Arg::buf(make_buffer(device, gate.scales)),
                       Arg::buf(make_buffer(device, gate.biases)), Arg::buf(make_buffer(device, up.words)),
                       Arg::buf(make_buffer(device, up.scales)), Arg::buf(make_buffer(device, up.biases)),
                       Arg::buf(make_buffer(device, x)), Arg::buf(OUT), Arg::u32(kRows), Arg::u32(kCols),
                       Arg::u32(64)},
                      kRows, 64);
  ASSERT_EQ(cmd->status(), CommandBufferStatus::Completed) << cmd->error();
  const float* out = static_cast<const float*>(OUT->contents());
  for (uint32_t r = 0; r < kRows; ++r) {
    double mg, mu;
    const double g = exact_row(gate, kCols, 4, r, x, mg), u = exact_row(up, kCols, 4, r, x, mu);
    const double eg = (kCols + 8) * kU * mg, eu = (kCols + 8) * kU * mu;
    const double silu = g / (1 + std::exp(-g));
    // silu' is below 1.1 everywhere; exp and the division add a few roundings.
    const double tol = 1.1 * eg * (std::fabs(u) + eu) + std::fabs(silu) * eu + 16 * kU * std::fabs(silu * u);
    EXPECT_NEAR(out[r], silu * u, tol) << "row " << r;
  }
}

}  // namespace
}  // namespace varkel::metal::testing
