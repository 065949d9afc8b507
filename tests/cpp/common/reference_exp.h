#pragma once
// Correctly rounded float e^x, ln x, sin, cos and x^y, as references for the
// math_util functions and their callers.

#include <cmath>

namespace varkel::testing_support {

// x87 long double results rounded once to float: equal to the correctly
// rounded values on every float input checked (the exhaustive math_util tests
// check that the two agree, and evaluations to 120 digits or more confirmed
// the e^x, sin and cos inputs nearest a rounding boundary; quad precision ln
// rounded to float agrees with ln on every positive finite float).
inline float correctly_rounded_exp(float x) { return static_cast<float>(std::exp(static_cast<long double>(x))); }
inline float correctly_rounded_log(float x) { return static_cast<float>(std::log(static_cast<long double>(x))); }
inline float correctly_rounded_sin(float x) { return static_cast<float>(std::sin(static_cast<long double>(x))); }
inline float correctly_rounded_cos(float x) { return static_cast<float>(std::cos(static_cast<long double>(x))); }
inline float correctly_rounded_pow(float x, float y) {
  return static_cast<float>(std::pow(static_cast<long double>(x), static_cast<long double>(y)));
}

}  // namespace varkel::testing_support
