// Civil dates of the proleptic Gregorian calendar: the one place where day
// numbers, year-month-day fields and weekdays are converted into each other.
// Two day counts meet here: serials (1899-12-30 is 0, the library's dates)
// and days since 1970-01-01 (NumPy's datetime64[D]); they differ by
// epoch_serial.
#pragma once

#include <cstdint>

namespace quill::civil {

inline constexpr std::int64_t epoch_serial = 25569;  // the serial of 1970-01-01

struct Fields {
    std::int64_t year;
    unsigned month, day;
};

constexpr bool is_leap(std::int64_t year) noexcept {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

// 28 to 31, for a month 1..12.
constexpr unsigned month_length(std::int64_t year, unsigned month) noexcept {
    if (month != 2) return 30 + ((month + (month >> 3)) & 1);  // 31 for Jan, Mar, May, Jul, Aug, Oct, Dec
    return is_leap(year) ? 29 : 28;
}

// Days since 1970-01-01 <-> fields by the era arithmetic (400-year cycles
// counted from 0000-03-01), unsigned and branch-free for every day of the
// years 0 to 65535.
constexpr Fields from_days(std::int64_t days) noexcept {
    const auto z = static_cast<std::uint32_t>(days + 719468);
    const std::uint32_t era = z / 146097;
    const std::uint32_t doe = z - era * 146097;
    const std::uint32_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::uint32_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::uint32_t mp = (5 * doy + 2) / 153;
    const std::uint32_t d = doy - (153 * mp + 2) / 5 + 1;
    const std::uint32_t m = mp < 10 ? mp + 3 : mp - 9;
    return {static_cast<std::int64_t>(yoe + era * 400 + (m <= 2 ? 1 : 0)), m, d};
}

constexpr std::int64_t to_days(std::int64_t year, unsigned month, unsigned day) noexcept {
    const auto y = static_cast<std::uint32_t>(year - (month <= 2 ? 1 : 0));
    const std::uint32_t era = y / 400;
    const std::uint32_t yoe = y - era * 400;
    const std::uint32_t doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const std::uint32_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return static_cast<std::int64_t>(era) * 146097 + doe - 719468;
}

// The year of any day an int64 holds, for messages about days far outside
// the range of dates: the same arithmetic, signed and wide.
constexpr std::int64_t year_of_days(std::int64_t days) noexcept {
    const __int128 z = static_cast<__int128>(days) + 719468;
    const __int128 era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<std::int64_t>(z - era * 146097);
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    return static_cast<std::int64_t>(era * 400) + yoe + (mp >= 10 ? 1 : 0);
}

// Monday 0 ... Sunday 6: the remainder of (serial - 2) by 7, serial 2
// (1900-01-01) being a Monday. Unsigned 32-bit arithmetic, so that loops over
// many dates stay tight; exact for every serial from -698 (two years before
// the first date, room for searches that step past the range) on.
constexpr unsigned weekday_of_serial(std::int64_t serial) noexcept {
    return static_cast<std::uint32_t>(serial + 698) % 7;
}

}  // namespace quill::civil
