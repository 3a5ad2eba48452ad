#include "rates/bond.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <functional>
#include <type_traits>
#include <limits>
#include <string>

#include "core/civil.hpp"
#include "core/errors.hpp"
#include "core/float_text.hpp"
#include "datetime/date.hpp"
#include "maths/small_exp.hpp"
#include "mkt_data/yield_curve.hpp"
#include "rates/coupon_dates.hpp"

namespace quill {

namespace {

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

// The longest run of days without a business day in the calendar's data
// (its holidays; the weekend mask alone leaves at most six).
std::int64_t closure_of(const BusinessCalendar& cal) {
    const CalendarDays& content = cal.content();
    if (content.holidays.empty()) return 6;
    const BusinessDays& days = cal.days();
    const std::int64_t lo = std::int64_t{content.holidays.front()} - 8;
    const std::int64_t hi = std::int64_t{content.holidays.back()} + 8;
    std::int64_t longest = 6;
    std::int64_t b = days.next(lo);
    while (b <= hi) {  // one step per business day of the span
        const std::int64_t n = days.next(b + 1);
        if (n == BusinessDays::none) return std::numeric_limits<std::int64_t>::max();
        longest = std::max(longest, n - b - 1);
        b = n;
    }
    return longest;
}

}  // namespace

// ---------------------------------------------------------------- conventions

std::uint8_t coupon_months(const Tenor& tenor) {
    int months = 0;
    if (tenor.unit == TenorUnit::M) months = tenor.count;
    if (tenor.unit == TenorUnit::Y && tenor.count == 1) months = 12;
    if (months == 1 || months == 2 || months == 3 || months == 4 || months == 6 || months == 12) {
        return static_cast<std::uint8_t>(months);
    }
    throw Error("Coupon tenor (" + tenor.to_string() +
                ") must be a whole number of coupons a year: 1M, 2M, 3M, 4M, 6M, 12M or 1Y");
}

void check_bond_lag(const char* what, std::int64_t days) {
    if (days < 0 || days > 366) {
        throw Error(std::string(what) + " (" + std::to_string(days) + ") must be from 0 to 366 business days");
    }
}

void check_face(double face) {
    if (!(face > 0.0) || !std::isfinite(face)) throw Error("Face (" + float_text(face) + ") must be positive and finite");
}

BondConventions::BondConventions(const Tenor& tenor, DayCount day_count, std::optional<BusinessCalendar> calendar,
                                 BusDayAdj accrual_adj, BusDayAdj payment_adj, StubType stub, bool end_of_month,
                                 std::int32_t settlement_days, std::int32_t ex_coupon_days, double face)
    : tenor_(tenor),
      months_(coupon_months(tenor)),
      day_count_(day_count),
      calendar_(std::move(calendar)),
      business_(calendar_ ? *calendar_ : BusinessCalendar::from_holidays(0x1f, {})),
      accrual_adj_(accrual_adj),
      payment_adj_(payment_adj),
      stub_(stub),
      end_of_month_(end_of_month),
      settlement_days_(settlement_days),
      ex_coupon_days_(ex_coupon_days),
      face_(face) {
    check_bond_lag("Settlement days", settlement_days);
    check_bond_lag("Ex-coupon days", ex_coupon_days);
    check_face(face);
    // Regular dates lie at least 28 days apart: shorter closures never adjust
    // two of them onto one day.
    closure_ = closure_of(business_);
    const CalendarDays& days = business_.content();
    if (days.holidays.empty() && days.extra_days.empty() && !days.has_range()) {
        std::array<std::int8_t, 7> steps{};
        for (unsigned w = 0; w < 7; ++w) {
            while (((days.weekmask >> ((w + static_cast<unsigned>(steps[w])) % 7)) & 1u) == 0) ++steps[w];
        }
        weekend_steps_ = steps;
    }
}

bool BondConventions::operator==(const BondConventions& o) const noexcept {
    return tenor_.count == o.tenor_.count && tenor_.unit == o.tenor_.unit && day_count_ == o.day_count_ &&
           calendar_.has_value() == o.calendar_.has_value() && (!calendar_ || *calendar_ == *o.calendar_) &&
           accrual_adj_ == o.accrual_adj_ && payment_adj_ == o.payment_adj_ && stub_ == o.stub_ &&
           end_of_month_ == o.end_of_month_ && settlement_days_ == o.settlement_days_ &&
           ex_coupon_days_ == o.ex_coupon_days_ && face_ == o.face_;
}

std::size_t BondConventions::hash() const noexcept {
    std::size_t h = calendar_ ? calendar_->hash() : 0x9e3779b97f4a7c15ull;
    const auto mix = [&h](std::size_t v) { h ^= v + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2); };
    mix(static_cast<std::size_t>(tenor_.count) * 8 + static_cast<std::size_t>(tenor_.unit));
    mix(static_cast<std::size_t>(day_count_));
    mix(static_cast<std::size_t>(accrual_adj_) * 16 + static_cast<std::size_t>(payment_adj_) * 4 +
        static_cast<std::size_t>(end_of_month_));
    mix(static_cast<std::size_t>(stub_));
    mix(static_cast<std::size_t>(settlement_days_) * 1024 + static_cast<std::size_t>(ex_coupon_days_));
    mix(std::hash<double>{}(face_ == 0.0 ? 0.0 : face_));
    return h;
}

