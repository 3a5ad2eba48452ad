// How the discount factor of one date on a noded curve depends on the node
// discount factors: which two nodes it is made of, and with what weight. The
// bootstrap solves for node factors and differentiates with respect to them,
// and both need each date's factor as a function of the nodes, located once
// and evaluated many times. evaluate() repeats the interpolator's arithmetic
// operation for operation (Auto extrapolation, Linear or Geometric), so a
// solved factor is the very double the finished curve gives for that date.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "enums/interp_type.hpp"

namespace quill {

struct CurvePoint {
    enum class Kind : std::uint8_t { node, inside, left, right };
    Kind kind;
    std::uint32_t lo;  // node: the node; otherwise the two nodes lo and lo + 1
    double dx;         // x - x[lo] (inside, left) or x - x[lo + 1] (right)
    double h;          // x[lo + 1] - x[lo]
    double w;          // inside: dx / h; left: dx / h; right: 1 + dx / h

    std::uint32_t hi() const noexcept { return kind == Kind::node ? lo : lo + 1; }
};

// Where `x` lies among the node times `xs` (at least two, increasing).
inline CurvePoint locate(const std::vector<double>& xs, double x) {
    const std::size_t n = xs.size();
    if (x == xs[0]) return {CurvePoint::Kind::node, 0, 0.0, 0.0, 0.0};
    if (x == xs[n - 1]) return {CurvePoint::Kind::node, static_cast<std::uint32_t>(n - 1), 0.0, 0.0, 1.0};
    if (x < xs[0]) {
        const double h = xs[1] - xs[0], dx = x - xs[0];
        return {CurvePoint::Kind::left, 0, dx, h, dx / h};
    }
    if (x > xs[n - 1]) {
        const double h = xs[n - 1] - xs[n - 2], dx = x - xs[n - 1];
        return {CurvePoint::Kind::right, static_cast<std::uint32_t>(n - 2), dx, h, 1.0 + dx / h};
    }
    const auto i = static_cast<std::uint32_t>(std::lower_bound(xs.begin() + 1, xs.end(), x) - xs.begin() - 1);
    const double h = xs[i + 1] - xs[i], dx = x - xs[i];
    return {CurvePoint::Kind::inside, i, dx, h, dx / h};
}

// The discount factor at the point, from the node factors ys.
inline double evaluate(const CurvePoint& p, const double* ys, InterpType type) noexcept {
    const std::uint32_t i = p.lo;
    const bool linear = type == InterpType::Linear;
    switch (p.kind) {
        case CurvePoint::Kind::node:
            return ys[i];
        case CurvePoint::Kind::inside:
            if (linear) return p.dx * ((ys[i + 1] - ys[i]) / p.h) + ys[i];
            return std::pow(ys[i + 1] / ys[i], p.w) * ys[i];
        case CurvePoint::Kind::left:
            if (linear) return p.dx * ((ys[1] - ys[0]) / p.h) + ys[0];
            return std::exp(std::log(ys[1] / ys[0]) / p.h * p.dx) * ys[0];
        case CurvePoint::Kind::right:
            if (linear) return p.dx * ((ys[i + 1] - ys[i]) / p.h) + ys[i + 1];
            return std::exp(std::log(ys[i + 1] / ys[i]) / p.h * p.dx) * ys[i + 1];
    }
    return 0.0;
}

// dP/dys[lo] and dP/dys[hi] at P = evaluate(p, ys) (for a node, d_lo is the
// whole derivative and d_hi is 0).
inline void derivatives(const CurvePoint& p, const double* ys, double value, InterpType type, double& d_lo,
                        double& d_hi) noexcept {
    if (p.kind == CurvePoint::Kind::node) {
        d_lo = 1.0;
        d_hi = 0.0;
        return;
    }
    if (type == InterpType::Linear) {
        d_lo = 1.0 - p.w;
        d_hi = p.w;
    } else {
        d_lo = (1.0 - p.w) * value / ys[p.lo];
        d_hi = p.w * value / ys[p.lo + 1];
    }
}

}  // namespace quill
