// Placeholder kernels; the rational approximations replace these.
#include "maths/functions.hpp"
#include <cmath>
namespace quill {
double erf_kernel(double z, bool complement) noexcept { return complement ? std::erfc(z) : std::erf(z); }
double erf_inv_kernel(double p, double, double s) noexcept { return std::nan("") * p * s; }
}
