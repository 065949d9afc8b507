// Mat-vec kernels against a decode-then-dot in double precision; tolerance (n + 8) u M per row.

#include <cmath>
#include <random>

#include "hwy/targets.h"
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
constexpr Format kFormats[] = {Format::Affine4, Format::Bf16, Format::Int8, Format::Fp4, Format::Fp8};
const char* kernel_of(Format f) {
  static const char* const names[] = {"dequant_matvec_4bit_v3", "matvec_bf16", "matvec_int8",
                                      "dequant_matvec_fp4_e2m1", "matvec_fp8_e4m3"};
  return names[static_cast<int>(f)];
}

struct Matrix {
  Format format;
  uint32_t rows = 0, cols = 0, group = 64;       // group: columns per scale (and bias)
  std::vector<uint32_t> words;                   // Affine4, Fp4
  std::vector<uint8_t> bytes;                    // Int8, Fp8
  std::vector<uint16_t> halves, scales, biases;  // Bf16; bf16 per group; Affine4
  std::vector<float> row_scales;                 // Int8

  uint32_t groups() const { return cols / group; }
  uint32_t code(uint32_t r, uint32_t c) const { return (words[r * (cols / 8) + c / 8] >> (4 * (c % 8))) & 0xF; }
  void set_code(uint32_t r, uint32_t c, uint32_t v) {
    uint32_t& w = words[r * (cols / 8) + c / 8];
    w = (w & ~(0xFu << (4 * (c % 8)))) | (v << (4 * (c % 8)));
  }
  double scale(uint32_t r, uint32_t c) const { return bf16_value(scales[r * groups() + c / group]); }
  double bias(uint32_t r, uint32_t c) const { return bf16_value(biases[r * groups() + c / group]); }
  double value(uint32_t r, uint32_t c) const {
    switch (format) {
      case Format::Affine4: return code(r, c) * scale(r, c) + bias(r, c);
      case Format::Bf16: return bf16_value(halves[r * cols + c]);
      case Format::Int8: return static_cast<int8_t>(bytes[r * cols + c]) * static_cast<double>(row_scales[r]);
      case Format::Fp4: return fp4_value(code(r, c)) * scale(r, c);
      case Format::Fp8: return fp8_value(bytes[r * cols + c]) * scale(r, c);
    }
    return 0;
  }
};

Matrix random_matrix(Format f, uint32_t rows, uint32_t cols, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> scale(0.002f, 0.05f), bias(-0.4f, 0.1f), half(-0.5f, 0.5f);
  Matrix m;
  m.format = f, m.rows = rows, m.cols = cols, m.group = f == Format::Fp8 ? 128 : 64;
  const std::size_t n = std::size_t{rows} * cols, g = std::size_t{rows} * m.groups();
  for (std::size_t i = 0; i < n; ++i) {
    if (i % 8 == 0) m.words.push_back(static_cast<uint32_t>(rng()));
    m.bytes.push_back(static_cast<uint8_t>(f == Format::Int8 ? rng() % 255 + 129 : rng()));  // int8 avoids -128
    m.halves.push_back(bf16_bits(half(rng)));
  }
  for (std::size_t i = 0; i < g; ++i) m.scales.push_back(bf16_bits(scale(rng))), m.biases.push_back(bf16_bits(bias(rng)));
  for (uint32_t r = 0; r < rows; ++r) m.row_scales.push_back(scale(rng));
  return m;
}

class MatvecTest : public MetalTest {
 protected:
  // ceil(out_dim / 8) threadgroups into `out_capacity` floats preset to kSentinel.
  std::vector<float> run(const Matrix& m, const std::vector<float>& x, uint32_t out_dim, uint32_t out_capacity = 0) {
    out_capacity = std::max(out_capacity, out_dim);
    auto OUT = make_buffer(device, std::vector<float>(out_capacity, kSentinel));
    const Arg X = Arg::buf(make_buffer(device, x)), out = Arg::buf(OUT);
    auto buf = [&](const auto& v) { return Arg::buf(make_buffer(device, v)); };
    std::vector<Arg> args;
    switch (m.format) {
      case Format::Affine4: args = {buf(m.words), buf(m.scales), buf(m.biases), X, out}; break;
      case Format::Bf16: args = {buf(m.halves), X, out}; break;
      case Format::Int8: args = {buf(m.bytes), buf(m.row_scales), X, out}; break;
      case Format::Fp4: args = {buf(m.words), buf(m.scales), X, out}; break;
      case Format::Fp8: args = {buf(m.bytes), buf(m.scales), X, out}; break;
    }
    args.push_back(Arg::u32(out_dim));
    args.push_back(Arg::u32(m.cols));
    if (m.format != Format::Bf16 && m.format != Format::Int8) args.push_back(Arg::u32(m.group));
    auto cmd = dispatch(kernel_of(m.format), args, (out_dim + 7) / 8);
    EXPECT_EQ(cmd->status(), CommandBufferStatus::Completed) << cmd->error();
    const float* o = static_cast<const float*>(OUT->contents());
    return std::vector<float>(o, o + out_capacity);
  }
};

