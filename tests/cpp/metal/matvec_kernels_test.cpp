// Mat-vec kernels, bit for bit against a scalar reference that adds in each
// kernel's lane and thread order, on every SIMD target; the reference's sums
// against a decode-then-dot in double precision, tolerance (n + 8) u M per row.

#include <cmath>
#include <random>

#include "common/simd_targets.h"
#include "metal/kernels/activations.h"
#include "metal/kernels/decode_tables.h"
#include "metal_test_support.h"

namespace varkel::metal::testing {
namespace {

using testing_support::for_each_simd_target;

constexpr double kU = 1.0 / 16777216.0;  // 2^-24
constexpr float kSentinel = 12345.0f;

uint16_t bf16_bits(float f) { return static_cast<uint16_t>(std::bit_cast<uint32_t>(f) >> 16); }
float bf16_value(uint16_t h) { return std::bit_cast<float>(static_cast<uint32_t>(h) << 16); }

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

// A column's term, as the kernel adds it to its lane's sum.
enum class Term {
  Fma4,    // 4-bit: fma(code, scale * x, bias * x)
  Plain4,  // 4-bit: (code * scale + bias) * x
  Plain2,  // 2-bit codes, 16 per word: (code * scale + bias) * x
  Bf16,    // widen(w) * x
  Int8,    // w * row scale * x
  Fp4,     // fp4[code] * scale * x
  Fp8,     // fp8[byte] * scale * x
};

// Who adds which columns: Tiled, 32 lanes taking units l, l + 32, ... then
// the SIMD-group sum; Threadgroup, `threads` threads taking units t, t +
// threads, ..., SIMD-group sums, then group 0 adds those; Sequential, one
// thread in column order.
enum class Order { Tiled, Threadgroup, Sequential };

struct KernelInfo {
  const char* name;
  Term term;
  uint32_t unit_cols;  // columns per unit; 0: one scale group
  Order order;
};
const KernelInfo kV3{"dequant_matvec_4bit_v3", Term::Fma4, 8, Order::Tiled};
const KernelInfo kBf16{"matvec_bf16", Term::Bf16, 1, Order::Tiled};
const KernelInfo kInt8{"matvec_int8", Term::Int8, 1, Order::Tiled};
const KernelInfo kFp4{"dequant_matvec_fp4_e2m1", Term::Fp4, 8, Order::Tiled};
const KernelInfo kFp8{"matvec_fp8_e4m3", Term::Fp8, 1, Order::Tiled};
const KernelInfo kPlain{"dequant_matvec_4bit", Term::Plain4, 8, Order::Sequential};
const KernelInfo kFast{"dequant_matvec_4bit_fast", Term::Plain4, 0, Order::Threadgroup};
const KernelInfo kV4{"dequant_matvec_4bit_v4", Term::Plain4, 32, Order::Tiled};
const KernelInfo kV5{"dequant_matvec_4bit_v5", Term::Plain4, 8, Order::Tiled};
const KernelInfo k2Bit{"dequant_matvec_2bit", Term::Plain2, 16, Order::Tiled};
const KernelInfo kBatched{"dequant_matvec_4bit_batched", Term::Fma4, 8, Order::Tiled};
const KernelInfo kSwiglu{"fused_gate_up_swiglu", Term::Plain4, 0, Order::Threadgroup};
const KernelInfo* const kAllKernels[] = {&kV3, &kBf16, &kInt8, &kFp4, &kFp8, &kPlain,
                                         &kFast, &kV4, &kV5, &k2Bit, &kBatched, &kSwiglu};

struct Matrix {
  Term term = Term::Fma4;
  uint32_t rows = 0, cols = 0, group = 64;       // group: columns per scale (and bias)
  std::vector<uint32_t> words;                   // packed codes
  std::vector<uint8_t> bytes;                    // Int8, Fp8
  std::vector<uint16_t> halves, scales, biases;  // Bf16; bf16 per group; affine
  std::vector<float> row_scales;                 // Int8