// ---------------------------------------------------------------- one bond from a settlement date

namespace {

using bond_detail::CouponDates;
using bond_detail::icma_part;
using bond_detail::icma_period;

// The terms every analytic checks first.
bool valid_terms(std::int32_t settle, std::int32_t start, std::int32_t maturity, double coupon) noexcept {
    return start < maturity && settle >= start && settle < maturity && coupon >= 0.0 && std::isfinite(coupon);
}

// One payment: its amount, and its time from the one before (the first:
// from the settlement date) in coupon periods.
struct Flow {
    double amount, step;
    std::int32_t date;
};

// (1 + y/f)^-step at log(1 + y/f) = l, given v = (1 + y/f)^-1. Steps are
// mostly a whole period give or take a few days: v times a factor near one,
// whose exponential a short series gives to the last digit.
inline double factor(double step, double l, double v) noexcept {
    if (step == 1.0) return v;
    const double x = (1.0 - step) * l;
    if (std::abs(x) <= 0x1p-10) [[likely]] {
        return v * (1.0 + x * (1.0 + x * (0.5 + x * (1.0 / 6 + x * (1.0 / 24 + x * (1.0 / 120))))));
    }
    return far_exp(-step * l);
}

// Steps take few values (whole periods, a few day counts): their factors are
// kept in a small table, a step's slot chosen by its bits.
constexpr std::size_t step_slots = 16;
inline std::size_t step_slot(double step) noexcept {  // the product's top four bits
    static_assert(step_slots == 16);
    return static_cast<std::size_t>((std::bit_cast<std::uint64_t>(step) * 0x9e3779b97f4a7c15ull) >> 60);
}

// The dirty price in one pass over the payments, as they are computed, the
// steps' factors kept by slot.
struct PriceSink {
    static constexpr std::size_t slots = step_slots;
    double l, v, price = 0.0, discount = 1.0;
    std::array<double, slots> steps, factors;
    PriceSink(double l_) noexcept : l(l_), v(std::exp(-l_)) {
        steps.fill(std::numeric_limits<double>::quiet_NaN());  // no step equals NaN
        factors.fill(0.0);
    }
    void operator()(const Flow& f) noexcept {
        double factor_of_step;
        if (f.step == 1.0) {
            factor_of_step = v;
        } else {
            const std::size_t slot = step_slot(f.step);
            if (steps[slot] != f.step) {
                steps[slot] = f.step;
                factors[slot] = factor(f.step, l, v);
            }
            factor_of_step = factors[slot];
        }
        discount *= factor_of_step;
        price += f.amount * discount;
    }
};

// A bond seen from its settlement date: the coupon paid next (k), its
// accrued interest, and the payments from it on, each computed as QuantLib's
// FixedRateBond and CashFlows compute them.
class Bond {
public:
    explicit Bond(const BondConventions& c) noexcept : c_(c), dates_(c) {}

    // False when the bond has no value at `settle`.
    bool make(std::int32_t settle, std::int32_t start, std::int32_t maturity, double coupon) {
        if (!valid_terms(settle, start, maturity, coupon) || !dates_.make(start, maturity)) return false;
        settle_ = settle;
        coupon_ = coupon;
        n_ = dates_.periods();
        k_ = dates_.next_payment(settle);
        return k_ <= n_;
    }

    // The coupon dates alone, from the start on (every coupon to be paid).
    bool make_schedule(std::int32_t start, std::int32_t maturity, double coupon) {
        if (!(start < maturity) || !(coupon >= 0.0) || !std::isfinite(coupon) || !dates_.make(start, maturity)) return false;
        coupon_ = coupon;
        n_ = dates_.periods();
        return true;
    }

    const CouponDates& dates() const noexcept { return dates_; }
    std::size_t count() const noexcept { return static_cast<std::size_t>(n_ - k_ + 1); }

    // The accrued interest of coupon k, as QuantLib's FixedRateCoupon::
    // accruedAmount: nothing on or before its accrual start; inside the
    // ex-coupon period the (negative) rest of the period.
    double accrued() const {
        const std::int32_t start = dates_.accrual(k_ - 1), end = dates_.accrual(k_);
        if (settle_ <= start) return 0.0;
        const bool ex = c_.ex_coupon_days() > 0 && ex_date(dates_.pay(end)) <= settle_;
        if (ex) return -(c_.face() * (coupon_ * fraction(k_, settle_, std::max(settle_, end), start, end)));
        return c_.face() * (coupon_ * fraction(k_, start, std::min(settle_, end), start, end));
    }

