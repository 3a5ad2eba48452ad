#pragma once

#include "core/enum_traits.hpp"

namespace quill {

enum class StubType : std::uint8_t { FrontShort, FrontLong, BackShort, BackLong, NoStub };

template <>
struct EnumTraits<StubType> {
    static constexpr std::string_view name = "StubType";
    static constexpr std::array<std::string_view, 5> variants{"FrontShort", "FrontLong", "BackShort", "BackLong", "NoStub"};
};

}  // namespace quill
