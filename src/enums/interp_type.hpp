#pragma once

#include "core/enum_traits.hpp"

namespace quill {

enum class InterpType : std::uint8_t { Linear, Geometric, CubicSpline, LogCubicSpline };

template <>
struct EnumTraits<InterpType> {
    static constexpr std::string_view name = "InterpType";
    static constexpr std::array<std::string_view, 4> variants{"Linear", "Geometric", "CubicSpline", "LogCubicSpline"};
};

}  // namespace quill
