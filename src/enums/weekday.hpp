#pragma once

#include "core/enum_traits.hpp"

namespace quill {

enum class Weekday : std::uint8_t { Monday, Tuesday, Wednesday, Thursday, Friday, Saturday, Sunday };

template <>
struct EnumTraits<Weekday> {
    static constexpr std::string_view name = "Weekday";
    static constexpr std::array<std::string_view, 7> variants{"Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday"};
};

}  // namespace quill
