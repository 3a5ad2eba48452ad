// Every enumeration names its class and its variants, in declaration order;
// a variant's integer value is its position.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace quill {

template <class E>
struct EnumTraits;

template <class E>
constexpr std::size_t variant_count() {
    return EnumTraits<E>::variants.size();
}

}  // namespace quill