  uint32_t groups() const { return cols / group; }
  uint32_t bits() const { return term == Term::Plain2 ? 2 : 4; }
  uint32_t code(uint32_t r, uint32_t c) const {
    const uint32_t per_word = 32 / bits();
    return (words[r * (cols / per_word) + c / per_word] >> (bits() * (c % per_word))) & ((1u << bits()) - 1);
  }
  void set_code(uint32_t r, uint32_t c, uint32_t v) {
    const uint32_t per_word = 32 / bits(), shift = bits() * (c % per_word);
    uint32_t& w = words[r * (cols / per_word) + c / per_word];
    w = (w & ~(((1u << bits()) - 1) << shift)) | (v << shift);
  }
  // Stores 1.0 at (r, c), given unit scales and zero biases.
  void set_one(uint32_t r, uint32_t c) {
    switch (term) {
      case Term::Bf16: halves[r * cols + c] = bf16_bits(1.0f); break;
      case Term::Int8: bytes[r * cols + c] = 1; break;
      case Term::Fp8: bytes[r * cols + c] = 0x38; break;
      case Term::Fp4: set_code(r, c, 2); break;
      default: set_code(r, c, 1);
    }
  }
  float scale(uint32_t r, uint32_t c) const { return bf16_value(scales[r * groups() + c / group]); }
  float bias(uint32_t r, uint32_t c) const { return bf16_value(biases[r * groups() + c / group]); }
  bool affine() const { return term == Term::Fma4 || term == Term::Plain4 || term == Term::Plain2; }
  double value(uint32_t r, uint32_t c) const {
    switch (term) {
      case Term::Bf16: return bf16_value(halves[r * cols + c]);
      case Term::Int8: return static_cast<int8_t>(bytes[r * cols + c]) * static_cast<double>(row_scales[r]);
      case Term::Fp4: return fp4_value(code(r, c)) * scale(r, c);
      case Term::Fp8: return fp8_value(bytes[r * cols + c]) * scale(r, c);
      default: return code(r, c) * static_cast<double>(scale(r, c)) + bias(r, c);
    }
  }
  float term_of(uint32_t r, uint32_t c, float x) const {
    const auto code_f = static_cast<float>(affine() || term == Term::Fp4 ? code(r, c) : 0);
    switch (term) {
      case Term::Fma4: return std::fma(code_f, scale(r, c) * x, bias(r, c) * x);
      case Term::Bf16: return bf16_value(halves[r * cols + c]) * x;
      case Term::Int8: return static_cast<float>(static_cast<int8_t>(bytes[r * cols + c])) * row_scales[r] * x;
      case Term::Fp4: return static_cast<float>(fp4_value(code(r, c))) * scale(r, c) * x;
      case Term::Fp8: return fp8_e4m3_lut()[bytes[r * cols + c]] * scale(r, c) * x;
      default: return (code_f * scale(r, c) + bias(r, c)) * x;
    }
  }
};

Matrix zero_matrix(Term t, uint32_t rows, uint32_t cols, uint32_t group) {
  Matrix m;
  m.term = t, m.rows = rows, m.cols = cols, m.group = group;
  const std::size_t n = std::size_t{rows} * cols;
  m.words.assign(n / 8, 0), m.bytes.assign(n, 0), m.halves.assign(n, 0), m.row_scales.assign(rows, 1.0f);
  m.scales.assign(rows * m.groups(), bf16_bits(1.0f)), m.biases.assign(m.scales.size(), 0);
  return m;
}

Matrix random_matrix(Term t, uint32_t rows, uint32_t cols, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> scale(0.002f, 0.05f), bias(-0.4f, 0.1f), half(-0.5f, 0.5f);
  Matrix m = zero_matrix(t, rows, cols, t == Term::Fp8 ? 128 : 64);
  for (auto& w : m.words) w = static_cast<uint32_t>(rng());
  for (auto& b : m.bytes) b = static_cast<uint8_t>(t == Term::Int8 ? rng() % 255 + 129 : rng());  // int8 avoids -128
  for (auto& h : m.halves) h = bf16_bits(half(rng));
  for (auto& s : m.scales) s = bf16_bits(scale(rng));
  for (auto& b : m.biases) b = bf16_bits(bias(rng));
  for (auto& s : m.row_scales) s = scale(rng);
  return m;
}

std::vector<float> random_x(uint32_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> x(n);
  for (auto& v : x) v = dist(rng);
  return x;
}

// A SIMD group's sum of 32 lanes, as a tree of strides: the odd lanes' sum
// added to the even lanes', each of those the same over stride 4, and so on.
float stride_tree(const std::vector<float>& lanes, std::size_t first, std::size_t stride) {
  if (stride == 32) return lanes[first];
  return stride_tree(lanes, first, 2 * stride) + stride_tree(lanes, first + stride, 2 * stride);
}

float reference_row(const KernelInfo& k, const Matrix& m, uint32_t r, const float* x, uint32_t threads) {
  const uint32_t unit = k.unit_cols ? k.unit_cols : m.group;
  const uint32_t lanes = k.order == Order::Tiled ? 32 : k.order == Order::Threadgroup ? threads : 1;
  std::vector<float> sums((lanes + 31) / 32 * 32, 0.0f);
  for (uint32_t c = 0; c < m.cols; ++c) sums[c / unit % lanes] += m.term_of(r, c, x[c]);
  if (k.order == Order::Sequential) return sums[0];
  std::vector<float> groups(32, 0.0f);
  for (std::size_t s = 0; s < sums.size() / 32; ++s) {
    groups[s] = stride_tree(std::vector<float>(sums.begin() + 32 * s, sums.begin() + 32 * (s + 1)), 0, 1);
  }
  return k.order == Order::Tiled ? groups[0] : stride_tree(groups, 0, 1);
}

// A dispatch's operands: `m` (and `up` for the fused kernel) with x; the
// batched kernel takes `experts` blocks of out_dim rows of m and of x.
struct Operands {
  const Matrix& m;
  const std::vector<float>& x;
  uint32_t out_dim;
  uint32_t threads = 64;  // threadgroup kernels
  uint32_t experts = 1;
  const Matrix* up = nullptr;
};

float reference(const KernelInfo& k, const Operands& o, uint32_t i) {
  const uint32_t e = i / o.out_dim;
  const float* x = o.x.data() + std::size_t{e} * o.m.cols;
  const float g = reference_row(k, o.m, i, x, o.threads);
  if (!o.up) return g;
  return silu(g) * reference_row(k, *o.up, i, x, o.threads);
}

class MatvecTest : public MetalTest {
 protected:
  // The kernel's output, out_dim * experts floats and 9 more preset to kSentinel.
  std::vector<float> run(const KernelInfo& k, const Operands& o) {
    const Matrix& m = o.m;
    const uint32_t outputs = o.out_dim * o.experts, capacity = outputs + 9;
    auto OUT = make_buffer(device, std::vector<float>(capacity, kSentinel));
    const Arg x = Arg::buf(make_buffer(device, o.x)), out = Arg::buf(OUT);
    auto buf = [&](const auto& v) { return Arg::buf(make_buffer(device, v)); };
    std::vector<Arg> args;
    if (m.term == Term::Bf16) args = {buf(m.halves), x, out};
    else if (m.term == Term::Int8) args = {buf(m.bytes), buf(m.row_scales), x, out};
    else if (m.term == Term::Fp4) args = {buf(m.words), buf(m.scales), x, out};
    else if (m.term == Term::Fp8) args = {buf(m.bytes), buf(m.scales), x, out};
    else if (o.up) args = {buf(m.words), buf(m.scales), buf(m.biases), buf(o.up->words), buf(o.up->scales),
                           buf(o.up->biases), x, out};
    else args = {buf(m.words), buf(m.scales), buf(m.biases), x, out};
    args.push_back(Arg::u32(o.out_dim));
    args.push_back(Arg::u32(m.cols));
    if (m.term != Term::Bf16 && m.term != Term::Int8) args.push_back(Arg::u32(m.group));
    const uint32_t tiles = (o.out_dim + 7) / 8;
    if (&k == &kBatched) {
      std::vector<uint32_t> w, s, b;
      for (uint32_t e = 0; e < o.experts; ++e) {
        w.push_back(e * o.out_dim * m.cols / 8), s.push_back(e * o.out_dim * m.groups()), b.push_back(s.back());
      }
      args.insert(args.end(), {buf(w), buf(s), buf(b), Arg::u32(tiles)});
    }
    auto cmd = k.order == Order::Threadgroup ? dispatch(k.name, args, o.out_dim, o.threads)
               : k.order == Order::Sequential ? dispatch(k.name, args, o.out_dim)
                                              : dispatch(k.name, args, tiles * o.experts);
    EXPECT_EQ(cmd->status(), CommandBufferStatus::Completed) << cmd->error();
    const float* p = static_cast<const float*>(OUT->contents());
    return std::vector<float>(p, p + capacity);
  }
};

void expect_close(const Matrix& m, const float* x, float got, uint32_t r) {
  double exact = 0, magnitude = 0, table = 0;
  for (uint32_t c = 0; c < m.cols; ++c) {
    exact += m.value(r, c) * x[c];
    magnitude += std::fabs(x[c]) * (m.affine() ? std::fabs(m.code(r, c) * m.scale(r, c)) + std::fabs(m.bias(r, c))
                                               : std::fabs(m.value(r, c)));
    // The FP8 table's 7-decimal values are up to 5.1e-8 off.
    if (m.term == Term::Fp8) table += 5.1e-8 * std::fabs(m.scale(r, c) * x[c]);
  }
  const double tol = (m.cols + 8) * kU * magnitude + table + 1e-30;
  EXPECT_LE(std::fabs(got - exact), tol) << "row " << r << " of " << m.rows << "x" << m.cols << ": got " << got
                                         << ", exact " << exact;
}

TEST_F(MatvecTest, EveryKernelGivesItsReferenceBitsOnEverySimdTarget) {
  const std::pair<uint32_t, uint32_t> shapes[] = {{1, 512}, {20, 4096}, {17, 640}};
  for_each_simd_target([&] {
    uint32_t seed = 1;
    for (const KernelInfo* k : kAllKernels) {
      for (const auto& [rows, cols] : shapes) {
        for (uint32_t threads : {64u, 40u}) {
          if (threads != 64 && k->order != Order::Threadgroup) continue;
          SCOPED_TRACE(std::string(k->name) + " " + std::to_string(rows) + "x" + std::to_string(cols) + ", " +
                       std::to_string(threads) + " threads");
          const uint32_t experts = k == &kBatched ? 3 : 1;
          const Matrix m = random_matrix(k->term, rows * experts, cols, seed++);
          const Matrix up = random_matrix(k->term, rows, cols, seed++);
          const Operands o{m, random_x(cols * experts, seed++), rows, threads, experts, k == &kSwiglu ? &up : nullptr};
          const auto out = run(*k, o);
          for (uint32_t i = 0; i < rows * experts; ++i) {
            ASSERT_EQ(std::bit_cast<uint32_t>(out[i]), std::bit_cast<uint32_t>(reference(*k, o, i)))
                << "row " << i << ": " << out[i] << " versus " << reference(*k, o, i);
            if (!o.up) expect_close(m, o.x.data() + i / rows * cols, out[i], i);
          }
          for (uint32_t i = rows * experts; i < out.size(); ++i) EXPECT_EQ(out[i], kSentinel) << "past out_dim";
        }
      }
    }
  });
}

TEST_F(MatvecTest, EachLaneSumsItsUnitsInOrderOnEveryTarget) {
  // Row i < 4 holds lane kLanes[i]'s units only: 2^24, then ones that each round away in order;
  // adding two ones first (split lane or unit, other unit-to-lane map) leaves >= 2^24 + 2.
  // Row 4 holds every lane's units, so that column order or another grouping of lanes shows.
  constexpr uint32_t kLanes[] = {0, 3, 20, 31};
  constexpr uint32_t kRows = 5;
  constexpr float kBig = 16777216.0f;
  struct Case {
    const KernelInfo& kernel;
    uint32_t cols, group;
  };
  // 80 units (2 blocks of 32 and a tail of 16) and 400 elements (12 blocks, tail 16);
  // the threadgroup kernels' 64 threads take two groups of 8 columns each.
  const Case cases[] = {{kV3, 640, 64},   {kV3, 640, 32},    {kFp4, 640, 64},     {kFp4, 640, 40},
                        {kBf16, 400, 400}, {kInt8, 400, 400}, {kFp8, 400, 16},     {kFp8, 400, 20},
                        {kV4, 2560, 64},  {kV5, 640, 64},    {k2Bit, 1280, 64},   {kBatched, 640, 64},
                        {kFast, 1024, 8}, {kSwiglu, 1024, 8}};
  auto lane_rows = [&](const Case& c, uint32_t experts) {
    Matrix m = zero_matrix(c.kernel.term, kRows * experts, c.cols, c.group);
    std::vector<float> x(c.cols, 1.0f);
    const uint32_t unit = c.kernel.unit_cols ? c.kernel.unit_cols : c.group;
    const uint32_t lanes = c.kernel.order == Order::Tiled ? 32 : 64;
    for (uint32_t r = 0; r < m.rows; ++r) {
      for (uint32_t col = 0; col < c.cols; ++col) {
        if (r % kRows == 4 || col / unit % lanes == kLanes[r % kRows]) m.set_one(r, col);
      }
    }
    for (uint32_t lane : kLanes) x[lane * unit] = kBig;  // the lane's first term
    x.resize(c.cols * experts);
    for (uint32_t i = c.cols; i < x.size(); ++i) x[i] = x[i % c.cols];
    return std::pair{m, x};
  };

  for_each_simd_target([&] {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.kernel.name) + " group " + std::to_string(c.group));
      const uint32_t experts = &c.kernel == &kBatched ? 2 : 1;
      const auto [m, x] = lane_rows(c, experts);
      const Operands o{m, x, kRows, 64, experts, &c.kernel == &kSwiglu ? &m : nullptr};
      const auto out = run(c.kernel, o);
      for (uint32_t i = 0; i < kRows * experts; ++i) {
        if (i % kRows == 4) {
          EXPECT_EQ(out[i], reference(c.kernel, o, i)) << "all lanes";
        } else {
          EXPECT_EQ(out[i], o.up ? kBig * kBig : kBig) << "lane " << kLanes[i % kRows];
        }
      }
    }
  });
}

