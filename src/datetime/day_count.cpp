#include "datetime/day_count.hpp"

#include <cmath>
#include <vector>

#include "core/errors.hpp"
#include "datetime/date.hpp"

namespace quill {

std::string day_count_name_list(bool with_icma) {
    const std::size_t n = with_icma ? day_count_names.size() : day_count_names.size() - 1;
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0) out += i + 1 == n ? " or " : ", ";
        out += '"';
        out += day_count_names[i];
        out += '"';
    }
    return out;
}

DayCount day_count_from_name(std::string_view name) {
    for (std::size_t i = 0; i < day_count_names.size(); ++i) {
        if (name == day_count_names[i]) return static_cast<DayCount>(i);
    }
    throw Error("Unknown day count (" + std::string(name) + "); use " + day_count_name_list());
}

void year_fraction_needs_period(DayCount dc) {
    throw Error("Day count " + std::string(day_count_names[static_cast<std::size_t>(dc)]) +
                " needs a reference period; use " + day_count_name_list(false));
}

namespace {

std::string text(std::int64_t serial) { return Date::from_serial(serial).to_string(); }

// `serial` plus `n` months, the day clamped to the month's length.
std::int64_t add_months(std::int64_t serial, std::int64_t n) {
    const civil::Fields f = civil::from_days(serial - civil::epoch_serial);
    const std::int64_t t = f.year * 12 + (f.month - 1) + n;
    if (t < 12 || t >= std::int64_t{1000000} * 12) fail("Reference period of " + text(serial) + " moved past the range of dates");
    const std::int64_t year = t / 12;
    const auto month = static_cast<unsigned>(t % 12 + 1);
    const unsigned day = std::min(f.day, civil::month_length(year, month));
    return civil::to_days(year, month, day) + civil::epoch_serial;
}

// A part of a reference period: start <= d1 < d2 <= end, or d1 == d2.
double part(std::int64_t d1, std::int64_t d2, std::int64_t ref_start, std::int64_t ref_end) {
    if (d1 == d2) return 0.0;
    const auto months = std::lround(12 * static_cast<double>(ref_end - ref_start) / 365);
    const double period = static_cast<double>(months) / 12.0;
    return period * static_cast<double>(d2 - d1) / static_cast<double>(ref_end - ref_start);
}

double forward(std::int64_t d1, std::int64_t d2, std::int64_t rs, std::int64_t re) {
    auto months = std::lround(12 * static_cast<double>(re - rs) / 365);
    if (months == 0) {  // a short period: a year from the start stands in for it
        rs = d1;
        re = add_months(d1, 12);
        months = 12;
    }
    const double period = static_cast<double>(months) / 12.0;
    if (d2 <= re) {
        if (d1 >= rs) return period * static_cast<double>(d2 - d1) / static_cast<double>(re - rs);
        // A long first period: notional periods back from the reference
        // period until one holds the start; the deepest part is added first.
        struct Part {
            std::int64_t from, to, rs, re;
        };
        std::vector<Part> parts;
        std::int64_t to = d2;
        for (;;) {
            if (d1 >= rs) {
                double sum = part(d1, to, rs, re);
                for (auto p = parts.rbegin(); p != parts.rend(); ++p) sum += part(p->from, p->to, p->rs, p->re);
                return sum;
            }
            const auto m = std::lround(12 * static_cast<double>(re - rs) / 365);
            const std::int64_t previous = add_months(rs, -m);
            if (to > rs) {
                parts.push_back({rs, to, rs, re});
                to = rs;
            }
            re = rs;
            rs = previous;
        }
    }
    if (rs > d1) {
        throw Error("ACT/ACT ICMA start (" + text(d1) + ") is before its reference period (" + text(rs) + " to " +
                    text(re) + ") and its end (" + text(d2) + ") after it");
    }
    double sum = part(d1, re, rs, re);
    // Whole notional periods after the reference period, then the rest.
    std::int64_t new_start = re, new_end;
    for (std::int64_t i = 0;; ++i) {
        new_start = add_months(re, months * i);
        new_end = add_months(re, months * (i + 1));
        if (d2 < new_end) break;
        sum += period;
    }
    return sum + part(new_start, d2, new_start, new_end);
}

}  // namespace

double year_fraction_icma(std::int64_t start, std::int64_t end, std::int64_t ref_start, std::int64_t ref_end) {
    if (start == end) return 0.0;
    const bool negative = start > end;
    const std::int64_t d1 = negative ? end : start, d2 = negative ? start : end;
    if (!(ref_end > ref_start && ref_end > d1)) {
        throw Error("ACT/ACT ICMA reference period (" + text(ref_start) + " to " + text(ref_end) +
                    ") must end after its start and after " + text(d1));
    }
    const double f = forward(d1, d2, ref_start, ref_end);
    return negative ? -f : f;
}

}  // namespace quill
