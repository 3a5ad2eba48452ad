// Calendar dates held as serial day numbers (1899-12-30 is serial 0) with the
// year, month and day cached beside the serial.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/civil.hpp"

namespace quill {

struct YearMonthDay {
    std::uint16_t year;
    std::uint8_t month;
    std::uint8_t day;
};

bool is_leap_year(std::uint16_t year) noexcept;
// 28 to 31; a month outside 1..12 is a Failure.
std::uint8_t days_in_month(std::uint16_t year, std::uint8_t month);
// Throws Error with the first failed rule's message.
YearMonthDay validate_ymd(std::uint16_t year, std::uint8_t month, std::uint8_t day);
// Monday = 0 ... Sunday = 6. Inline: calendars ask it of every date they see.
inline int weekday_index(std::int32_t serial) noexcept { return static_cast<int>(civil::weekday_of_serial(serial)); }

class Date {
public:
    static constexpr std::int32_t min_serial = -363;       // 1899-01-01
    static constexpr std::int32_t max_serial = 23242572;   // 65535-12-31

    // Validates the fields (Error on failure).
    static Date from_ymd(std::uint16_t year, std::uint8_t month, std::uint8_t day);
    // Any serial outside [min_serial, max_serial] is a Failure. Takes 64 bits so
    // that sums of a serial and a day count never wrap before the check.
    static Date from_serial(std::int64_t serial);
    // "YYYY-MM-DD" or "YYYYMMDD" (the separators are not examined); Error otherwise.
    static Date parse(std::string_view text);

    std::int32_t serial() const noexcept { return serial_; }
    const YearMonthDay& ymd() const noexcept { return ymd_; }
    std::uint16_t year() const noexcept { return ymd_.year; }
    std::uint8_t month() const noexcept { return ymd_.month; }
    std::uint8_t day() const noexcept { return ymd_.day; }
    int weekday() const noexcept { return weekday_index(serial_); }

    std::string to_string() const;

private:
    Date(std::int32_t serial, YearMonthDay ymd) noexcept : serial_(serial), ymd_(ymd) {}

    std::int32_t serial_;
    YearMonthDay ymd_;
};

}  // namespace quill
