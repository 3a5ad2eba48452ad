// The market's day counts: the year fraction between two dates under the
// conventions bonds and swaps are quoted in. How to use it (serials):
//
//   const DayCount dc = day_count_from_name("30E/360 ISDA");   // Error listing the names otherwise
//   year_fraction(dc, start, end);                  // any convention but ACT/ACT ICMA
//   year_fraction(dc, start, end, maturity);        // 30E/360 ISDA: the maturity keeps a February month end
//   year_fraction_icma(start, end, ref_start, ref_end);   // ACT/ACT ICMA over a reference period
//
// Each is computed in the operation order of QuantLib's counterpart
// (Actual365Fixed, Actual360, Thirty360 BondBasis / European / ISDA,
// ActualActual ISDA / ISMA), so the results are the same doubles. An end
// before the start gives the negative of the fraction (the 30/360 formulas
// are signed as they stand).
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "core/civil.hpp"

namespace quill {

enum class DayCount : std::uint8_t { Act365F, Act360, Thirty360, Thirty360E, Thirty360EIsda, ActActIsda, ActActIcma };

inline constexpr std::array<std::string_view, 7> day_count_names{
    "ACT/365F", "ACT/360", "30/360", "30E/360", "30E/360 ISDA", "ACT/ACT ISDA", "ACT/ACT ICMA"};

// Exact names; Error listing the accepted names for any other.
DayCount day_count_from_name(std::string_view name);
// The names, quoted, as error messages list them: "\"ACT/365F\", ..., or \"ACT/ACT ICMA\"".
std::string day_count_name_list(bool with_icma = true);

inline constexpr std::int64_t no_maturity = std::numeric_limits<std::int64_t>::min();

// Error: ACT/ACT ICMA needs a reference period.
[[noreturn]] void year_fraction_needs_period(DayCount dc);

namespace day_count_detail {

struct Ymd {
    std::int64_t y;
    int m, d;
};
inline Ymd fields(std::int64_t serial) noexcept {
    const civil::Fields f = civil::from_days(serial - civil::epoch_serial);
    return {f.year, static_cast<int>(f.month), static_cast<int>(f.day)};
}
inline double thirty(const Ymd& a, int d1, const Ymd& b, int d2) noexcept {
    return static_cast<double>(360 * (b.y - a.y) + 30 * (b.m - a.m) + (d2 - d1)) / 360.0;
}
inline bool last_of_february(const Ymd& f) noexcept { return f.m == 2 && f.d == (civil::is_leap(f.y) ? 29 : 28); }

}  // namespace day_count_detail

// The year fraction from `start` to `end` (serials of valid dates). ACT/ACT
// ICMA needs a reference period: Error here, see year_fraction_icma.
inline double year_fraction(DayCount dc, std::int64_t start, std::int64_t end, std::int64_t maturity = no_maturity) {
    using namespace day_count_detail;
    switch (dc) {
        case DayCount::Act365F:
            return static_cast<double>(end - start) / 365.0;
        case DayCount::Act360:
            return static_cast<double>(end - start) / 360.0;
        case DayCount::Thirty360: {  // US bond basis
            const Ymd a = fields(start), b = fields(end);
            const int d1 = a.d == 31 ? 30 : a.d;
            const int d2 = b.d == 31 && d1 == 30 ? 30 : b.d;
            return thirty(a, d1, b, d2);
        }
        case DayCount::Thirty360E: {
            const Ymd a = fields(start), b = fields(end);
            return thirty(a, a.d == 31 ? 30 : a.d, b, b.d == 31 ? 30 : b.d);
        }
        case DayCount::Thirty360EIsda: {
            const Ymd a = fields(start), b = fields(end);
            const int d1 = a.d == 31 || last_of_february(a) ? 30 : a.d;
            const int d2 = b.d == 31 || (end != maturity && last_of_february(b)) ? 30 : b.d;
            return thirty(a, d1, b, d2);
        }
        case DayCount::ActActIsda: {
            if (start == end) return 0.0;
            const bool negative = start > end;
            const std::int64_t d1 = negative ? end : start, d2 = negative ? start : end;
            const std::int64_t y1 = fields(d1).y, y2 = fields(d2).y;
            const double dib1 = civil::is_leap(y1) ? 366.0 : 365.0, dib2 = civil::is_leap(y2) ? 366.0 : 365.0;
            double sum = static_cast<double>(y2 - y1 - 1);
            sum += static_cast<double>(civil::to_days(y1 + 1, 1, 1) + civil::epoch_serial - d1) / dib1;
            sum += static_cast<double>(d2 - (civil::to_days(y2, 1, 1) + civil::epoch_serial)) / dib2;
            return negative ? -sum : sum;
        }
        case DayCount::ActActIcma:
            break;
    }
    year_fraction_needs_period(dc);
}

// ACT/ACT ICMA from `start` to `end` with the reference (regular coupon)
// period [ref_start, ref_end]: the fraction of the period's length in years
// (its months, from its days, over 12), each part of [start, end] outside the
// period counted against the notional periods before or after it. Error when
// the period does not end after both its start and `start`, or when `start`
// lies before a period that `end` passes.
double year_fraction_icma(std::int64_t start, std::int64_t end, std::int64_t ref_start, std::int64_t ref_end);

}  // namespace quill
