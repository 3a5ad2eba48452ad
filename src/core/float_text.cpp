#include "core/float_text.hpp"

#include <charconv>
#include <cmath>
#include <string_view>

#include "core/errors.hpp"

namespace quill {

std::string float_text(double x) {
    if (std::isnan(x)) return "NaN";
    if (std::isinf(x)) return x > 0.0 ? "inf" : "-inf";

    // The shortest round-trip digits in scientific form, "[-]d[.ddd]e<sign><exp>",
    // then placed around the decimal point.
    char buf[40];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
    if (ec != std::errc{}) fail("float_text: no room for the digits");
    std::string_view text(buf, static_cast<std::size_t>(end - buf));

    std::string out;
    if (text.front() == '-') {
        out.push_back('-');
        text.remove_prefix(1);
    }
    const std::size_t e = text.find('e');
    std::string digits(1, text.front());
    if (e > 1) digits.append(text.substr(2, e - 2));  // skip the '.'
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

    std::string_view exponent = text.substr(e + 1);
    const bool negative_exponent = exponent.front() == '-';
    if (exponent.front() == '-' || exponent.front() == '+') exponent.remove_prefix(1);
    int magnitude = 0;
    std::from_chars(exponent.data(), exponent.data() + exponent.size(), magnitude);
    // Digits before the decimal point (zero or negative: leading zeros after it).
    const long point = (negative_exponent ? -magnitude : magnitude) + 1L;
    const long ndigits = static_cast<long>(digits.size());

    if (point <= 0) {
        out.append("0.");
        out.append(static_cast<std::size_t>(-point), '0');
        out.append(digits);
    } else if (point >= ndigits) {
        out.append(digits);
        out.append(static_cast<std::size_t>(point - ndigits), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out.push_back('.');
        out.append(digits, static_cast<std::size_t>(point));
    }
    return out;
}

}  // namespace quill
