// Tenors: a signed count of days, business days, weeks, months or years,
// written "<count><unit>" as in "3M" or "-2D".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "datetime/date.hpp"
#include "enums/tenor_unit.hpp"

namespace quill {

struct Tenor {
    std::int16_t count;
    TenorUnit unit;

    std::string to_string() const;
};

// The one tenor parser; Error for malformed text (the count is judged first).
Tenor parse_tenor(std::string_view text);

// Calendar arithmetic without an end-of-month rule: month and year steps keep
// the day number where the target month has it and clamp to its end otherwise.
// Business days and results outside the date range are Failures.
Date add_tenor(const Date& date, const Tenor& tenor);

}  // namespace quill
