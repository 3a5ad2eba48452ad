// Day-count conventions: the distance between two dates as a year fraction.
#pragma once

#include <string_view>

#include "datetime/date.hpp"
#include "core/enum_traits.hpp"

namespace quill {

enum class DayCounter : std::uint8_t { Act365, Act360, Thirty360 };

template <>
struct EnumTraits<DayCounter> {
    static constexpr std::string_view name = "DayCounter";
    static constexpr std::array<std::string_view, 3> variants{"Act365", "Act360", "Thirty360"};
};

// Exact, case-sensitive names; Error for any other.
DayCounter day_counter_from_name(std::string_view name);

// Days per year of the convention; Thirty360 is a Failure ("not implemented").
double day_count_basis(DayCounter dc);

// (serial(d2) - serial(d1)) / basis, the difference taken in 32 bits.
double year_fraction(DayCounter dc, const Date& d1, const Date& d2);

}  // namespace quill
