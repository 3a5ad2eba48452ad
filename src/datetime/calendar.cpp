#include "datetime/calendar.hpp"

#include <string>

#include "core/errors.hpp"

namespace quill {

namespace {
const NoneRule none_rule;
const WeekendRule weekend_rule;
}  // namespace

Calendar Calendar::from_name(std::string_view name) {
    if (name == "QD_WEEK") return Calendar(&weekend_rule);
    if (name == "QD_NONE") return Calendar(&none_rule);
    throw Error("Unknown calendar name (" + std::string(name) + ")");
}

}  // namespace quill
