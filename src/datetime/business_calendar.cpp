#include "datetime/business_calendar.hpp"

#include <algorithm>
#include <array>

#include "core/errors.hpp"
#include "datetime/date.hpp"

namespace quill {

namespace {

constexpr std::array<std::string_view, 7> weekday_names{"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};

bool business_weekday(std::uint8_t mask, std::int64_t serial) {
    return ((mask >> civil::weekday_of_serial(serial)) & 1u) != 0;
}

void sort_unique(std::vector<std::int32_t>& v) {
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
}

bool contains(const std::vector<std::int32_t>& sorted, std::int32_t d) {
    return std::binary_search(sorted.begin(), sorted.end(), d);
}

std::string range_text(const CalendarDays& c) {
    return Date::from_serial(c.first).to_string() + " to " + Date::from_serial(c.last).to_string();
}

}  // namespace

std::string weekmask_text(std::uint8_t weekmask) {
    std::string text(7, '0');
    for (int w = 0; w < 7; ++w) {
        if ((weekmask >> w) & 1u) text[static_cast<std::size_t>(w)] = '1';
    }
    return text;
}

std::uint8_t parse_weekmask(std::string_view text) {
    const auto refuse = [&]() {
        throw Error("Weekmask (" + std::string(text) +
                    ") must be seven characters 0 or 1, Monday first, or weekday names such as \"Mon Tue Wed Thu "
                    "Fri\"");
    };
    if (text.size() == 7 && std::all_of(text.begin(), text.end(), [](char c) { return c == '0' || c == '1'; })) {
        std::uint8_t mask = 0;
        for (int w = 0; w < 7; ++w) {
            if (text[static_cast<std::size_t>(w)] == '1') mask = static_cast<std::uint8_t>(mask | (1u << w));
        }
        return mask;
    }
    // Names, separated by white space, each once at most.
    std::uint8_t mask = 0;
    std::size_t i = 0;
    bool any = false;
    while (i < text.size()) {
        if (text[i] == ' ' || text[i] == '\t' || text[i] == '\n') {
            ++i;
            continue;
        }
        std::size_t j = i;
        while (j < text.size() && text[j] != ' ' && text[j] != '\t' && text[j] != '\n') ++j;
        const std::string_view word = text.substr(i, j - i);
        const auto it = std::find(weekday_names.begin(), weekday_names.end(), word);
        if (it == weekday_names.end()) refuse();
        const unsigned bit = 1u << static_cast<unsigned>(it - weekday_names.begin());
        if (mask & bit) refuse();
        mask = static_cast<std::uint8_t>(mask | bit);
        any = true;
        i = j;
    }
    if (!any) refuse();
    return mask;
}

namespace {

std::size_t hash_of(const CalendarDays& c) {
    // FNV-1a over the content's integers.
    std::uint64_t h = 1469598103934665603ull;
    const auto mix = [&](std::uint64_t v) {
        for (int i = 0; i < 8; ++i) {
            h ^= (v >> (8 * i)) & 0xff;
            h *= 1099511628211ull;
        }
    };
    mix(c.weekmask);
    mix(c.has_range() ? static_cast<std::uint32_t>(c.first) : 1);
    mix(c.has_range() ? static_cast<std::uint32_t>(c.last) : 0);
    mix(c.holidays.size());
    for (const std::int32_t d : c.holidays) mix(static_cast<std::uint32_t>(d));
    mix(c.extra_days.size());
    for (const std::int32_t d : c.extra_days) mix(static_cast<std::uint32_t>(d));
    return static_cast<std::size_t>(h);
}

}  // namespace

BusinessCalendar::State::State(CalendarDays c, std::string n)
    : content(std::move(c)), days(content), name(std::move(n)), hash(hash_of(content)) {}

BusinessCalendar BusinessCalendar::from_content(CalendarDays c, std::string name) {
    c.weekmask &= 0x7f;
    if (c.weekmask == 0) throw Error("Weekmask (0000000) must have at least one business day");
    if (!c.has_range()) c.first = 1, c.last = 0;
    const std::int32_t lo = c.has_range() ? c.first : Date::min_serial;
    const std::int32_t hi = c.has_range() ? c.last : Date::max_serial;
    const auto keep = [&](std::vector<std::int32_t>& v, bool on_business_weekdays) {
        std::erase_if(v, [&](std::int32_t d) {
            return d < lo || d > hi || business_weekday(c.weekmask, d) != on_business_weekdays;
        });
        sort_unique(v);
    };
    keep(c.holidays, true);
    keep(c.extra_days, false);
    return BusinessCalendar(std::make_shared<const State>(std::move(c), std::move(name)));
}

BusinessCalendar BusinessCalendar::from_holidays(std::uint8_t weekmask, std::vector<std::int32_t> holidays,
                                                 std::string name) {
    CalendarDays c;
    c.weekmask = weekmask;
    c.holidays = std::move(holidays);
    return from_content(std::move(c), std::move(name));
}

BusinessCalendar BusinessCalendar::from_rule(const CalendarRule& rule, std::vector<std::int32_t> holidays) {
    const BusinessDays days(rule, {});
    std::uint8_t mask = 0;
    for (int w = 0; w < 7; ++w) {
        if (!days.is_weekend(2 + w)) mask = static_cast<std::uint8_t>(mask | (1u << w));  // serial 2 is a Monday
    }
    return from_holidays(mask, std::move(holidays), rule.get_name());
}

BusinessCalendar BusinessCalendar::from_market(std::string name, std::uint8_t weekmask, const std::vector<bool>& weekend,
                                               std::vector<std::int32_t> holidays, std::vector<std::int32_t> workdays,
                                               std::int32_t first, std::int32_t last) {
    if (first > last) throw Error("A market calendar needs a range of dates");
    if (!weekend.empty() && weekend.size() != static_cast<std::size_t>(last - first) + 1) {
        throw Error("A market calendar needs one weekend flag a day");
    }
    sort_unique(holidays);
    sort_unique(workdays);
    CalendarDays c;
    c.weekmask = weekmask;
    c.first = first;
    c.last = last;
    for (std::int32_t d = first; d <= last; ++d) {
        const bool off = weekend.empty() ? !business_weekday(weekmask, d) : weekend[static_cast<std::size_t>(d - first)];
        const bool business = off ? contains(workdays, d) : !contains(holidays, d);
        if (business_weekday(weekmask, d)) {
            if (!business) c.holidays.push_back(d);
        } else if (business) {
            c.extra_days.push_back(d);
        }
    }
    return from_content(std::move(c), std::move(name));
}

BusinessCalendar BusinessCalendar::join(const BusinessCalendar& other) const {
    const CalendarDays& a = content();
    const CalendarDays& b = other.content();
    CalendarDays c;
    c.weekmask = static_cast<std::uint8_t>(a.weekmask & b.weekmask);
    if (a.has_range() && b.has_range()) {
        c.first = std::max(a.first, b.first);
        c.last = std::min(a.last, b.last);
        if (c.first > c.last) {
            throw Error("The calendars cover no common day (" + range_text(a) + " and " + range_text(b) + ")");
        }
    } else if (a.has_range() || b.has_range()) {
        c.first = a.has_range() ? a.first : b.first;
        c.last = a.has_range() ? a.last : b.last;
    }
    // Only the days either calendar marks can differ from the joined mask.
    std::vector<std::int32_t> marked;
    for (const auto* list : {&a.holidays, &a.extra_days, &b.holidays, &b.extra_days}) {
        marked.insert(marked.end(), list->begin(), list->end());
    }
    sort_unique(marked);
    for (const std::int32_t d : marked) {
        const bool business = days().is_business_day(d) && other.days().is_business_day(d);
        if (business_weekday(c.weekmask, d)) {
            if (!business) c.holidays.push_back(d);
        } else if (business) {
            c.extra_days.push_back(d);
        }
    }
    std::string joined = name().empty() || other.name().empty() ? std::string() : name() + " | " + other.name();
    return from_content(std::move(c), std::move(joined));
}

BusinessCalendar BusinessCalendar::with_holidays(std::vector<std::int32_t> holidays) const {
    if (holidays.empty()) return *this;
    CalendarDays c = content();
    sort_unique(holidays);
    // A listed weekend day worked by the market is not worked any more.
    std::erase_if(c.extra_days, [&](std::int32_t d) { return contains(holidays, d); });
    c.holidays.insert(c.holidays.end(), holidays.begin(), holidays.end());
    return from_content(std::move(c), name());
}

}  // namespace quill
