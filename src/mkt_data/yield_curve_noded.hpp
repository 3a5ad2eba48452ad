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

    const std::vector<Date>& node_dates() const noexcept { return node_dates_; }
    const std::vector<double>& discount_factors() const noexcept { return discount_factors_; }
    // The nodes' year fractions from the curve date, as the interpolator holds them.
    const std::vector<double>& node_year_fractions() const noexcept { return interpolator_.nodes_x(); }
    InterpType interp_type() const noexcept { return interpolator_.interp_type(); }

private:
    std::vector<Date> node_dates_;
    std::vector<double> discount_factors_;
    Interpolator interpolator_;
    Date curve_date_;
    DayCounter dc_;
};

}  // namespace quill
