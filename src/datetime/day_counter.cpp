#include "datetime/day_counter.hpp"

#include <string>

#include "core/errors.hpp"

namespace quill {

DayCounter day_counter_from_name(std::string_view name) {
    if (name == "Thirty360") return DayCounter::Thirty360;
    if (name == "Act365") return DayCounter::Act365;
    if (name == "Act360") return DayCounter::Act360;
    throw Error("Unknown day-counter name (" + std::string(name) + ")");
}

double day_count_basis(DayCounter dc) {
    switch (dc) {
        case DayCounter::Act365:
            return 365.0;
        case DayCounter::Act360:
            return 360.0;
        case DayCounter::Thirty360:
            break;
    }
    fail("not implemented");
}

double year_fraction(DayCounter dc, const Date& d1, const Date& d2) {
    const double basis = day_count_basis(dc);
    const std::int32_t days = d2.serial() - d1.serial();
    return static_cast<double>(days) / basis;
}

}  // namespace quill
