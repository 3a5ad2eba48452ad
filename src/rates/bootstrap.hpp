// Discount curves from market quotes: deposits and par swap rates on one
// set of swap conventions, solved node by node for a noded curve that prices
// every quote back. How to use it (serials):
//
//   const CurveBootstrap b(conv, curve_date, deposit_tenors, swap_tenors, DayCounter::Act365,
//                          InterpType::Geometric);                 // Error naming the instrument
//   std::vector<double> dfs(b.size() + 1), jac(b.size() * b.size());
//   b.solve(quotes, dfs.data(), jac.data());                      // quotes: deposit rates, then par rates
//   YieldCurve curve = b.curve(dfs.data());
//
// Each instrument puts a node at its last payment date; the curve date is the
// first node, with factor 1. Between nodes the curve interpolates as the
// finished YieldCurve does, so an instrument's value depends on its own node
// and those before it only, and the nodes are solved one after another, each
// by a bounded, bracketed Newton search on its logarithm. The Jacobian of the
// node factors with respect to the quotes follows from the same equations by
// implicit differentiation: it is exact, not a finite difference.
//
// A deposit of tenor T runs from the spot date to the spot date moved by T
// (advance_by with the conventions' adjustment and end-of-month rule) and
// pays simple interest on the floating leg's day count. A swap of tenor T
// runs from the spot date to swap_maturity(conv, spot, T) and is quoted at
// par, the curve both discounting and forecasting.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "datetime/day_counter.hpp"
#include "enums/interp_type.hpp"
#include "mkt_data/yield_curve.hpp"
#include "rates/curve_points.hpp"
#include "rates/swap.hpp"

namespace quill {

class CurveBootstrap {
public:
    CurveBootstrap(const SwapConventions& conv, std::int32_t curve_date, const std::vector<Tenor>& deposit_tenors,
                   const std::vector<Tenor>& swap_tenors, DayCounter day_counter, InterpType interp_type);

    // Instruments, quotes and nodes after the curve date: all the same number.
    std::size_t size() const noexcept { return instruments_.size(); }
    // The node dates, the curve date first.
    const std::vector<std::int32_t>& node_dates() const noexcept { return node_dates_; }
    std::int32_t spot() const noexcept { return spot_; }
    // "Deposit 3M", "Swap 10Y": quote k's instrument, as messages name it.
    std::string name(std::size_t quote) const;
    // Quote k's node (1-based: node 0 is the curve date).
    std::size_t node_of(std::size_t quote) const noexcept { return node_of_quote_[quote]; }

    // Node discount factors (size() + 1, the first 1.0) pricing `quotes`
    // (deposit rates, then par swap rates, in the order of their tenors), and
    // when `jacobian` is not null their derivatives: row i for node i + 1,
    // column k for quote k, size() x size(), row-major. Error naming the
    // instrument for a quote that is not finite or admits no curve.
    void solve(const double* quotes, double* dfs, double* jacobian) const;

    YieldCurve curve(const double* dfs) const;

private:
    struct FloatTerm {
        std::uint32_t start, end, pay;  // points
    };
    struct FixedTerm {
        std::uint32_t pay;  // point
        double year_fraction;
    };
    struct Instrument {
        bool deposit;
        Tenor tenor;
        std::size_t quote;
        std::int32_t last;  // its last payment date: its node
        // A deposit: floating[0] is (spot, end, end) and fixed[0] its end and
        // year fraction; a swap: its two legs, in date order.
        std::vector<FloatTerm> floating;
        std::vector<FixedTerm> fixed;
        std::size_t floating_moving = 0, fixed_moving = 0;  // the first terms paid on its own segment
        std::vector<std::uint32_t> moving;                  // those on its own segment
        // The terms from floating_moving and fixed_moving on, over slots: slot
        // s < moving.size() is the point moving[s]; the slots after it hold
        // the points of earlier segments these terms need (`earlier`), whose
        // values are known when its node is solved.
        std::vector<std::uint32_t> earlier;
        std::vector<std::array<std::uint32_t, 3>> floating_slots;  // start, end, pay
        std::vector<std::uint32_t> fixed_slots;                    // pay
        // Per moving point, its weight in u: w of the segment, 1 for the node
        // (the last one).
        std::vector<double> weights;
    };
    struct Work;

    static std::string name_of(const Instrument& in);
    // dF/dy at the solution, added into w.grad (zeros).
    void gradient(const Instrument& in, double quote, Work& w) const;
    [[noreturn]] void no_curve(const Instrument& in, double quote) const;

    std::vector<Instrument> instruments_;  // in node order
    std::vector<std::size_t> node_of_quote_;
    std::vector<std::int32_t> node_dates_;
    std::vector<Date> node_days_;  // the same, as the finished curve takes them
    std::vector<double> node_times_;
    // Every date any instrument needs, once: where it lies on the curve, and
    // for each node the points it settles (those it closes the segment of).
    std::vector<CurvePoint> points_;
    std::vector<std::vector<std::uint32_t>> settled_by_;
    // For each node, the points it settles that its own instrument does not
    // move while it is solved.
    std::vector<std::vector<std::uint32_t>> settled_rest_;
    std::size_t max_slots_ = 0;
    std::int32_t curve_date_, spot_;
    DayCounter day_counter_;
    InterpType interp_type_;
};

}  // namespace quill