void expect_close(const Matrix& m, const std::vector<float>& x, const std::vector<float>& got, uint32_t rows) {
  int reported = 0;
  for (uint32_t r = 0; r < rows; ++r) {
    double exact = 0, magnitude = 0, table = 0;
    for (uint32_t c = 0; c < m.cols; ++c) {
      exact += m.value(r, c) * x[c];
      magnitude += std::fabs(x[c]) * (m.format == Format::Affine4
                                           ? std::fabs(m.code(r, c) * m.scale(r, c)) + std::fabs(m.bias(r, c))
                                           : std::fabs(m.value(r, c)));
      // The FP8 table's 7-decimal values are up to 5.1e-8 off.
      if (m.format == Format::Fp8) table += 5.1e-8 * std::fabs(m.scale(r, c) * x[c]);
    }
    const double tol = (m.cols + 8) * kU * magnitude + table + 1e-30;
    if (std::fabs(got[r] - exact) > tol && reported++ < 5) {
      ADD_FAILURE() << kernel_of(m.format) << " row " << r << " of " << m.rows << "x" << m.cols << ": got "
                    << got[r] << ", exact " << exact << ", tolerance " << tol;
    }
  }
}

// Runs `body` once on each compiled SIMD target this machine supports.
template <class Body>
void for_each_simd_target(Body&& body) {
  struct RestoreTargets {
    ~RestoreTargets() { hwy::SetSupportedTargetsForTest(0); }
  } restore;
  for (int64_t target : hwy::SupportedAndGeneratedTargets()) {
    hwy::SetSupportedTargetsForTest(target);
    SCOPED_TRACE(hwy::TargetName(target));
    body();
  }
}

TEST_F(MatvecTest, EveryFormatMatchesExactDecodeOnEverySimdTarget) {
  const std::pair<uint32_t, uint32_t> shapes[] = {{1, 512}, {20, 4096}, {17, 640}};
  for_each_simd_target([&] {
    uint32_t seed = 1;
    for (Format f : kFormats) {
      for (const auto& [rows, cols] : shapes) {
        SCOPED_TRACE(std::string(kernel_of(f)) + " " + std::to_string(rows) + "x" + std::to_string(cols));
        const Matrix m = random_matrix(f, rows, cols, seed++);
        std::mt19937 rng(seed++);
        std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
        std::vector<float> x(cols);
        for (auto& v : x) v = dist(rng);
        const auto out = run(m, x, rows, rows + 9);
        expect_close(m, x, out, rows);
        for (uint32_t r = rows; r < rows + 9; ++r) EXPECT_EQ(out[r], kSentinel) << "row " << r << " past out_dim";
      }
    }
  });
}

TEST_F(MatvecTest, EachLaneSumsItsUnitsInOrderOnEveryTarget) {
  // Row i holds lane kLanes[i]'s terms only: 2^24, then ones that each round away in order;
  // adding two ones first (split lane or word, other unit-to-lane map) leaves >= 2^24 + 2.
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
    m.format = c.format, m.rows = kRows, m.cols = c.cols, m.group = c.group ? c.group : c.cols;
    const std::size_t n = std::size_t{kRows} * c.cols;
    m.words.assign(n / 8, 0), m.bytes.assign(n, 0), m.halves.assign(n, 0), m.row_scales.assign(kRows, 1.0f);
    m.scales.assign(kRows * m.groups(), bf16_bits(1.0f)), m.biases.assign(m.scales.size(), 0);
    std::vector<float> x(c.cols, 1.0f);
    const uint32_t per_unit = (c.format == Format::Affine4 || c.format == Format::Fp4) ? 8 : 1;
    for (uint32_t r = 0; r < kRows; ++r) {
      for (uint32_t unit = kLanes[r]; unit < c.cols / per_unit; unit += 32) {
        for (uint32_t col = unit * per_unit; col < (unit + 1) * per_unit; ++col) {
          if (per_unit == 8) {
            m.set_code(r, col, c.format == Format::Affine4 ? 1 : 2);  // 1.0
          } else if (c.format == Format::Bf16) {
            m.halves[r * c.cols + col] = bf16_bits(1.0f);
          } else {
            m.bytes[r * c.cols + col] = c.format == Format::Int8 ? 1 : 0x38;  // 1.0
          }
        }
      }
      x[kLanes[r] * per_unit] = kBig;  // the lane's first term
    }
    return std::pair{m, x};
  };
  // fma(3, x, round(-3x)) with x = 1 + 2^-23 is exactly -2^-23; rounding 3x first gives 0.
  Matrix fused;
  fused.format = Format::Affine4, fused.rows = 1, fused.cols = 256;
  fused.words.assign(32, 0), fused.scales.assign(4, bf16_bits(1.0f)), fused.biases.assign(4, bf16_bits(-3.0f));
  fused.set_code(0, 9, 3);
  std::vector<float> fused_x(256, 0.0f);
  fused_x[9] = 1.0f + std::ldexp(1.0f, -23);

  for_each_simd_target([&] {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(kernel_of(c.format)) + " group " + std::to_string(c.group));
      const auto [m, x] = lane_rows(c);
      const auto out = run(m, x, kRows);
      for (uint32_t r = 0; r < kRows; ++r) EXPECT_EQ(out[r], kBig) << "lane " << kLanes[r];
    }
    EXPECT_EQ(run(fused, fused_x, 1)[0], -std::ldexp(1.0f, -23));
  });
}

}  // namespace
}  // namespace varkel::metal::testing
