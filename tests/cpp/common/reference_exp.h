#pragma once
// The correctly rounded float e^x, as a reference for exp_f32 and its callers.

#include <cmath>

namespace varkel::testing_support {

// x87 long double e^x rounded once to float: equal to the correctly rounded
// value on every float input (the exhaustive exp_f32 test checks that the two
// agree, and a 120-digit evaluation confirmed the inputs nearest a rounding
// boundary).
inline float correctly_rounded_exp(float x) { return static_cast<float>(std::exp(static_cast<long double>(x))); }

}  // namespace varkel::testing_support
