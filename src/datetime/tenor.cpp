#include "datetime/tenor.hpp"

#include <algorithm>

#include "core/errors.hpp"

namespace quill {

std::string Tenor::to_string() const {
    return std::to_string(count) + std::string(EnumTraits<TenorUnit>::variants[static_cast<std::size_t>(unit)]);
}

namespace {

bool parse_count(std::string_view text, std::int16_t& out) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return false;
    std::int32_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
        if (value > 32768) return false;  // beyond every 16-bit count; stops the growth
    }
    if (negative) value = -value;
    if (value > 32767) return false;
    out = static_cast<std::int16_t>(value);
    return true;
}

// The unit is the last character, which in UTF-8 may span several bytes.
std::size_t last_character_start(std::string_view text) {
    std::size_t i = text.size() - 1;
    while (i > 0 && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) --i;
    return i;
}

Date date_or_fail(std::uint16_t year, std::uint8_t month, std::uint8_t day) {
    try {
        return Date::from_ymd(year, month, day);
    } catch (const Error& e) {
        fail(e.message());
    }
}

}  // namespace

Tenor parse_tenor(std::string_view text) {
    if (text.empty()) {
        throw Error("Invalid tenor string (), need to be of the form '<count><unit>'");
    }
    const std::size_t unit_at = last_character_start(text);
    const std::string_view unit = text.substr(unit_at);
    std::int16_t count = 0;
    if (!parse_count(text.substr(0, unit_at), count)) {
        throw Error("Invalid tenor string (" + std::string(text) + "), need to be of the form '<count><unit>'");
    }
    constexpr auto& units = EnumTraits<TenorUnit>::variants;
    const auto found = std::find(units.begin(), units.end(), unit);
    if (found == units.end()) {
        throw Error("Invalid tenor unit (" + std::string(unit) + "), can only have D, B, W, M, Y");
    }
    return {count, static_cast<TenorUnit>(found - units.begin())};
}

Date add_tenor(const Date& date, const Tenor& tenor) {
    const std::int64_t n = tenor.count;
    switch (tenor.unit) {
        case TenorUnit::D:
            return Date::from_serial(date.serial() + n);
        case TenorUnit::W:
            return Date::from_serial(date.serial() + 7 * n);
        case TenorUnit::B:
            fail("Cannot add TenorUnit::B without a calendar input");
        case TenorUnit::M:
        case TenorUnit::Y:
            break;
    }
    std::int64_t year = date.year();
    std::int64_t month = date.month();
    if (tenor.unit == TenorUnit::M) {
        const std::int64_t k = (month - 1) + n;
        if (k < -32768 || k > 32767) {
            fail("Month total (" + std::to_string(k) + ") of " + date.to_string() + " plus " + tenor.to_string() +
                 " is outside 16 bits");
        }
        const std::int64_t q = k >= 0 ? k / 12 : -((-k + 11) / 12);  // rounded towards minus infinity
        month = k - 12 * q + 1;
        year += q;
    } else {
        year += n;
    }
    if (year < 0 || year > 65535) {
        fail("Year (" + std::to_string(year) + ") of " + date.to_string() + " plus " + tenor.to_string() +
             " is outside 0 to 65535");
    }
    const auto y = static_cast<std::uint16_t>(year);
    const auto m = static_cast<std::uint8_t>(month);
    return date_or_fail(y, m, std::min(date.day(), days_in_month(y, m)));
}

}  // namespace quill
