#include "datetime/date.hpp"

#include <cstdio>

#include "core/errors.hpp"

namespace quill {

bool is_leap_year(std::uint16_t year) noexcept { return civil::is_leap(year); }

std::uint8_t days_in_month(std::uint16_t year, std::uint8_t month) {
    if (month < 1 || month > 12) fail("Invalid month (" + std::to_string(month) + "), need to be betwen 1 and 12");
    return static_cast<std::uint8_t>(civil::month_length(year, month));
}

YearMonthDay validate_ymd(std::uint16_t year, std::uint8_t month, std::uint8_t day) {
    if (year < 1899) {
        throw Error("Year (" + std::to_string(year) + ") must be >= 1899");
    }
    if (month < 1 || month > 12) {
        throw Error("Month (" + std::to_string(month) + ") must be between 1 and 12");
    }
    const std::uint8_t last = days_in_month(year, month);
    if (day == 0 || day > last) {
        throw Error("Day (" + std::to_string(day) + ") must be between 1 and " + std::to_string(last) +
                    ", for year " + std::to_string(year) + " and month " + std::to_string(month));
    }
    return {year, month, day};
}

Date Date::from_ymd(std::uint16_t year, std::uint8_t month, std::uint8_t day) {
    const YearMonthDay ymd = validate_ymd(year, month, day);
    return Date(static_cast<std::int32_t>(civil::to_days(year, month, day) + civil::epoch_serial), ymd);
}

Date Date::from_serial(std::int64_t serial) {
    if (serial < min_serial) {
        fail("Year (" + std::to_string(civil::year_of_days(serial - civil::epoch_serial)) + ") must be >= 1899");
    }
    if (serial > max_serial) {
        fail("Date serial (" + std::to_string(serial) + ") is after 65535-12-31, the last representable date");
    }
    const civil::Fields f = civil::from_days(serial - civil::epoch_serial);
    return Date(static_cast<std::int32_t>(serial), {static_cast<std::uint16_t>(f.year), static_cast<std::uint8_t>(f.month),
                                                    static_cast<std::uint8_t>(f.day)});
}

namespace {

// An unsigned decimal field: one optional '+' then one or more ASCII digits.
bool parse_field(std::string_view field, std::uint32_t& out) {
    if (!field.empty() && field.front() == '+') {
        field.remove_prefix(1);
    }
    if (field.empty()) {
        return false;
    }
    std::uint32_t value = 0;
    for (const char c : field) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    out = value;
    return true;
}

}  // namespace

Date Date::parse(std::string_view text) {
    std::string_view ys, ms, ds;
    if (text.size() == 10) {
        ys = text.substr(0, 4);
        ms = text.substr(5, 2);
        ds = text.substr(8, 2);
    } else if (text.size() == 8) {
        ys = text.substr(0, 4);
        ms = text.substr(4, 2);
        ds = text.substr(6, 2);
    } else {
        throw Error("Need length of date string (" + std::to_string(text.size()) + ") to be 8 or 10");
    }
    std::uint32_t y = 0, m = 0, d = 0;
    const bool ok_y = parse_field(ys, y);
    const bool ok_m = parse_field(ms, m);
    const bool ok_d = parse_field(ds, d);
    if (!(ok_y && ok_m && ok_d)) {
        throw Error("Unable to parse date string (" + std::string(text) + ") into integers");
    }
    // Four and two digit fields always fit 16 and 8 bits.
    return from_ymd(static_cast<std::uint16_t>(y), static_cast<std::uint8_t>(m), static_cast<std::uint8_t>(d));
}

std::string Date::to_string() const {
    char buf[16];
    const int len = std::snprintf(buf, sizeof buf, "%04u-%02u-%02u", static_cast<unsigned>(ymd_.year),
                                  static_cast<unsigned>(ymd_.month), static_cast<unsigned>(ymd_.day));
    return std::string(buf, static_cast<std::size_t>(len));
}

}  // namespace quill
