// Dates in arrays. Every date argument of the array twins goes through one
// converter: numpy datetime64 of any unit (truncated to days), quillander
// Dates, datetime.date (and so pandas Timestamps), sequences or arrays of
// them, and pandas datetime columns all become one C-contiguous int64 array of
// days since 1970-01-01, the very layout of datetime64[D], NaT kept as NumPy's
// NaT. A datetime64[D] array is read in place.
//
// Every valid date lies in 1899-01-01..65535-12-31, so inside a loop the
// serial of a day is `days + epoch_serial` and fits 32 bits. Dates outside
// that range are refused as the scalar constructor refuses their year, with
// the element's index appended: "Year (1898) must be >= 1899 (at index 3)".
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "core/civil.hpp"
#include "datetime/date.hpp"
#include "core/errors.hpp"
#include "numpy/errors.hpp"
#include "numpy/numpy.hpp"
#include "numpy/threads.hpp"
#include "numpy/twins.hpp"
#include "python/binding.hpp"

namespace quill::np {

inline constexpr std::int64_t nat = std::numeric_limits<std::int64_t>::min();  // NumPy's NaT
inline constexpr std::int64_t epoch_serial = civil::epoch_serial;
inline constexpr std::int64_t min_days = Date::min_serial - epoch_serial;
inline constexpr std::int64_t max_days = Date::max_serial - epoch_serial;

// ---------------------------------------------------------------- calendar arithmetic

using civil::from_days;
using civil::month_length;
using civil::to_days;
using civil::year_of_days;

// The library's Date of a valid day.
inline Date date_of_days(std::int64_t days) { return Date::from_serial(days + epoch_serial); }

// ---------------------------------------------------------------- errors

// The refusal the scalar constructor gives a date of this year (ValueError for
// years 0..1898, OverflowError outside 0..65535), for element `flat`.
[[noreturn]] void raise_out_of_range(std::int64_t days, std::int64_t flat, const std::vector<npy_intp>& shape);

// ---------------------------------------------------------------- operands

// An owned, C-contiguous NumPy array operand.
class Operand {
public:
    Operand() = default;
    Operand(const Operand&) = delete;
    Operand& operator=(const Operand&) = delete;
    ~Operand() { Py_XDECREF(array_); }

    void reset(PyArrayObject* a) noexcept {
        Py_XDECREF(array_);
        array_ = a;
    }
    PyArrayObject* array() const noexcept { return array_; }
    npy_intp size() const noexcept { return PyArray_SIZE(array_); }
    std::vector<npy_intp> shape() const {
        return std::vector<npy_intp>(PyArray_DIMS(array_), PyArray_DIMS(array_) + PyArray_NDIM(array_));
    }
    template <class T>
    const T* data() const noexcept {
        return static_cast<const T*>(PyArray_DATA(array_));
    }

private:
    PyArrayObject* array_ = nullptr;
};

// Dates: int64 days since 1970-01-01, NaT as `nat`, every other value valid.
struct DateArray : Operand {
    bool any_nat = false;
    const std::int64_t* days() const noexcept { return data<std::int64_t>(); }
};

// Dates as given, range not yet checked: for loops that check as they go.
struct UncheckedDates : DateArray {};

// Flags (branch-free) whether any of the days is NaT or out of range.
inline bool any_nat_or_outside(const std::int64_t* days, std::int64_t begin, std::int64_t end) noexcept {
    // 64-bit subtractions, shifts and ors vectorise on any x86-64; 2^25 days
    // cover the range.
    constexpr int window = 25;
    static_assert(max_days - min_days < (std::int64_t{1} << window));
    std::uint64_t outside = 0, above = 0;
    for (std::int64_t i = begin; i < end; ++i) {
        const auto d = static_cast<std::uint64_t>(days[i]);
        outside |= (d - static_cast<std::uint64_t>(min_days)) >> window;
        above |= static_cast<std::uint64_t>(max_days) - d;
    }
    return (outside | (above >> 63)) != 0;
}

// Doubles: float64, converted as the scalar binding converts each element.
struct FloatArray : Operand {
    const double* values() const noexcept { return data<double>(); }
};

// The broadcast shape of several operands. An operand whose size is neither
// 1 nor the shape's is replaced by a contiguous copy broadcast to the shape,
// so that element i of every operand is at i * step(operand). Throws
// PythonError (NumPy's ValueError text) when the shapes do not broadcast.
struct Broadcast {
    std::vector<npy_intp> shape;
    npy_intp size = 1;

    explicit Broadcast(std::initializer_list<Operand*> operands);
    static npy_intp step(const Operand& o, npy_intp size) noexcept { return o.size() == 1 && size != 1 ? 0 : 1; }
};

// The first and last valid day among `n` days (NaT skipped); false when
// there is none.
bool day_span(const std::int64_t* days, npy_intp n, std::int64_t& first, std::int64_t& last);

// ---------------------------------------------------------------- results

// New arrays of a broadcast shape; `finish` turns a 0-d result into a NumPy
// scalar, as ufuncs do.
PyArrayObject* new_days(const std::vector<npy_intp>& shape);  // datetime64[D]
PyArrayObject* new_array(const std::vector<npy_intp>& shape, int type);
PyObject* finish(PyArrayObject* result);

// The datetime64[D] dtype (a borrowed reference, made once).
PyArray_Descr* days_descr();

// Runs body(begin, end) over [0, n) on the worker threads, the interpreter
// lock released. The body must not touch Python objects.
template <class Body>
void for_chunks(npy_intp n, std::int64_t grain, Body&& body) {
    if (n < 2 * grain) {
        body(std::int64_t{0}, static_cast<std::int64_t>(n));
        return;
    }
    using B = std::remove_reference_t<Body>;
    Py_BEGIN_ALLOW_THREADS run_chunks(
        n, grain, [](void* ctx, std::int64_t begin, std::int64_t end) { (*static_cast<B*>(ctx))(begin, end); },
        const_cast<void*>(static_cast<const void*>(&body)));
    Py_END_ALLOW_THREADS
}

// As for_chunks, element by element, recording the first library Error or
// Failure thrown by body(i); a chunk stops at its first.
template <class Body>
void for_elements(npy_intp n, std::int64_t grain, FirstError& error, Body&& body) {
    for_chunks(n, grain, [&](std::int64_t begin, std::int64_t end) {
        for (std::int64_t i = begin; i < end; ++i) {
            try {
                body(i);
            } catch (const Error& e) {
                error.record(i, FirstError::Kind::value, e.message());
                return;
            } catch (const Failure& e) {
                error.record(i, FirstError::Kind::failure, e.message());
                return;
            }
        }
    });
}

}  // namespace quill::np

namespace quill::py {

// Any date-like argument; TypeErrors name the argument like the scalar ones.
template <>
struct Arg<np::DateArray> {
    np::DateArray v;
    bool load(PyObject* o);
    const np::DateArray& get() const { return v; }
};

template <>
struct Arg<np::UncheckedDates> {
    np::UncheckedDates v;
    bool load(PyObject* o);
    const np::UncheckedDates& get() const { return v; }
};

// Any real number or array of them; an object element that does not convert
// fails as the scalar binding fails, with its index.
template <>
struct Arg<np::FloatArray> {
    np::FloatArray v;
    bool load(PyObject* o);
    const np::FloatArray& get() const { return v; }
};

}  // namespace quill::py
