#pragma once
// Unevaluated sums hi + lo of two doubles (about 106 significant bits) from
// IEEE double additions and multiplications only: no FMA, so the same bits on
// every machine. Used where a float result must be correctly rounded.

#include <bit>
#include <cstdint>

namespace varkel {

struct DoubleDouble {
  double hi, lo;
};

namespace double_double {

// a + b exactly, for |a| >= |b| (or a == 0).
inline DoubleDouble fast_two_sum(double a, double b) {
  const double s = a + b;
  return {s, b - (s - a)};
}

// a + b exactly, any order.
inline DoubleDouble two_sum(double a, double b) {
  const double s = a + b;
  const double bb = s - a;
  return {s, (a - (s - bb)) + (b - bb)};
}

// a × b exactly (Dekker's splitting; magnitudes here stay far from overflow).
inline DoubleDouble two_prod(double a, double b) {
  constexpr double kSplit = 134217729.0;  // 2^27 + 1
  const double ca = kSplit * a, cb = kSplit * b;
  const double ah = ca - (ca - a), al = a - ah;
  const double bh = cb - (cb - b), bl = b - bh;
  const double p = a * b;
  return {p, ((ah * bh - p) + ah * bl + al * bh) + al * bl};
}

inline DoubleDouble add(DoubleDouble x, DoubleDouble y) {
  DoubleDouble s = two_sum(x.hi, y.hi);
  const DoubleDouble t = two_sum(x.lo, y.lo);
  s = fast_two_sum(s.hi, s.lo + t.hi);
  return fast_two_sum(s.hi, s.lo + t.lo);
}

inline DoubleDouble mul(DoubleDouble x, DoubleDouble y) {
  const DoubleDouble p = two_prod(x.hi, y.hi);
  return fast_two_sum(p.hi, p.lo + (x.hi * y.lo + x.lo * y.hi));
}

inline DoubleDouble mul(DoubleDouble x, double y) { return mul(x, DoubleDouble{y, 0.0}); }

// Halfway between hi rounded to float and the next float on hi's side of it
// (hi itself when it is a float).
inline double nearest_float_midpoint(double hi) {
  const float f = static_cast<float>(hi);
  if (static_cast<double>(f) == hi) return hi;
  const uint32_t f_bits = std::bit_cast<uint32_t>(f);
  const bool hi_beyond_f = (hi > 0.0) == (hi > static_cast<double>(f));  // one step up or down in magnitude
  const float g = std::bit_cast<float>(hi_beyond_f ? f_bits + 1 : f_bits - 1);
  return (static_cast<double>(f) + static_cast<double>(g)) * 0.5;
}

// hi + lo rounded once to float, for sums normalised by the operations above
// and below float's overflow threshold. hi is the sum rounded to double, so
// rounding hi to float can only go wrong when hi sits exactly halfway between
// two floats: then lo decides the side.
inline float round_to_float(DoubleDouble x) {
  if (x.lo == 0.0 || x.hi != nearest_float_midpoint(x.hi)) return static_cast<float>(x.hi);
  const uint64_t bits = std::bit_cast<uint64_t>(x.hi);  // one double ulp off the tie, towards lo
  return static_cast<float>(std::bit_cast<double>((x.lo > 0.0) == (x.hi > 0.0) ? bits + 1 : bits - 1));
}

}  // namespace double_double
}  // namespace varkel
