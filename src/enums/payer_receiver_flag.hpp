#pragma once

#include "core/enum_traits.hpp"

namespace quill {

enum class PayerReceiverFlag : std::uint8_t { Payer, Receiver };

template <>
struct EnumTraits<PayerReceiverFlag> {
    static constexpr std::string_view name = "PayerReceiverFlag";
    static constexpr std::array<std::string_view, 2> variants{"Payer", "Receiver"};
};

}  // namespace quill
