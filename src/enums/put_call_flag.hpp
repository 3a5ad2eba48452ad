#pragma once

#include "core/enum_traits.hpp"

namespace quill {

enum class PutCallFlag : std::uint8_t { Put, Call };

template <>
struct EnumTraits<PutCallFlag> {
    static constexpr std::string_view name = "PutCallFlag";
    static constexpr std::array<std::string_view, 2> variants{"Put", "Call"};
};

}  // namespace quill
