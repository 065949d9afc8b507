#pragma once
// Decode table of the E4M3 byte codes: 1 sign, 4 exponent, 3 mantissa bits,
// bias 7, with a saturating top binade (exponent 15 is 240 whatever the
// mantissa) and no NaN. Entries 0x00..0x77 rise strictly.

#include <array>

namespace varkel {

using Fp8E4m3Lut = std::array<float, 256>;

// Built on first use, once per process even when threads race for it; never freed.
const Fp8E4m3Lut& fp8_e4m3_lut();

namespace detail {
// How many times the table has been built (0 or 1).
int fp8_e4m3_lut_builds();
}  // namespace detail

}  // namespace varkel