    // Calls sink(Flow) for every payment after the settlement date; the
    // coupon paid next sets `accrued`. Without `steps` the times are not
    // computed (prices from a curve).
    template <class Sink>
    void payments(Sink&& sink, double& accrued, bool steps) const {
        const double face = c_.face(), f = c_.frequency();
        const DayCount dc = c_.day_count();
        const bool icma = dc == DayCount::ActActIcma;
        const bool ex_coupons = c_.ex_coupon_days() > 0;
        const std::int32_t maturity = dates_.accrual(n_);
        bool ex = ex_coupons;  // ex dates increase: once one is after settlement, the rest are
        std::int32_t start = dates_.accrual(k_ - 1);
        std::int32_t last = settle_;  // the payment before, or the settlement date
        double last_offset = 0.0;     // ACT/ACT ICMA: its time from its accrual date
        accrued = 0.0;
        const auto coupon = [&](int j, std::int32_t end) {
            const std::int32_t pay = dates_.pay(end);
            const double period = fraction(j, start, end, start, end);
            double amount = face * (coupon_ * period);
            if (ex && ex_date(pay) <= settle_) {
                if (j == k_ && settle_ > start) {
                    accrued = -(face * (coupon_ * fraction(j, settle_, std::max(settle_, end), start, end)));
                }
                amount = 0.0;
            } else {
                ex = false;
                if (j == k_ && settle_ > start) accrued = face * (coupon_ * fraction(j, start, std::min(settle_, end), start, end));
            }
            if (j == n_) amount += face;
            double step = 0.0;
            if (steps) {
                if (icma) {
                    // Times along the reference dates add up: from the last
                    // payment to this one is the period plus the two payments'
                    // offsets from their accrual dates.
                    if (j == k_) last_offset = offset(j - 1, start, settle_);
                    const double pay_offset = offset(j, end, pay);
                    step = (period + pay_offset - last_offset) * f;
                    last_offset = pay_offset;
                } else if (last != start) {
                    step = (year_fraction(dc, start, pay, maturity) - year_fraction(dc, start, last, maturity)) * f;
                } else {
                    step = (pay == end ? period : year_fraction(dc, start, pay, maturity)) * f;
                }
            }
            sink(Flow{amount, step, pay});
            last = pay;
            start = end;
        };
        // The coupon paid next, and those in their ex-coupon periods.
        int j = k_;
        bool inside = false;
        if constexpr (std::is_same_v<std::remove_cvref_t<Sink>, PriceSink>) {
            // Settled inside a whole reference period before the last, outside
            // its ex-coupon period: the period is the tight loop's first, the
            // settlement date's time from its start the accrued fraction.
            if (icma && dates_.lazy() && k_ >= 2 && k_ < n_) {
                const std::int32_t end = dates_.accrual(k_);
                if (settle_ > start && settle_ < end && (!ex_coupons || ex_date(dates_.pay(end)) > settle_)) {
                    const double part = icma_part(start, settle_, start, end);
                    accrued = face * (coupon_ * part);
                    last_offset = part;
                    ex = false;
                    inside = true;
                }
            }
        }
        if (!inside) {
            do {
                coupon(j, dates_.accrual(j));
                ++j;
            } while (j <= n_ && ex);
        }
        if (icma && dates_.lazy() && j < n_) {
            // Coupons between the ends are whole reference periods: a tight
            // loop, tighter still for unadjusted dates on any day of the month.
            if constexpr (std::is_same_v<std::remove_cvref_t<Sink>, PriceSink>) {
                whole_periods_priced(j, start, last_offset, sink);
            } else {
                whole_periods(j, start, last_offset, sink, steps);
            }
            last = dates_.pay(start);
        }
        for (; j <= n_; ++j) coupon(j, dates_.accrual(j));
    }

    // The accrual day count's fraction from x to y within period j (accrual
    // dates a, b).
    double fraction(int j, std::int32_t x, std::int32_t y, std::int32_t a, std::int32_t b) const {
        if (c_.day_count() != DayCount::ActActIcma) return year_fraction(c_.day_count(), x, y, dates_.accrual(n_));
        if (dates_.own_reference(j) && x >= a && y <= b) {
            return x == a && y == b ? icma_period(b - a) : icma_part(x, y, a, b);
        }
        int hint = j - 1;
        return dates_.span(x, y, hint);
    }

private:
    std::int32_t ex_date(std::int32_t pay) const { return c_.days().advance(pay, -c_.ex_coupon_days()); }

