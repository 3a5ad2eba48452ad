#include "datetime/schedule.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "core/errors.hpp"

namespace quill {

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

// Every date adjusted in the calendar's block loop (in place); from a date
// the loop refuses on, each alone, which raises that date's error.
std::vector<std::int32_t> adjusted_all(const std::vector<std::int32_t>& dates, const BusinessDays& days,
                                       BusDayAdj adj) {
    const std::size_t n = dates.size();
    std::vector<std::int64_t> work(dates.begin(), dates.end());
    const std::int64_t done = days.adjust_days(work.data(), work.data(), static_cast<std::int64_t>(n), 0,
                                               std::numeric_limits<std::int64_t>::min(), adj);
    std::vector<std::int32_t> result(n);
    for (std::size_t i = 0; i < n; ++i) {
        result[i] = static_cast<std::int64_t>(i) < done ? static_cast<std::int32_t>(work[i]) : days.adjust(dates[i], adj);
    }
    return result;
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
    // The dates in the order met stepping out from the anchor: from the end
    // for front stubs, from the start otherwise.
    std::vector<std::int32_t> dates;
    bool backward = false;
    switch (stub) {
        case StubType::FrontShort:
        case StubType::FrontLong: {
            backward = true;
            dates.push_back(end.serial());
            regular_dates(end, -1, start, tenor, end_of_month, dates);
            if (dates.back() != start.serial()) {
                // A front stub: a long one takes in the short period's end.
                if (stub == StubType::FrontLong && dates.size() >= 2) dates.pop_back();
                dates.push_back(start.serial());
            }
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
    // Dates that adjust to the same day are kept once: the one met first
    // stepping out from the anchor stays (a date's place decides whether the
    // end-of-month rule moves it).
    std::vector<std::int32_t> adjusted = adjusted_all(dates, days, adj);
    std::size_t m = 0;
    for (std::size_t i = 0; i < dates.size(); ++i) {
        if (m > 0 && adjusted[i] == adjusted[m - 1]) continue;
        dates[m] = dates[i];
        adjusted[m] = adjusted[i];
        ++m;
    }
    dates.resize(m);
    adjusted.resize(m);
    if (backward) {
        std::reverse(dates.begin(), dates.end());
        std::reverse(adjusted.begin(), adjusted.end());
    }
    // The market's end-of-month rule: an anchor with no business day after it
    // in its month makes every date between the ends its month's last day
    // (adjusted again); otherwise the adjusted dates above stand.
    const bool months = tenor.unit == TenorUnit::M || tenor.unit == TenorUnit::Y;
    if (end_of_month && months && m > 2 && days.is_month_end(backward ? end.serial() : start.serial())) {
        for (std::size_t i = 1; i + 1 < m; ++i) {
            const Date d = Date::from_serial(dates[i]);
            adjusted[i] = days.adjust(Date::from_ymd(d.year(), d.month(), days_in_month(d.year(), d.month())).serial(), adj);
        }
    }
    // A date next to an end that the month's end moved onto or past it goes.
    const std::size_t n = adjusted.size();
    if (n > 2 && adjusted[n - 2] >= adjusted[n - 1]) adjusted.erase(adjusted.end() - 2);
    if (adjusted.size() > 2 && adjusted[1] <= adjusted[0]) adjusted.erase(adjusted.begin() + 1);
    adjusted.erase(std::unique(adjusted.begin(), adjusted.end()), adjusted.end());
    return adjusted;
}

}  // namespace quill
