#pragma once

#include "core/enum_traits.hpp"

namespace quill {

enum class BusDayAdj : std::uint8_t { Unadjusted, Preceding, Following, ModFollowing };

template <>
struct EnumTraits<BusDayAdj> {
    static constexpr std::string_view name = "BusDayAdj";
    static constexpr std::array<std::string_view, 4> variants{"Unadjusted", "Preceding", "Following", "ModFollowing"};
};

}  // namespace quill