    // ACT/ACT ICMA coupons j, ..., n - 1 (j >= 2), each its own reference
    // period: emit(period, end, pay, pay_offset) for each (its fraction, its
    // accrual end and payment dates, the payment's time from the accrual
    // date when Timed, else 0). Leaves j at n and start at the last accrual
    // date.
    template <bool Timed, class Emit>
    void each_whole_period(int& j, std::int32_t& start, Emit&& emit) const {
        if (!dates_.plain()) return periods<Timed, false>(j, start, emit);
        const BusDayAdj rule = c_.payment_adj();
        if (c_.weekend_steps() && (rule == BusDayAdj::Following || rule == BusDayAdj::Unadjusted) &&
            dates_.month_of(j) >= bond_detail::table_first_month &&
            dates_.month_of(n_ - 1) < bond_detail::table_first_month + bond_detail::table_months) {
            static constexpr std::array<std::int8_t, 7> unmoved{};
            return weekend_periods<Timed>(j, start, emit, rule == BusDayAdj::Following ? *c_.weekend_steps() : unmoved);
        }
        periods<Timed, true>(j, start, emit);
    }

    // Any dates: each computed a step ahead, since a payment moved past its
    // accrual date is timed within the next period, whose end is then at hand.
    template <bool Timed, bool Plain, class Emit>
    void periods(int& j_out, std::int32_t& start_out, Emit& emit) const {
        int j = j_out;  // locals, which the sink's stores cannot alias
        std::int32_t start = start_out;
        const BusinessDays& days = c_.days();
        const BusDayAdj pay_adj = c_.payment_adj();
        const std::int64_t months = c_.months();
        std::int64_t t = dates_.month_of(j);
        const auto date_at = [&](int i, std::int64_t month) {
            return i == n_ ? dates_.accrual(n_) : Plain ? dates_.plain_at_month(month) : dates_.at_month(month);
        };
        std::int32_t end = date_at(j, t);
        for (; j < n_; ++j) {
            t += months;
            const std::int32_t next = date_at(j + 1, t);
            const std::int32_t pay =
                pay_adj == BusDayAdj::Unadjusted || days.is_business_day(end) ? end : dates_.pay(end);
            emit(icma_period(end - start), end, pay, Timed && pay != end ? moved_offset(j, end, pay, next) : 0.0);
            start = end;
            end = next;
        }
        j_out = j;
        start_out = start;
    }

    // Unadjusted dates on the anchor's day of the month under a calendar of
    // weekends alone, inside the month tables: each date and its payment's
    // step a few look-ups. Every period is 12 / f months of the same day
    // (clamped to short months), within three days of those months' length:
    // its months round to 12 / f, its fraction is 1 / f, and the next
    // period's coupons a year are f.
    template <bool Timed, class Emit>
    void weekend_periods(int& j, std::int32_t& start, Emit& emit, const std::array<std::int8_t, 7>& steps) const {
        const unsigned day = dates_.anchor_day();
        if (day <= 28) {
            // No month is shorter: a date is its month's first day plus
            // day - 1, its weekday a function of the first day's.
            std::array<std::int8_t, 7> by_first;
            for (unsigned w = 0; w < 7; ++w) by_first[w] = steps[bond_detail::weekday_after[w + day - 1]];
            return walk_table<Timed>(j, start, emit, [&](std::size_t i, int& step) {
                step = by_first[bond_detail::month_weekdays[i]];
                return bond_detail::month_starts[i] + static_cast<std::int32_t>(day - 1);
            });
        }
        walk_table<Timed>(j, start, emit, [&](std::size_t i, int& step) {
            unsigned weekday;
            const std::int32_t d = bond_detail::day_in_table(i, day, weekday);
            step = steps[weekday];
            return d;
        });
    }

    // The walk of weekend_periods: date(i, step) gives the date of month i
    // of the tables and its payment's step.
    template <bool Timed, class Emit, class Date>
    void walk_table(int& j_out, std::int32_t& start, Emit& emit, Date&& date) const {
        int j = j_out;
        const double f = c_.frequency();
        const double period = bond_detail::inverse_coupons[static_cast<std::size_t>(c_.months())];
        const auto months = static_cast<std::size_t>(c_.months());
        auto i = static_cast<std::size_t>(dates_.month_of(j) - bond_detail::table_first_month);
        int step;
        std::int32_t end = date(i, step);
        for (; j + 1 < n_; ++j) {
            i += months;
            int next_step;
            const std::int32_t next = date(i, next_step);
            const std::int32_t pay = end + step;
            emit(period, end, pay,
                 Timed && pay != end ? static_cast<double>(pay - end) / (static_cast<double>(next - end) * f) : 0.0);
            end = next;
            step = next_step;
        }
        // The period after the last ends at the maturity.
        const std::int32_t pay = end + step;
        emit(period, end, pay, Timed && pay != end ? moved_offset(j, end, pay, dates_.accrual(n_)) : 0.0);
        start = end;
        j_out = j + 1;
    }

