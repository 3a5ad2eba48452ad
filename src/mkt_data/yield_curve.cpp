#include "mkt_data/yield_curve.hpp"

#include <cmath>

namespace quill {

double CurveModel::fwd_df(const Date& start, const Date& end) const {
    (void)basis();
    return df(end) / df(start);
}

double CurveModel::overnight_rate(const Date& date) const {
    const Date next = Date::from_serial(static_cast<std::int64_t>(date.serial()) + 1);
    const double b = basis();
    const std::int32_t days = next.serial() - date.serial();
    return (df(date) / df(next) - 1.0) / (static_cast<double>(days) / b);
}

double CurveModel::fwd_rate(const Date& start, const Date& end) const {
    const double b = basis();
    const std::int32_t days = end.serial() - start.serial();
    return (df(start) / df(end) - 1.0) / (static_cast<double>(days) / b);
}

double FlatCurve::df(const Date& date) const { return std::exp(time_to(date) * (-flat_rate_)); }

}  // namespace quill
