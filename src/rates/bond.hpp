// Fixed-rate bonds: the conventions a book of bonds shares, and the analytics
// of one bond under them. How to use it (dates are serials):
//
//   const BondConventions conv(parse_tenor("6M"), DayCount::ActActIcma, calendar,
//                              BusDayAdj::Unadjusted, BusDayAdj::Following, StubType::FrontShort,
//                              /*end_of_month=*/true, /*settlement_days=*/1, /*ex_coupon_days=*/0,
//                              /*face=*/100.0);
//   bond_clean_price(conv, settle, start, maturity, 0.04, 0.045);    // per `face`
//   bond_ytm(conv, settle, start, maturity, 0.04, 99.5);             // NaN: no yield
//
// The coupon dates are those of make_schedule(start, maturity, ...) under the
// conventions' calendar and accrual rule; each coupon is paid on its accrual
// end moved by the payment rule, and the face on the last payment date. A
// coupon pays face * coupon * the accrual day count's fraction of its period;
// ACT/ACT ICMA measures every period against the regular coupon periods
// around it (stubs against notional periods a tenor from their regular end).
// Prices discount each payment at the yield compounded at the coupon
// frequency over the day count's time to the payment date, as QuantLib's
// BondFunctions do (the street convention under ACT/ACT ICMA). A coupon whose
// ex-coupon date (the payment date less `ex_coupon_days` business days) is on
// or before the settlement date belongs to the seller.
//
// Every analytic is a number or NaN: NaN where the value does not exist (the
// settlement is not within [start, maturity), maturity is not after start, a
// coupon is negative or not finite, no yield gives the price, a date outside
// the calendar's range). Nothing throws and every search is bounded.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "datetime/business_calendar.hpp"
#include "datetime/day_count.hpp"
#include "datetime/tenor.hpp"
#include "enums/bus_day_adj.hpp"
#include "enums/stub_type.hpp"

namespace quill {

class CurveModel;

// The months of a coupon period: 1, 2, 3, 4, 6 or 12 (a whole number of
// coupons a year, the compounding frequency of yields); Error otherwise.
std::uint8_t coupon_months(const Tenor& tenor);
// Error unless 0 <= days <= 366 ("Settlement days" or "Ex-coupon days").
void check_bond_lag(const char* what, std::int64_t days);
// Error unless the face is positive and finite.
void check_face(double face);

class BondConventions {
public:
    // The parts are checked as above (Error); `calendar` empty means Saturday
    // and Sunday weekends and no holidays.
    BondConventions(const Tenor& tenor, DayCount day_count, std::optional<BusinessCalendar> calendar,
                    BusDayAdj accrual_adj, BusDayAdj payment_adj, StubType stub, bool end_of_month,
                    std::int32_t settlement_days, std::int32_t ex_coupon_days, double face);

    const Tenor& tenor() const noexcept { return tenor_; }
    int months() const noexcept { return months_; }
    int frequency() const noexcept { return 12 / months_; }
    DayCount day_count() const noexcept { return day_count_; }
    const std::optional<BusinessCalendar>& calendar() const noexcept { return calendar_; }
    const BusinessDays& days() const noexcept { return business_.days(); }
    BusDayAdj accrual_adj() const noexcept { return accrual_adj_; }
    BusDayAdj payment_adj() const noexcept { return payment_adj_; }
    StubType stub() const noexcept { return stub_; }
    bool end_of_month() const noexcept { return end_of_month_; }
    std::int32_t settlement_days() const noexcept { return settlement_days_; }
    std::int32_t ex_coupon_days() const noexcept { return ex_coupon_days_; }
    double face() const noexcept { return face_; }
    // No run of holidays and weekend days as long as the shortest coupon
    // period: regular dates never adjust onto each other.
    bool short_closures() const noexcept { return closure_ <= 20; }
    // The longest run of days without a business day (at least the weekend's).
    std::int64_t longest_closure() const noexcept { return closure_; }
    // For a calendar of weekends alone: the days from weekday w (Monday 0) to
    // the next business day; empty otherwise.
    const std::optional<std::array<std::int8_t, 7>>& weekend_steps() const noexcept { return weekend_steps_; }

    bool operator==(const BondConventions& other) const noexcept;
    std::size_t hash() const noexcept;

private:
    Tenor tenor_;
    std::uint8_t months_;
    DayCount day_count_;
    std::optional<BusinessCalendar> calendar_;
    BusinessCalendar business_;  // the calendar, or weekends only
    BusDayAdj accrual_adj_, payment_adj_;
    StubType stub_;
    bool end_of_month_;
    std::int32_t settlement_days_, ex_coupon_days_;
    double face_;
    std::int64_t closure_;
    std::optional<std::array<std::int8_t, 7>> weekend_steps_;
};

// ---------------------------------------------------------------- analytics (NaN where no value exists)

double bond_accrued(const BondConventions& c, std::int32_t settle, std::int32_t start, std::int32_t maturity,
                    double coupon) noexcept;
double bond_dirty_price(const BondConventions& c, std::int32_t settle, std::int32_t start, std::int32_t maturity,
                        double coupon, double ytm) noexcept;
double bond_clean_price(const BondConventions& c, std::int32_t settle, std::int32_t start, std::int32_t maturity,
                        double coupon, double ytm) noexcept;
// The yield whose clean price is `clean_price`, to the last digits the price
// holds; NaN when none exists (the dirty price is not positive).
double bond_ytm(const BondConventions& c, std::int32_t settle, std::int32_t start, std::int32_t maturity,
                double coupon, double clean_price) noexcept;
// Modified duration (-dP/dy / P), or Macaulay (modified times 1 + y/f).
double bond_duration(const BondConventions& c, std::int32_t settle, std::int32_t start, std::int32_t maturity,
                     double coupon, double ytm, bool macaulay) noexcept;
double bond_convexity(const BondConventions& c, std::int32_t settle, std::int32_t start, std::int32_t maturity,
                      double coupon, double ytm) noexcept;
// The dirty price's rise when the yield falls by one basis point.
double bond_dv01(const BondConventions& c, std::int32_t settle, std::int32_t start, std::int32_t maturity,
                 double coupon, double ytm) noexcept;
// Sum of each payment times its discount factor over that of `settle`.
// Errors of the curve itself (a day counter or interpolation it cannot
// evaluate) are thrown as the curve throws them.
double bond_dirty_price_from_curve(const BondConventions& c, const CurveModel& curve, std::int32_t settle,
                                   std::int32_t start, std::int32_t maturity, double coupon);
// The spread over the curve's continuously compounded zero rates at which the
// bond's clean price is `clean_price` (QuantLib's zSpread with Continuous).
double bond_zspread(const BondConventions& c, const CurveModel& curve, std::int32_t settle, std::int32_t start,
                    std::int32_t maturity, double coupon, double clean_price);

// ---------------------------------------------------------------- cash flows

struct BondCashFlow {
    std::int32_t accrual_start, accrual_end;  // both 0 for the redemption
    std::int32_t payment;
    double year_fraction;                     // NaN for the redemption
    double amount;
};

// Every coupon in date order, then the redemption; Error with the reason when
// the bond has no schedule.
std::vector<BondCashFlow> bond_cashflows(const BondConventions& c, std::int32_t start, std::int32_t maturity,
                                         double coupon);

}  // namespace quill