    // ACT/ACT ICMA: the time to a payment moved from accrual date j (`end`),
    // the next accrual date being `next`.
    double moved_offset(int j, std::int32_t end, std::int32_t pay, std::int32_t next) const {
        return pay > end && pay <= next && (j + 1 < n_ || dates_.last_regular()) ? icma_part(end, pay, end, next)
                                                                                 : offset(j, end, pay);
    }

    template <class Sink>
    void whole_periods(int& j, std::int32_t& start, double& last_offset, Sink& sink, bool steps) const {
        const double f = c_.frequency(), amount_per_year = c_.face() * coupon_;
        if (!steps) {
            return each_whole_period<false>(j, start, [&](double period, std::int32_t, std::int32_t pay, double) {
                sink(Flow{amount_per_year * period, 0.0, pay});
            });
        }
        double offset = last_offset;
        each_whole_period<true>(j, start, [&](double period, std::int32_t, std::int32_t pay, double pay_offset) {
            sink(Flow{amount_per_year * period, (period + pay_offset - offset) * f, pay});
            offset = pay_offset;
        });
        last_offset = offset;
    }

    // As whole_periods, priced as they come: the running discount factor is
    // the product of a factor per period (the whole-period one is v) and of
    // each payment's own factor for its offset, which stays off the chain of
    // products (the same discount factors as the steps' product).
    void whole_periods_priced(int& j, std::int32_t& start, double& last_offset, PriceSink& sink) const {
        const double f = c_.frequency(), amount_per_year = c_.face() * coupon_;
        const double l = sink.l, v = sink.v;
        // The discount factor without the last payment's offset factor.
        double base = last_offset == 0.0 ? sink.discount : sink.discount / small_exp(-last_offset * f * l);
        double price = sink.price, own = 1.0, offset = last_offset;
        // The periods mostly have one fraction: its factor kept.
        double period_seen = nan_value, period_factor = 1.0;
        each_whole_period<true>(j, start, [&](double period, std::int32_t end, std::int32_t pay, double pay_offset) {
            if (period != period_seen) {
                const double whole = period * f;
                period_seen = period;
                period_factor = whole == 1.0 ? v : factor(whole, l, v);
            }
            base *= period_factor;
            own = pay != end ? small_exp(-pay_offset * f * l) : 1.0;
            price += amount_per_year * period * (base * own);
            offset = pay_offset;
        });
        last_offset = offset;
        sink.price = price;
        sink.discount = base * own;
    }

    // ACT/ACT ICMA: the time from accrual date j (`at`) to `d`, signed.
    double offset(int j, std::int32_t at, std::int32_t d) const {
        if (d == at) return 0.0;
        if (d > at && j < n_ && dates_.own_reference(j + 1)) {
            const std::int32_t next = dates_.accrual(j + 1);
            if (d <= next) return icma_part(at, d, at, next);
        } else if (d < at && j >= 1 && dates_.own_reference(j)) {
            const std::int32_t before = dates_.accrual(j - 1);
            if (d >= before) return -icma_part(d, at, before, at);
        }
        int hint = j;
        return dates_.span(at, d, hint);
    }

    const BondConventions& c_;
    CouponDates dates_;
    std::int32_t settle_ = 0;
    double coupon_ = 0.0;
    int n_ = 0, k_ = 1;
};

// The payments of one bond kept for several evaluations (yields, durations).
struct Payments {
    std::vector<double> amount, step;
    std::vector<std::int32_t> date;
    // Each payment's step as its slot in `steps`, or `own` when another step
    // holds the slot. Not a character type, so that its stores alias nothing.
    enum class Kind : std::uint8_t {};
    static constexpr Kind own{255};
    std::vector<Kind> kind;
    std::array<double, step_slots> steps{};
    std::uint32_t used = 0;  // bit i: slot i holds a step
    double accrued = 0.0;

    std::size_t size = 0;

