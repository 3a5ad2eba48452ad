#pragma once

#include "core/enum_traits.hpp"

namespace quill {

enum class TenorUnit : std::uint8_t { D, B, W, M, Y };

template <>
struct EnumTraits<TenorUnit> {
    static constexpr std::string_view name = "TenorUnit";
    static constexpr std::array<std::string_view, 5> variants{"D", "B", "W", "M", "Y"};
};

}  // namespace quill
