#include "maths/functions.hpp"

#include <cmath>

namespace quill {

double exp(double x) noexcept { return std::exp(x); }
double ln(double x) noexcept { return std::log(x); }
double log10(double x) noexcept { return std::log10(x); }
double log2(double x) noexcept { return std::log2(x); }
double pow2(double x) noexcept { return x * x; }
double sqrt(double x) noexcept { return std::sqrt(x); }
double sin(double x) noexcept { return std::sin(x); }
double cos(double x) noexcept { return std::cos(x); }
double tan(double x) noexcept { return std::tan(x); }

double erf(double x) noexcept {
    if (std::isnan(x)) return x;
    if (std::isinf(x)) return x > 0 ? 1.0 : -1.0;
    if (x == 0.0) return 0.0;
    return erf_kernel(x, false);
}

double erfc(double x) noexcept {
    if (std::isnan(x)) return x;
    if (std::isinf(x)) return x > 0 ? 0.0 : 2.0;
    return erf_kernel(x, true);
}

double erf_inv(double x) noexcept {
    if (x == 0.0) return 0.0;
    if (x >= 1.0) return HUGE_VAL;
    if (x <= -1.0) return -HUGE_VAL;
    if (x < 0.0) return erf_inv_kernel(-x, x + 1.0, -1.0);
    return erf_inv_kernel(x, 1.0 - x, 1.0);
}

double erfc_inv(double x) noexcept {
    if (x <= 0.0) return HUGE_VAL;
    if (x >= 2.0) return -HUGE_VAL;
    if (x > 1.0) return erf_inv_kernel(x - 1.0, 2.0 - x, -1.0);
    return erf_inv_kernel(1.0 - x, x, 1.0);
}

}  // namespace quill