    void reset(std::size_t n) {
        if (amount.size() < n) {
            amount.resize(n);
            step.resize(n);
            date.resize(n);
            kind.resize(n);
        }
        size = 0;
        used = 0;
    }
    void operator()(const Flow& f) noexcept {
        amount[size] = f.amount;
        step[size] = f.step;
        date[size] = f.date;
        kind[size] = kind_of(f.step);
        ++size;
    }
    Kind kind_of(double s) noexcept {
        const std::size_t slot = step_slot(s);
        if (((used >> slot) & 1u) != 0) return steps[slot] == s ? Kind(slot) : own;
        used |= 1u << slot;
        steps[slot] = s;
        return Kind(slot);
    }
};

// One per thread, reused; reached through a call the optimiser keeps (a
// thread-local's address is costly to look up again in a loop).
[[gnu::noinline]] Payments& thread_payments() {
    thread_local Payments p;
    return p;
}

// The payments of a bond at `settle`, or null when it has no value there.
Payments* collect(const BondConventions& c, std::int32_t settle, std::int32_t start, std::int32_t maturity,
                  double coupon, bool steps) {
    Bond bond(c);
    if (!bond.make(settle, start, maturity, coupon)) return nullptr;
    Payments& p = thread_payments();
    p.reset(bond.count());
    bond.payments(p, p.accrued, steps);
    return &p;
}

// The dirty price at log(1 + y/f) = `l`, with sums of the payments weighted
// by their times in periods (E): each payment discounted by the running
// product of its steps' factors (1 + y/f)^-step, as QuantLib's CashFlows::npv
// discounts.
struct Sums {
    double price = 0.0, timed = 0.0, squared = 0.0;  // sums of a B, a E B, a E (E + 1) B
};

template <bool Timed, bool Squared>
Sums sums_at(const Payments& p, double l) noexcept {
    std::array<double, step_slots> factors;  // read in the used slots alone
    const double v = std::exp(-l);
    for (std::uint32_t u = p.used; u != 0; u &= u - 1) {
        const auto i = static_cast<std::size_t>(std::countr_zero(u));
        factors[i] = factor(p.steps[i], l, v);
    }
    double discount = 1.0, time = 0.0;
    Sums out;
    const std::size_t n = p.size;
    for (std::size_t i = 0; i < n; ++i) {
        const Payments::Kind kind = p.kind[i];
        discount *= kind != Payments::own ? factors[static_cast<std::size_t>(kind)] : factor(p.step[i], l, v);
        const double a = p.amount[i] * discount;
        out.price += a;
        if constexpr (Timed || Squared) time += p.step[i];
        if constexpr (Timed) out.timed += a * time;
        if constexpr (Squared) out.squared += a * time * (time + 1);
    }
    return out;
}

struct Value {
    double price, slope;
};

// The root of a decreasing convex function f(x) = target: Newton steps,
// converging from the left of the root (a step from the right lands left of
// it), kept inside the bracket the iterates make and halving it when a step
// would leave it; bounded. NaN when no root is found. `eval(x)` returns
// {f(x), f'(x)}.
template <class F>
double solve_decreasing(F eval, double target, double guess) {
    constexpr int max_steps = 200;
    constexpr double tiny = 4 * std::numeric_limits<double>::epsilon();
    double lo = -std::numeric_limits<double>::infinity(), hi = std::numeric_limits<double>::infinity();
    double x = guess;
    Value v = eval(x);
    for (int i = 0; i < max_steps; ++i) {
        if (std::isnan(v.price)) return nan_value;
        const double gap = v.price - target;
        // Within a few units in the last place of the target, the price can
        // tell no better root: the prices of neighbouring x round alike.
        if (std::abs(gap) <= 4 * std::numeric_limits<double>::epsilon() * std::abs(target)) return x;
        if (gap > 0.0) {
            lo = x;
        } else {
            hi = x;
        }
        double next = nan_value;
        if (v.slope < 0.0 && std::isfinite(v.price) && std::isfinite(v.slope)) {
            const double step = -gap / v.slope;
            if (std::abs(step) <= tiny * std::abs(x)) return x + step;  // converged to the last digits
            next = x + step;
        }
        if (!(next > lo && next < hi)) {
            if (std::isfinite(lo) && std::isfinite(hi)) {
                next = lo + (hi - lo) / 2;
                if (!(next > lo && next < hi)) return x;  // nothing left between them
            } else if (std::isfinite(lo)) {
                next = lo + std::max(1.0, std::abs(lo));
            } else {
                next = hi - std::max(1.0, std::abs(hi));
            }
        }
        x = next;
        if (std::abs(x) > 1e6) return nan_value;  // no root at any sensible yield or spread
        v = eval(x);
    }
    return nan_value;
}

// log(1 + y/f), or NaN where the yield has no discount factor.
double log_base(const BondConventions& c, double ytm) noexcept {
    const double l = std::log1p(ytm / c.frequency());
    return std::isfinite(l) ? l : nan_value;
}

// Library errors of the bond's own dates (a date outside the calendar's
// range) give NaN, as a missing value.
template <class F>
double guarded(F&& f) noexcept {
    try {
        return f();
    } catch (const Error&) {
    } catch (const Failure&) {
    } catch (const std::bad_alloc&) {
    }
    return nan_value;
}

// The dirty price at `l` in one pass; `accrued` set.
double dirty_at(const BondConventions& c, std::int32_t settle, std::int32_t start, std::int32_t maturity,
                double coupon, double l, double& accrued) {
    Bond bond(c);
    if (std::isnan(l) || !bond.make(settle, start, maturity, coupon)) return nan_value;
    PriceSink sink(l);
    bond.payments(sink, accrued, true);
    return sink.price;
}

}  // namespace

