// The volatility implied by a Black-Scholes price: the inverse, in `vol`, of
// black_scholes::npv.
#pragma once

#include <cstddef>

#include "enums/put_call_flag.hpp"

namespace quill::black_scholes {

// The vol >= 0 at which npv(spot, strike, rate, div_yield, tau, pc_flag, vol)
// gives `price`, to within a few units of the last place of the option's
// scale (spot e^(-q tau) + strike e^(-r tau)). A price at the discounted
// intrinsic value gives 0. NaN when there is no such vol: a price below that
// value or above the no-arbitrage bound (spot e^(-q tau) for a call, strike
// e^(-r tau) for a put), a negative price, spot or strike, tau <= 0, a price
// that a zero spot or strike leaves no room for, and any NaN or infinite input.
// The work is bounded: it never loops for long and never fails.
double implied_vol(double price, double spot, double strike, double rate, double div_yield, double tau,
                   PutCallFlag pc_flag) noexcept;

// implied_vol() of n options from contiguous inputs, into out[0..n): every
// element bit for bit implied_vol()'s. Faster than one option at a time.
void implied_vol_many(std::size_t n, const double* price, const double* spot, const double* strike,
                      const double* rate, const double* div_yield, const double* tau, const PutCallFlag* pc_flag,
                      double* out) noexcept;

}  // namespace quill::black_scholes
