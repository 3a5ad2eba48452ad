#include "mkt_data/yield_curve_noded.hpp"

#include <string>

#include "enums/extrap_type.hpp"
#include "core/errors.hpp"
#include "core/float_text.hpp"

namespace quill {
namespace {

// Runs the checks before anything is measured, so their messages win over the
// day counter's failure.
const std::vector<Date>& validated(const Date& curve_date, const std::vector<Date>& dates,
                                   const std::vector<double>& dfs) {
    if (dates.size() != dfs.size() || dates.size() < 2) {
        throw Error("Node dates (" + std::to_string(dates.size()) + ") and discount factors (" +
                    std::to_string(dfs.size()) + ") must have the same size & must have at least size 2");
    }
    if (dates.front().serial() != curve_date.serial()) {
        throw Error("First node date (" + dates.front().to_string() + ") must be equal to the curve date (" +
                    curve_date.to_string() + ")");
    }
    if (!(dfs.front() == 1.0)) {
        throw Error("First discount factor (" + float_text(dfs.front()) + ") must be equal to 1.0");
    }
    for (std::size_t i = 1; i < dates.size(); ++i) {
        if (!(dates[i].serial() > dates[i - 1].serial())) {
            throw Error("Node dates must be sorted in ascending order and be unique");
        }
    }
    return dates;
}

std::vector<double> node_times(DayCounter dc, const Date& curve_date, const std::vector<Date>& dates) {
    std::vector<double> times;
    times.reserve(dates.size());
    for (const Date& d : dates) times.push_back(year_fraction(dc, curve_date, d));
    return times;
}

}  // namespace

NodedCurve::NodedCurve(const Date& curve_date, DayCounter dc, std::vector<Date> node_dates,
                       std::vector<double> discount_factors, InterpType interp_type)
    : node_dates_(std::move(node_dates)),
      discount_factors_(std::move(discount_factors)),
      interpolator_(node_times(dc, curve_date, validated(curve_date, node_dates_, discount_factors_)),
                    discount_factors_, interp_type, ExtrapType::Auto),
      curve_date_(curve_date),
      dc_(dc) {}

double NodedCurve::df(const Date& date) const { return interpolator_.interpolate(time_to(date)); }

}  // namespace quill
