// Functions of one real variable. None raises: domain violations give NaN or
// an infinity, as IEEE arithmetic and the C library give them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

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

// Where erf_kernel's rational pieces start, in |z| (the first runs from 0).
// Neighbouring pieces meet with small jumps, about 1e-10 of erfc, which a
// caller stepping across them may need to tell from the function's slope.
inline constexpr std::array<double, 13> erf_piece_starts{0.5, 0.75, 1.25, 2.25, 3.5,  5.25, 8.0,
                                                         11.5, 17.0, 24.0, 38.0, 60.0, 85.0};
// erfc underflows to zero from here on; the last piece ends here.
inline constexpr double erfc_zero_from = 110.0;

// The number of piece starts at or below a z in [0, 110). Every start is a
// multiple of 1/4, so z >= a exactly when floor(4z) >= 4a, and one table read
// by floor(4z) gives the count.
inline constexpr auto erf_piece_table = [] {
    std::array<std::uint8_t, static_cast<std::size_t>(4 * erfc_zero_from)> table{};
    for (std::size_t i = 0; i < table.size(); ++i) {
        for (double a : erf_piece_starts) {
            if (static_cast<double>(i) >= 4 * a) ++table[i];
        }
    }
    return table;
}();
static_assert([] {
    for (double a : erf_piece_starts) {
        if (4 * a != static_cast<double>(static_cast<std::size_t>(4 * a))) return false;
    }
    return true;
}());

// The piece that |z| = z falls in: how many starts are at or below it (0 for
// the first piece); NaN and z >= 110 count every start. Inline: searches that
// step across the pieces ask it often.
inline std::size_t erf_piece(double z) noexcept {
    return z >= 0.0 && z < erfc_zero_from ? erf_piece_table[static_cast<std::size_t>(z * 4.0)]
                                          : erf_piece_starts.size();
}

// The kernels behind their special-value rules (NaN, infinities, zeros, the
// ends of the inverse functions' domains).
double erf(double x) noexcept;
// erf() of x[0..n) into out[0..n), bit for bit, faster than one at a time.
void erf_many(std::size_t n, const double* x, double* out) noexcept;
double erfc(double x) noexcept;
double erf_inv(double x) noexcept;
double erfc_inv(double x) noexcept;

}  // namespace quill
