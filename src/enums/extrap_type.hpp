#pragma once

#include "core/enum_traits.hpp"

namespace quill {

enum class ExtrapType : std::uint8_t { Auto, Flat, Disabled };

template <>
struct EnumTraits<ExtrapType> {
    static constexpr std::string_view name = "ExtrapType";
    static constexpr std::array<std::string_view, 3> variants{"Auto", "Flat", "Disabled"};
};

}  // namespace quill
