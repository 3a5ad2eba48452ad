// Business-day calendars: a Calendar refers to one of two process-wide,
// stateless weekend rules.
#pragma once

#include <string_view>

#include "datetime/date.hpp"

namespace quill {

class CalendarRule {
public:
    virtual ~CalendarRule() = default;
    virtual const char* get_name() const noexcept = 0;
    virtual bool is_business_day(const Date& date) const noexcept = 0;
    virtual bool is_weekend(const Date& date) const noexcept = 0;
};

// "QD_NONE": every day is a business day.
class NoneRule final : public CalendarRule {
public:
    const char* get_name() const noexcept override { return "QD_NONE"; }
    bool is_business_day(const Date&) const noexcept override { return true; }
    bool is_weekend(const Date&) const noexcept override { return false; }
};

// "QD_WEEK": Saturday and Sunday are weekend days.
class WeekendRule final : public CalendarRule {
public:
    const char* get_name() const noexcept override { return "QD_WEEK"; }
    bool is_business_day(const Date& date) const noexcept override { return date.weekday() < 5; }
    bool is_weekend(const Date& date) const noexcept override { return date.weekday() >= 5; }
};

class Calendar {
public:
    // Exact, case-sensitive names; Error for any other.
    static Calendar from_name(std::string_view name);

    const CalendarRule& rule() const noexcept { return *rule_; }

private:
    explicit Calendar(const CalendarRule* rule) noexcept : rule_(rule) {}
    const CalendarRule* rule_;
};

}  // namespace quill