// ---------------------------------------------------------------- analytics

double bond_accrued(const BondConventions& c, std::int32_t settle, std::int32_t start, std::int32_t maturity,
                    double coupon) noexcept {
    return guarded([&] {
        if (!valid_terms(settle, start, maturity, coupon)) return nan_value;
        std::int32_t from, to;
        if (bond_detail::period_inside(c, settle, start, maturity, from, to)) {
            // A coupon period well inside the bond, its own reference period;
            // unadjusted, 12 / f months of the same day: f coupons a year.
            double fraction;
            if (c.day_count() != DayCount::ActActIcma) {
                fraction = year_fraction(c.day_count(), from, settle);
            } else if (c.accrual_adj() == BusDayAdj::Unadjusted) {
                fraction = static_cast<double>(settle - from) / (static_cast<double>(to - from) * c.frequency());
            } else {
                fraction = icma_part(from, settle, from, to);
            }
            return c.face() * (coupon * fraction);
        }
        Bond bond(c);
        return bond.make(settle, start, maturity, coupon) ? bond.accrued() : nan_value;
    });
}

double bond_dirty_price(const BondConventions& c, std::int32_t settle, std::int32_t start, std::int32_t maturity,
                        double coupon, double ytm) noexcept {
    return guarded([&] {
        double accrued;
        return dirty_at(c, settle, start, maturity, coupon, log_base(c, ytm), accrued);
    });
}

double bond_clean_price(const BondConventions& c, std::int32_t settle, std::int32_t start, std::int32_t maturity,
                        double coupon, double ytm) noexcept {
    return guarded([&] {
        double accrued = 0.0;
        return dirty_at(c, settle, start, maturity, coupon, log_base(c, ytm), accrued) - accrued;
    });
}

double bond_ytm(const BondConventions& c, std::int32_t settle, std::int32_t start, std::int32_t maturity,
                double coupon, double clean_price) noexcept {
    return guarded([&] {
        if (!std::isfinite(clean_price)) return nan_value;
        const Payments* p = collect(c, settle, start, maturity, coupon, true);
        if (p == nullptr) return nan_value;
        const double target = clean_price + p->accrued;
        if (!(target > 0.0)) return nan_value;
        // Jensen: the price at the cash-weighted mean time's rate is at least
        // the target, so the guess lies left of the root and Newton climbs.
        double cash = 0.0, weighted = 0.0, time = 0.0;
        for (std::size_t i = 0; i < p->size; ++i) {
            time += p->step[i];
            cash += p->amount[i];
            weighted += p->amount[i] * time;
        }
        if (!(cash > 0.0) || !(weighted > 0.0)) return nan_value;
        const double guess = std::log(cash / target) / (weighted / cash);
        const double l = solve_decreasing(
            [p](double x) {
                const Sums s = sums_at<true, false>(*p, x);
                return Value{s.price, -s.timed};
            },
            target, guess);
        return std::isnan(l) ? nan_value : c.frequency() * std::expm1(l);
    });
}

double bond_duration(const BondConventions& c, std::int32_t settle, std::int32_t start, std::int32_t maturity,
                     double coupon, double ytm, bool macaulay) noexcept {
    return guarded([&] {
        const double l = log_base(c, ytm);
        const Payments* p = std::isnan(l) ? nullptr : collect(c, settle, start, maturity, coupon, true);
        if (p == nullptr) return nan_value;
        const double f = c.frequency();
        const Sums sums = sums_at<true, false>(*p, l);
        if (sums.price == 0.0) return 0.0;
        const double mac = sums.timed / f / sums.price;
        return macaulay ? mac : mac / (1.0 + ytm / f);
    });
}

double bond_convexity(const BondConventions& c, std::int32_t settle, std::int32_t start, std::int32_t maturity,
                      double coupon, double ytm) noexcept {
    return guarded([&] {
        const double l = log_base(c, ytm);
        const Payments* p = std::isnan(l) ? nullptr : collect(c, settle, start, maturity, coupon, true);
        if (p == nullptr) return nan_value;
        const double f = c.frequency();
        const double base = 1.0 + ytm / f;
        const Sums sums = sums_at<false, true>(*p, l);
        if (sums.price == 0.0) return 0.0;
        return sums.squared / (f * f * base * base) / sums.price;
    });
}

double bond_dv01(const BondConventions& c, std::int32_t settle, std::int32_t start, std::int32_t maturity,
                 double coupon, double ytm) noexcept {
    return guarded([&] {
        const double l = log_base(c, ytm), down = log_base(c, ytm - 0.0001);
        const Payments* p = std::isnan(l) || std::isnan(down) ? nullptr : collect(c, settle, start, maturity, coupon, true);
        if (p == nullptr) return nan_value;
        return sums_at<false, false>(*p, down).price - sums_at<false, false>(*p, l).price;
    });
}

