// exp(x) for the small arguments of an update: a factor near one whose
// exponential a short series gives to the last digit, the library's exp
// otherwise. Where |x| <= 2^-10 the series' first omitted term, x^6 / 720, is
// below 2^-69, and where |x| <= 2^-4 the longer series' x^10 / 10! is below
// 2^-61: both far under half an ulp of the result.
#pragma once

#include <cmath>

namespace quill {

// std::exp, out of the callers' loops: they call it rarely, and a call inline
// makes them keep their sums in memory.
[[gnu::noinline, gnu::cold]] inline double far_exp(double x) noexcept { return std::exp(x); }

inline double small_exp(double x) noexcept {
    if (std::abs(x) <= 0x1p-10) [[likely]] {
        return 1.0 + x * (1.0 + x * (0.5 + x * (1.0 / 6 + x * (1.0 / 24 + x * (1.0 / 120)))));
    }
    return far_exp(x);
}

inline double near_exp(double x) noexcept {
    if (std::abs(x) <= 0x1p-10) return 1.0 + x * (1.0 + x * (0.5 + x * (1.0 / 6 + x * (1.0 / 24 + x * (1.0 / 120)))));
    if (std::abs(x) <= 0x1p-4) {
        return 1.0 + x * (1.0 + x * (0.5 + x * (1.0 / 6 + x * (1.0 / 24 + x * (1.0 / 120 + x * (1.0 / 720 +
                     x * (1.0 / 5040 + x * (1.0 / 40320 + x * (1.0 / 362880)))))))));
    }
    return std::exp(x);
}

}  // namespace quill
