// A curve as plain data: what makes a YieldCurve (its date, day counter, and
// its rate or its nodes, factors and interpolation), to be copied, compared,
// stored and sent where a YieldCurve cannot go, and made into the very same
// curve again: the same inputs give the same node times and so the same
// discount factor, bit for bit, at every date.
#pragma once

#include <cstdint>
#include <vector>

#include "datetime/day_counter.hpp"
#include "enums/interp_type.hpp"
#include "mkt_data/yield_curve.hpp"

namespace quill {

struct CurveDescription {
    bool noded = false;
    std::int32_t curve_date = 0;  // serial
    DayCounter day_counter = DayCounter::Act365;
    double flat_rate = 0.0;                // a flat curve's
    std::vector<std::int32_t> node_dates;  // a noded curve's (serials), the curve date first
    std::vector<double> discount_factors;
    InterpType interp_type = InterpType::Geometric;

    static CurveDescription of(const YieldCurve& curve);
    // Validates as YieldCurve's constructors do (Error on the first failure).
    YieldCurve curve() const;

    // Field by field; the factors and the rate by their bits.
    bool operator==(const CurveDescription& o) const noexcept;
    std::size_t hash() const noexcept;
};

}  // namespace quill
