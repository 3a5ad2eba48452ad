#include "maths/interpolator.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "core/errors.hpp"

namespace quill {

Interpolator::Interpolator(std::vector<double> nodes_x, std::vector<double> nodes_y, InterpType interp_type,
                           ExtrapType extrap_type)
    : nodes_x_(std::move(nodes_x)),
      nodes_y_(std::move(nodes_y)),
      extrap_type_(extrap_type),
      interp_type_(interp_type) {
    if (nodes_x_.empty()) throw Error("Need at least 1 x-node to create an Interpolator");
    if (nodes_y_.empty()) throw Error("Need at least 1 y-node to create an Interpolator");
    if (nodes_x_.size() != nodes_y_.size()) throw Error("Need x-nodes & y-nodes to have the same size");
    for (std::size_t k = 1; k < nodes_x_.size(); ++k) {
        // Written as a negated `>` so that a NaN node is refused too.
        if (!(nodes_x_[k] > nodes_x_[k - 1])) throw Error("Need x-nodes to be sorted in ascending order and be unique");
    }
    if (interp_type_ == InterpType::Linear) {
        // Computed once so that an evaluation is one subtraction, multiplication and addition.
        slopes_.reserve(nodes_x_.size() - 1);
        for (std::size_t i = 0; i + 1 < nodes_x_.size(); ++i) {
            slopes_.push_back((nodes_y_[i + 1] - nodes_y_[i]) / (nodes_x_[i + 1] - nodes_x_[i]));
        }
    }
}

std::size_t Interpolator::segment(double x) const noexcept {
    // The abscissae increase strictly, so exactly one segment x_i < x <= x_(i+1)
    // holds an inside x: the first node not below x closes it. Bisection finds
    // the same segment as trying them in order, in O(log n).
    const auto closing = std::lower_bound(nodes_x_.begin() + 1, nodes_x_.end(), x);
    return static_cast<std::size_t>(closing - nodes_x_.begin()) - 1;
}

double Interpolator::interpolate(double x) const {
    const std::size_t n = nodes_x_.size();
    if (n == 1) return nodes_y_[0];
    if (x == nodes_x_[0]) return nodes_y_[0];
    if (x == nodes_x_[n - 1]) return nodes_y_[n - 1];

    Side side = Side::inside;  // also a NaN x, which fails every comparison
    if (x < nodes_x_[0]) {
        if (extrap_type_ == ExtrapType::Flat) return nodes_y_[0];
        if (extrap_type_ == ExtrapType::Disabled) return std::numeric_limits<double>::quiet_NaN();
        side = Side::left;
    } else if (x > nodes_x_[n - 1]) {
        if (extrap_type_ == ExtrapType::Flat) return nodes_y_[n - 1];
        if (extrap_type_ == ExtrapType::Disabled) return std::numeric_limits<double>::quiet_NaN();
        side = Side::right;
    }

    switch (interp_type_) {
        case InterpType::Linear:
            return linear(x, side);
        case InterpType::Geometric:
            return geometric(x, side);
        case InterpType::CubicSpline:
        case InterpType::LogCubicSpline:
            break;
    }
    fail("Interpolation Type is not supported (yet)");
}

double Interpolator::linear(double x, Side side) const {
    const std::vector<double>& xs = nodes_x_;
    const std::vector<double>& ys = nodes_y_;
    const std::size_t n = xs.size();
    switch (side) {
        case Side::left:
            return (x - xs[0]) * slopes_[0] + ys[0];
        case Side::right:
            return (x - xs[n - 1]) * slopes_[n - 2] + ys[n - 1];
        case Side::inside:
            break;
    }
    // No segment holds a NaN.
    if (std::isnan(x)) fail("Should never end up here (linear)");
    const std::size_t i = segment(x);
    return (x - xs[i]) * slopes_[i] + ys[i];
}

double Interpolator::geometric(double x, Side side) const {
    const std::vector<double>& xs = nodes_x_;
    const std::vector<double>& ys = nodes_y_;
    const std::size_t n = xs.size();
    switch (side) {
        case Side::left:
            return std::exp(std::log(ys[1] / ys[0]) / (xs[1] - xs[0]) * (x - xs[0])) * ys[0];
        case Side::right:
            return std::exp(std::log(ys[n - 1] / ys[n - 2]) / (xs[n - 1] - xs[n - 2]) * (x - xs[n - 1])) * ys[n - 1];
        case Side::inside:
            break;
    }
    if (std::isnan(x)) fail("Should never end up here (geometric)");
    const std::size_t i = segment(x);
    return std::pow(ys[i + 1] / ys[i], (x - xs[i]) / (xs[i + 1] - xs[i])) * ys[i];
}

}  // namespace quill
