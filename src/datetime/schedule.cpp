#include "datetime/schedule.hpp"

#include <algorithm>
#include <string>

#include "core/errors.hpp"

namespace quill {

namespace {

// A calendar's rule decides by weekday alone (neither rule has holidays), so
// one week of answers is the whole rule. 1900-01-01, serial 2, is a Monday.
std::uint8_t week_mask_of(const CalendarRule& rule) {
    std::uint8_t mask = 0;
    for (int w = 0; w < 7; ++w) {
        if (rule.is_business_day(Date::from_serial(2 + w))) mask = static_cast<std::uint8_t>(mask | (1u << w));
    }
    return mask;
}

std::string date_text(std::int64_t serial) { return Date::from_serial(serial).to_string(); }

// Days to the month's last day for each day of a 400-year cycle from
// 0000-03-01 (civil day -719468).
const std::uint8_t* month_end_table() {
    static const std::vector<std::uint8_t> table = [] {
        std::vector<std::uint8_t> t(146097);
        for (std::int64_t doe = 0; doe < 146097; ++doe) {
            const civil::Fields f = civil::from_days(doe - 719468);
            t[static_cast<std::size_t>(doe)] = static_cast<std::uint8_t>(civil::month_length(f.year, f.month) - f.day);
        }
        return t;
    }();
    return table.data();
}

}  // namespace

void BusinessDays::no_day_after(std::int32_t serial) {
    fail("No business day on or after " + date_text(serial) + " up to 65535-12-31, the last representable date");
}

void BusinessDays::no_day_before(std::int32_t serial) {
    fail("No business day on or before " + date_text(serial) + " down to 1899-01-01, the first valid date");
}

void BusinessDays::unknown_rule(BusDayAdj rule) {
    throw Error("Unknown business-day adjustment (" + std::to_string(static_cast<int>(rule)) + ")");
}

BusinessDays::BusinessDays(const CalendarRule& rule, const std::vector<std::int32_t>& holidays)
    : month_ends_(month_end_table()), week_mask_(week_mask_of(rule)) {
    for (unsigned w = 0; w < 7 && week_mask_ != 0; ++w) {
        while (((week_mask_ >> ((w + ahead_[w]) % 7)) & 1u) == 0) ++ahead_[w];
        while (((week_mask_ >> ((w + 7 - back_[w]) % 7)) & 1u) == 0) ++back_[w];
    }
    // Holidays outside the date range move no valid date to a valid one;
    // leaving them out keeps every search within a week of the range.
    std::int32_t lo = Date::max_serial, hi = Date::min_serial;
    for (const std::int32_t h : holidays) {
        if (h < Date::min_serial || h > Date::max_serial) continue;
        lo = std::min(lo, h);
        hi = std::max(hi, h);
    }
    if (lo > hi) return;
    first_holiday_ = lo;
    span_ = static_cast<std::uint64_t>(hi - lo) + 1;
    holidays_.assign(static_cast<std::size_t>((span_ + 63) / 64), 0);
    for (const std::int32_t h : holidays) {
        if (h < Date::min_serial || h > Date::max_serial) continue;
        const auto offset = static_cast<std::uint64_t>(h - first_holiday_);
        holidays_[offset >> 6] |= std::uint64_t{1} << (offset & 63);
    }
}

// The loop of adjust() over many days, with the rule's fields held in locals
// (stores to `out` could otherwise alias them) and the holiday search left out
// when there are none.
template <BusDayAdj R, bool Holidays>
std::int64_t BusinessDays::adjust_days_as(const std::int64_t* in, std::int64_t* out, std::int64_t n,
                                          std::int64_t offset, std::int64_t skip) const {
    if (week_mask_ == 0) {  // no business day anywhere: the first date fails
        for (std::int64_t i = 0; i < n; ++i) {
            if (in[i] != skip) return i;
            out[i] = skip;
        }
        return n;
    }
    std::uint8_t ahead[7], back[7];
    std::copy(ahead_, ahead_ + 7, ahead);
    std::copy(back_, back_ + 7, back);
    const std::uint8_t* const month_ends = month_ends_;
    const std::uint64_t* const bits = holidays_.data();
    const std::int64_t first = first_holiday_;
    const std::uint64_t span = span_;
    const auto holiday = [&](std::int64_t s) {
        if constexpr (!Holidays) {
            return false;
        } else {
            const auto offset_in = static_cast<std::uint64_t>(s - first);
            return offset_in < span && ((bits[offset_in >> 6] >> (offset_in & 63)) & 1u) != 0;
        }
    };
    const auto next = [&](std::int64_t s) {
        s += ahead[weekday(s)];
        while (holiday(s)) {
            ++s;
            s += ahead[weekday(s)];
        }
        return s;
    };
    const auto previous = [&](std::int64_t s) {
        s -= back[weekday(s)];
        while (holiday(s)) {
            --s;
            s -= back[weekday(s)];
        }
        return s;
    };
    for (std::int64_t i = 0; i < n; ++i) {
        const std::int64_t d = in[i];
        if (d == skip) {
            out[i] = d;
            continue;
        }
        const std::int64_t serial = d + offset;
        std::int64_t s;
        if constexpr (R == BusDayAdj::Following) {
            s = next(serial);
            if (s > Date::max_serial) return i;
        } else if constexpr (R == BusDayAdj::Preceding) {
            s = previous(serial);
            if (s < Date::min_serial) return i;
        } else {
            s = next(serial);
            if (s - serial > month_ends[static_cast<std::uint32_t>(serial + 693899) % 146097]) {
                s = previous(serial);
                if (s < Date::min_serial) return i;
            }
        }
        out[i] = s - offset;
    }
    return n;
}

std::int64_t BusinessDays::adjust_days(const std::int64_t* in, std::int64_t* out, std::int64_t n,
                                       std::int64_t offset, std::int64_t skip, BusDayAdj rule) const {
    const bool holidays = span_ != 0;
    switch (rule) {
        case BusDayAdj::Unadjusted:
            std::copy(in, in + n, out);
            return n;
        case BusDayAdj::Following:
            return holidays ? adjust_days_as<BusDayAdj::Following, true>(in, out, n, offset, skip)
                            : adjust_days_as<BusDayAdj::Following, false>(in, out, n, offset, skip);
        case BusDayAdj::Preceding:
            return holidays ? adjust_days_as<BusDayAdj::Preceding, true>(in, out, n, offset, skip)
                            : adjust_days_as<BusDayAdj::Preceding, false>(in, out, n, offset, skip);
        case BusDayAdj::ModFollowing:
            return holidays ? adjust_days_as<BusDayAdj::ModFollowing, true>(in, out, n, offset, skip)
                            : adjust_days_as<BusDayAdj::ModFollowing, false>(in, out, n, offset, skip);
    }
    unknown_rule(rule);
}

namespace {

// The regular dates of a schedule: the anchor plus k tenors for k = 1, 2, ...
// in direction `dir` (+1 forward, -1 backward), each computed from the anchor
// so that month ends do not drift, up to and including `limit`. Month and year
// steps clamp the day to the target month as add_tenor does, or with the
// end-of-month rule take the month's last day. Every date examined lies in the
// months between the anchor and the limit, so none leaves the date range and
// the loop ends after at most one step per day of the span.
void regular_dates(const Date& anchor, int dir, const Date& limit, const Tenor& tenor, bool end_of_month,
                   std::vector<std::int32_t>& out) {
    const std::int64_t n = tenor.count;
    const auto beyond = [&](std::int64_t s) { return dir > 0 ? s > limit.serial() : s < limit.serial(); };
    if (tenor.unit == TenorUnit::D || tenor.unit == TenorUnit::W) {
        const std::int64_t step = tenor.unit == TenorUnit::W ? 7 * n : n;
        for (std::int64_t k = 1;; ++k) {
            const std::int64_t s = anchor.serial() + dir * k * step;
            if (beyond(s)) return;
            out.push_back(static_cast<std::int32_t>(s));
        }
    }
    const std::int64_t months = tenor.unit == TenorUnit::Y ? 12 * n : n;
    const std::int64_t first = std::int64_t{anchor.year()} * 12 + (anchor.month() - 1);
    const std::int64_t last = std::int64_t{limit.year()} * 12 + (limit.month() - 1);
    const bool month_ends = end_of_month && anchor.day() == days_in_month(anchor.year(), anchor.month());
    for (std::int64_t k = 1;; ++k) {
        const std::int64_t t = first + dir * k * months;
        if (dir > 0 ? t > last : t < last) return;
        const auto year = static_cast<std::uint16_t>(t / 12);  // t >= 1899 * 12 here
        const auto month = static_cast<std::uint8_t>(t % 12 + 1);
        const std::uint8_t length = days_in_month(year, month);
        const std::uint8_t day = month_ends ? length : std::min(anchor.day(), length);
        const std::int32_t s = Date::from_ymd(year, month, day).serial();
        if (beyond(s)) return;
        out.push_back(s);
    }
}

}  // namespace

std::vector<std::int32_t> make_schedule(const Date& start, const Date& end, const Tenor& tenor,
                                        const BusinessDays& days, BusDayAdj adj, StubType stub, bool end_of_month) {
    if (start.serial() >= end.serial()) {
        throw Error("Schedule start (" + start.to_string() + ") must be before its end (" + end.to_string() + ")");
    }
    if (tenor.unit == TenorUnit::B) {
        throw Error("Schedule tenor (" + tenor.to_string() + ") cannot be in business days; use D, W, M or Y");
    }
    if (tenor.count <= 0) {
        throw Error("Schedule tenor (" + tenor.to_string() + ") must be positive");
    }
    if (static_cast<int>(adj) > static_cast<int>(BusDayAdj::ModFollowing)) {
        throw Error("Unknown business-day adjustment (" + std::to_string(static_cast<int>(adj)) + ")");
    }
    std::vector<std::int32_t> dates;
    switch (stub) {
        case StubType::FrontShort:
        case StubType::FrontLong: {
            dates.push_back(end.serial());
            regular_dates(end, -1, start, tenor, end_of_month, dates);
            if (dates.back() != start.serial()) {
                // A front stub: a long one takes in the short period's end.
                if (stub == StubType::FrontLong && dates.size() >= 2) dates.pop_back();
                dates.push_back(start.serial());
            }
            std::reverse(dates.begin(), dates.end());
            break;
        }
        case StubType::BackShort:
        case StubType::BackLong:
        case StubType::NoStub: {
            dates.push_back(start.serial());
            regular_dates(start, 1, end, tenor, end_of_month, dates);
            if (dates.back() != end.serial()) {
                if (stub == StubType::NoStub) {
                    throw Error("Schedule end (" + end.to_string() + ") is not a whole number of " +
                                tenor.to_string() + " periods after its start (" + start.to_string() +
                                "); NoStub needs one");
                }
                if (stub == StubType::BackLong && dates.size() >= 2) dates.pop_back();
                dates.push_back(end.serial());
            }
            break;
        }
        default:
            throw Error("Unknown stub type (" + std::to_string(static_cast<int>(stub)) + ")");
    }
    for (std::int32_t& d : dates) d = days.adjust(d, adj);
    // Adjustment keeps the order (each rule is monotone), so coinciding
    // dates are neighbours.
    dates.erase(std::unique(dates.begin(), dates.end()), dates.end());
    return dates;
}

}  // namespace quill
