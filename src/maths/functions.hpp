// Functions of one real variable. None raises: domain violations give NaN or
// an infinity, as IEEE arithmetic and the C library give them.
#pragma once

namespace quill {

double exp(double x) noexcept;
double ln(double x) noexcept;
double log10(double x) noexcept;
double log2(double x) noexcept;
double pow2(double x) noexcept;  // x * x
double sqrt(double x) noexcept;
double sin(double x) noexcept;
double cos(double x) noexcept;
double tan(double x) noexcept;

// Piecewise rational approximations of erf / erfc (z finite) and of the
// inverse error function (p the magnitude, q = 1 - p as the caller computed
// it, s the sign of the result).
double erf_kernel(double z, bool complement) noexcept;
double erf_inv_kernel(double p, double q, double s) noexcept;

// The kernels behind their special-value rules (NaN, infinities, zeros, the
// ends of the inverse functions' domains).
double erf(double x) noexcept;
double erfc(double x) noexcept;
double erf_inv(double x) noexcept;
double erfc_inv(double x) noexcept;

}  // namespace quill