// Independent mat-vecs of one command buffer are cut into row ranges that
// share parallel runs, and dispatches over the same x may share its re-laid
// copy: each must still give exactly the bits it gives alone. The table mixes
// formats, one x bound whole and at an offset, equal and different constants
// over the same x, and a dispatch that reads another's output.
TEST_F(MatvecTest, DispatchesSharingARunGiveTheirOwnBits) {
  struct Case {
    const KernelInfo& kernel;
    uint32_t rows, cols;
    uint32_t x_offset;        // floats into the shared x
    bool reads_first = false;  // x is dispatch 0's output instead (300 rows, then zeros)
  };
  const Case cases[] = {
      {kV3, 300, 2048, 0},  {kV3, 300, 2048, 0},    // same constants, same x: one preparation
      {kV3, 128, 2048, 0},  {kV3, 520, 1024, 0},    // same x, other constants
      {kV3, 520, 1024, 1024},                       // the same constants, x at an offset
      {kBf16, 96, 2048, 0}, {kInt8, 160, 2048, 0}, {kFp4, 64, 2048, 0},
      {kV3, 24, 2048, 0, true},
  };
  const std::vector<float> x = random_x(2048, 7);
  auto X = make_buffer(device, x);
  auto cmd = queue->command_buffer();
  auto enc = cmd->compute_command_encoder();
  std::vector<Matrix> matrices;
  std::vector<BufferPtr> outs;
  for (uint32_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    matrices.push_back(random_matrix(c.kernel.term, c.rows, c.cols, 100 + i));
    const Matrix& m = matrices.back();
    outs.push_back(make_buffer(device, std::vector<float>(2048, 0.0f)));
    auto f = library->new_function(c.kernel.name);
    auto p = device->new_compute_pipeline_state(*f);
    ASSERT_TRUE(p.has_value());
    enc->set_compute_pipeline_state(*p);
    auto bind = [&](uint32_t index, const auto& v) { enc->set_buffer(make_buffer(device, v), 0, index); };
    uint32_t next = 0;
    if (m.term == Term::Bf16) bind(next++, m.halves);
    else if (m.term == Term::Int8) bind(next++, m.bytes), bind(next++, m.row_scales);
    else if (m.term == Term::Fp4) bind(next++, m.words), bind(next++, m.scales);
    else bind(next++, m.words), bind(next++, m.scales), bind(next++, m.biases);
    enc->set_buffer(c.reads_first ? outs[0] : X, c.x_offset * sizeof(float), next++);
    enc->set_buffer(outs.back(), 0, next++);
    std::vector<uint32_t> constants = {c.rows, c.cols};
    if (m.term != Term::Bf16 && m.term != Term::Int8) constants.push_back(m.group);
    for (const uint32_t& v : constants) enc->set_bytes(&v, 4, next++);
    enc->dispatch_threadgroups(Size{(c.rows + 7) / 8, 1, 1}, Size{256, 1, 1});
  }
  enc->end_encoding();
  cmd->commit();
  ASSERT_EQ(cmd->status(), CommandBufferStatus::Completed) << cmd->error();
  for (uint32_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE("dispatch " + std::to_string(i) + " " + c.kernel.name);
    const float* source = c.reads_first ? static_cast<const float*>(outs[0]->contents()) : x.data();
    const std::vector<float> xi(source + c.x_offset, source + c.x_offset + c.cols);
    const Operands o{matrices[i], xi, c.rows};
    const float* got = static_cast<const float*>(outs[i]->contents());
    for (uint32_t r = 0; r < c.rows; ++r) {
      ASSERT_EQ(std::bit_cast<uint32_t>(got[r]), std::bit_cast<uint32_t>(reference(c.kernel, o, r))) << "row " << r;
    }
  }
}

}  // namespace
}  // namespace varkel::metal::testing