namespace {

// The payments' discount factors over that of the settlement date, and the
// curve's times from the settlement date to each. Errors of the curve itself
// pass; those of the bond's dates give NaN.
const Payments* curve_payments(const BondConventions& c, const CurveModel& curve, std::int32_t settle,
                               std::int32_t start, std::int32_t maturity, double coupon, std::vector<double>& weight,
                               std::vector<double>& time) {
    const Payments* p = nullptr;
    try {
        p = collect(c, settle, start, maturity, coupon, false);
    } catch (const Error&) {
        return nullptr;
    }
    if (p == nullptr) return nullptr;
    const DayCounter dc = curve.day_counter();
    const Date& curve_date = curve.curve_date();
    const Date settle_date = Date::from_serial(settle);
    const double at_settle = curve.df(settle_date);
    const double t_settle = year_fraction(dc, curve_date, settle_date);
    weight.clear();
    time.clear();
    for (std::size_t i = 0; i < p->size; ++i) {
        const std::int32_t d = p->date[i];
        const Date date = Date::from_serial(d);
        weight.push_back(curve.df(date) / at_settle);
        time.push_back(year_fraction(dc, curve_date, date) - t_settle);
    }
    return p;
}

struct CurveScratch {
    std::vector<double> weight, time;
};

[[gnu::noinline]] CurveScratch& thread_curve_scratch() {
    thread_local CurveScratch s;
    return s;
}

}  // namespace

double bond_dirty_price_from_curve(const BondConventions& c, const CurveModel& curve, std::int32_t settle,
                                   std::int32_t start, std::int32_t maturity, double coupon) {
    CurveScratch& s = thread_curve_scratch();
    const Payments* p = curve_payments(c, curve, settle, start, maturity, coupon, s.weight, s.time);
    if (p == nullptr) return nan_value;
    double total = 0.0;
    for (std::size_t i = 0; i < p->size; ++i) total += p->amount[i] * s.weight[i];
    return total;
}

double bond_zspread(const BondConventions& c, const CurveModel& curve, std::int32_t settle, std::int32_t start,
                    std::int32_t maturity, double coupon, double clean_price) {
    if (!std::isfinite(clean_price)) return nan_value;
    CurveScratch& s = thread_curve_scratch();
    const Payments* p = curve_payments(c, curve, settle, start, maturity, coupon, s.weight, s.time);
    if (p == nullptr) return nan_value;
    const double target = clean_price + p->accrued;
    if (!(target > 0.0)) return nan_value;
    const std::size_t n = p->size;
    double cash = 0.0, timed = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double a = p->amount[i] * s.weight[i];
        cash += a;
        timed += a * s.time[i];
    }
    if (!(cash > 0.0) || !(timed > 0.0)) return nan_value;
    const auto eval = [&](double z) {
        double price = 0.0, slope = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double a = p->amount[i] * s.weight[i] * std::exp(-z * s.time[i]);
            price += a;
            slope -= a * s.time[i];
        }
        return Value{price, slope};
    };
    return solve_decreasing(eval, target, std::log(cash / target) / (timed / cash));
}

// ---------------------------------------------------------------- cash flows

std::vector<BondCashFlow> bond_cashflows(const BondConventions& c, std::int32_t start, std::int32_t maturity,
                                         double coupon) {
    if (!(start < maturity)) {
        throw Error("Bond maturity (" + Date::from_serial(maturity).to_string() + ") must be after its start (" +
                    Date::from_serial(start).to_string() + ")");
    }
    if (!(coupon >= 0.0) || !std::isfinite(coupon)) {
        throw Error("Coupon (" + float_text(coupon) + ") must be positive or zero and finite");
    }
    Bond bond(c);
    if (!bond.make_schedule(start, maturity, coupon)) {
        throw Error("Bond from " + Date::from_serial(start).to_string() + " to " + Date::from_serial(maturity).to_string() +
                    " has no coupon period under its conventions");
    }
    const CouponDates& dates = bond.dates();
    const int n = dates.periods();
    const double face = c.face();
    std::vector<BondCashFlow> out;
    out.reserve(static_cast<std::size_t>(n) + 1);
    for (int j = 1; j <= n; ++j) {
        const std::int32_t a = dates.accrual(j - 1), b = dates.accrual(j);
        const double fraction = bond.fraction(j, a, b, a, b);
        out.push_back({a, b, dates.pay(b), fraction, face * (coupon * fraction)});
    }
    out.push_back({0, 0, out.back().payment, nan_value, face});
    return out;
}

}  // namespace quill
