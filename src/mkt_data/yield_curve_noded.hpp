// A curve of discount factors at node dates, interpolated over year fractions
// from the curve date and extrapolated by the interpolator's Auto rule.
#pragma once

#include <vector>

#include "enums/interp_type.hpp"
#include "maths/interpolator.hpp"
#include "mkt_data/yield_curve.hpp"

namespace quill {

class NodedCurve final : public CurveModel {
public:
    // Validates sizes, first node, first discount factor and order (Error, in
    // that order), then measures the nodes (Thirty360 fails) and builds the
    // interpolator.
    NodedCurve(const Date& curve_date, DayCounter dc, std::vector<Date> node_dates,
               std::vector<double> discount_factors, InterpType interp_type);

    const Date& curve_date() const noexcept override { return curve_date_; }
    DayCounter day_counter() const noexcept override { return dc_; }
    double df(const Date& date) const override;

private:
    std::vector<Date> node_dates_;
    std::vector<double> discount_factors_;
    Interpolator interpolator_;
    Date curve_date_;
    DayCounter dc_;
};

}  // namespace quill
