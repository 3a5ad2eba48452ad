// Discount curves: a flat continuously compounded rate, or discount factors at
// node dates interpolated over year fractions. Both answer the same queries.
#pragma once

#include <memory>

#include "datetime/date.hpp"
#include "datetime/day_counter.hpp"

namespace quill {

class CurveModel {
public:
    virtual ~CurveModel() = default;

    virtual const Date& curve_date() const noexcept = 0;
    virtual DayCounter day_counter() const noexcept = 0;
    // Discount factor from the curve date to `date`.
    virtual double df(const Date& date) const = 0;

    // The queries built on df, shared by every kind. Each settles the day-count
    // basis before anything else (overnight_rate first builds the next day), so
    // Thirty360 fails the same way everywhere.
    double fwd_df(const Date& start, const Date& end) const;
    double overnight_rate(const Date& date) const;
    double fwd_rate(const Date& start, const Date& end) const;

protected:
    double basis() const { return day_count_basis(day_counter()); }
    // Year fraction from the curve date; Thirty360 fails ("not implemented").
    double time_to(const Date& date) const { return year_fraction(day_counter(), curve_date(), date); }
};

class FlatCurve final : public CurveModel {
public:
    FlatCurve(const Date& curve_date, double flat_rate, DayCounter dc) noexcept
        : curve_date_(curve_date), flat_rate_(flat_rate), dc_(dc) {}

    const Date& curve_date() const noexcept override { return curve_date_; }
    DayCounter day_counter() const noexcept override { return dc_; }
    double df(const Date& date) const override;

    double flat_rate() const noexcept { return flat_rate_; }

private:
    Date curve_date_;
    double flat_rate_;
    DayCounter dc_;
};

// The value a Python YieldCurve holds: exactly one curve of either kind.
class YieldCurve {
public:
    explicit YieldCurve(std::unique_ptr<const CurveModel> model) noexcept : model_(std::move(model)) {}
    const CurveModel& model() const noexcept { return *model_; }

private:
    std::unique_ptr<const CurveModel> model_;
};

}  // namespace quill
