#include "mkt_data/curve_description.hpp"

#include <bit>
#include <memory>

#include "core/errors.hpp"
#include "mkt_data/yield_curve_noded.hpp"

namespace quill {

CurveDescription CurveDescription::of(const YieldCurve& curve) {
    CurveDescription d;
    const CurveModel& model = curve.model();
    d.curve_date = model.curve_date().serial();
    d.day_counter = model.day_counter();
    if (const auto* flat = dynamic_cast<const FlatCurve*>(&model)) {
        d.flat_rate = flat->flat_rate();
        return d;
    }
    const auto* nodes = dynamic_cast<const NodedCurve*>(&model);
    if (nodes == nullptr) fail("Unknown kind of curve");
    d.noded = true;
    d.node_dates.reserve(nodes->node_dates().size());
    for (const Date& n : nodes->node_dates()) d.node_dates.push_back(n.serial());
    d.discount_factors = nodes->discount_factors();
    d.interp_type = nodes->interp_type();
    return d;
}

YieldCurve CurveDescription::curve() const {
    const Date date = Date::from_serial(curve_date);
    if (!noded) return YieldCurve(std::make_unique<FlatCurve>(date, flat_rate, day_counter));
    std::vector<Date> dates;
    dates.reserve(node_dates.size());
    for (const std::int32_t s : node_dates) dates.push_back(Date::from_serial(s));
    return YieldCurve(std::make_unique<NodedCurve>(date, day_counter, std::move(dates), discount_factors, interp_type));
}

bool CurveDescription::operator==(const CurveDescription& o) const noexcept {
    if (noded != o.noded || curve_date != o.curve_date || day_counter != o.day_counter) return false;
    if (!noded) return std::bit_cast<std::uint64_t>(flat_rate) == std::bit_cast<std::uint64_t>(o.flat_rate);
    if (interp_type != o.interp_type || node_dates != o.node_dates || discount_factors.size() != o.discount_factors.size()) {
        return false;
    }
    for (std::size_t i = 0; i < discount_factors.size(); ++i) {
        if (std::bit_cast<std::uint64_t>(discount_factors[i]) != std::bit_cast<std::uint64_t>(o.discount_factors[i])) {
            return false;
        }
    }
    return true;
}

std::size_t CurveDescription::hash() const noexcept {
    std::uint64_t h = 1469598103934665603ull;
    const auto mix = [&](std::uint64_t v) { h = (h ^ v) * 1099511628211ull; };
    mix(noded);
    mix(static_cast<std::uint32_t>(curve_date));
    mix(static_cast<std::uint64_t>(day_counter));
    if (!noded) {
        mix(std::bit_cast<std::uint64_t>(flat_rate));
    } else {
        mix(static_cast<std::uint64_t>(interp_type));
        for (const std::int32_t d : node_dates) mix(static_cast<std::uint32_t>(d));
        for (const double f : discount_factors) mix(std::bit_cast<std::uint64_t>(f));
    }
    return static_cast<std::size_t>(h);
}

}  // namespace quill
