// The array module's swap arguments, shared by the swap and bootstrap
// surfaces: the conventions class, and a swap's maturity given as an end date
// or a tenor from its start.
#pragma once

#include <cstdint>
#include <string_view>

#include "datetime/dates_np.hpp"
#include "datetime/tenor.hpp"
#include "numpy/lanes.hpp"
#include "rates/swap.hpp"

namespace quill::np {

// A maturity: an unadjusted end date, or a tenor from the swap's start.
struct Maturity {
    bool tenor;
    std::int32_t serial;  // the date's
    Tenor term;

    std::int32_t end(const SwapConventions& conv, std::int32_t start) const {
        return tenor ? swap_maturity(conv, start, term) : serial;
    }
};

// In a loop, a maturity is an int64: days since 1970-01-01 (datetime64[D]'s
// layout, NaT included, read in place), or a tenor coded above every day.
inline constexpr std::int64_t tenor_code = std::int64_t{1} << 40;
inline std::int64_t code_of(const Tenor& t) noexcept {
    return tenor_code + (static_cast<std::int64_t>(t.unit) << 16) + static_cast<std::uint16_t>(t.count);
}
inline Tenor tenor_of(std::int64_t code) noexcept {
    return {static_cast<std::int16_t>(static_cast<std::uint16_t>(code & 0xffff)),
            static_cast<TenorUnit>((code - tenor_code) >> 16)};
}

// One maturity object: a tenor (text or Tenor) or a date-like; false with the
// exception set.
bool object_maturity(PyObject* o, std::int64_t& code);

template <>
struct Lane<Maturity> {
    using Native = std::int64_t;
    using Value = std::int64_t;
    using Batched = std::int64_t;
    static constexpr bool hoisted = false;
    static PyArray_DTypeMeta* choose(PyArray_DTypeMeta* given, std::string_view) {
        return classify(given) == Given::datetime ? &PyArray_DatetimeDType : &PyArray_ObjectDType;
    }
    static std::int64_t prepare(const Operand& op, Prepared& out, std::string_view name, FirstError& err) {
        if (!op.object()) {
            datetime_days(op, out);
            return op.n;
        }
        return convert_objects<std::int64_t>(op, out, name, err, &object_maturity);
    }
    static Status status(std::int64_t v) noexcept {
        if (v == nat) return Status::nat;
        return v >= tenor_code || valid_day(v) ? Status::ok : Status::refused;
    }
    static std::int64_t value(std::int64_t v) noexcept { return v; }
    static std::int64_t batched(std::int64_t v) noexcept { return v; }
    static Maturity pass(std::int64_t v) {
        if (v >= tenor_code) return {true, 0, tenor_of(v)};
        return {false, static_cast<std::int32_t>(v + epoch_serial), Tenor{}};
    }
    static FirstError::Kind refusal(std::int64_t v, std::string_view, std::string& message) {
        return out_of_range(v, message);
    }
    // One text is parsed before any array is made: its error carries no index.
    static bool check(PyObject* o, std::string_view name);
};

}  // namespace quill::np
