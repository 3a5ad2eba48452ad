// Dates in arrays. In the twins' loops a `Date` parameter reads datetime64
// of any unit (truncated to days; read in place, the unit converted as the
// loop runs) or objects (quillander Dates, datetime.date and so pandas
// Timestamps, pandas.NaT and None for NaT, datetime64 scalars); a `Date`
// result is datetime64[D]. Inside a loop a day is an int64 count of days since
// 1970-01-01, the layout of datetime64[D], NaT being NumPy's NaT.
//
// Every valid date lies in 1899-01-01..65535-12-31; a date outside is refused
// as the scalar constructor refuses its year: "Year (1898) must be >= 1899"
// (ValueError) for the years 0..1898, OverflowError beyond.
//
// The functions that are not ufuncs (to_dates, schedules, holiday lists) take
// any date-like through DateArray: one C-contiguous int64 array of days.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "core/civil.hpp"
#include "core/errors.hpp"
#include "datetime/date.hpp"
#include "datetime/tenor.hpp"
#include "enums/weekday.hpp"
#include "numpy/errors.hpp"
#include "numpy/lanes.hpp"
#include "numpy/numpy.hpp"
#include "numpy/threads.hpp"
#include "python/binding.hpp"

namespace quill::np {

inline constexpr std::int64_t epoch_serial = civil::epoch_serial;
inline constexpr std::int64_t min_days = Date::min_serial - epoch_serial;
inline constexpr std::int64_t max_days = Date::max_serial - epoch_serial;

using civil::from_days;
using civil::month_length;
using civil::to_days;
using civil::year_of_days;

// The library's Date of a valid day.
inline Date date_of_days(std::int64_t days) { return Date::from_serial(days + epoch_serial); }

inline bool valid_day(std::int64_t days) noexcept { return days >= min_days && days <= max_days; }

// The refusal the scalar constructor gives a date of this year: ValueError for
// years 0..1898, OverflowError outside 0..65535.
FirstError::Kind out_of_range(std::int64_t days, std::string& message);
// As an exception for element `flat`; throws PythonError.
[[noreturn]] void raise_out_of_range(std::int64_t days, std::int64_t flat, const std::vector<npy_intp>& shape);

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

// The first and last valid day among `n` days of a column (NaT skipped, days
// out of range included); false when there is none.
bool day_span(Column<std::int64_t> days, std::int64_t n, std::int64_t& first, std::int64_t& last);

// One object's day: a quillander Date, a datetime.date (datetimes and pandas
// Timestamps by their own day), a datetime64 scalar, None or pandas.NaT (NaT).
// False with the scalar binding's TypeError for anything else.
bool object_days(PyObject* o, std::int64_t& days);

// ---------------------------------------------------------------- lanes

// A date parameter.
template <>
struct Lane<Date> {
    using Native = std::int64_t;   // days, NaT, or a day out of range
    using Value = std::int64_t;
    using Batched = std::int32_t;  // the serial
    static constexpr bool hoisted = false;
    static PyArray_DTypeMeta* choose(PyArray_DTypeMeta* given, std::string_view name);
    static std::int64_t prepare(const Operand& op, Prepared& out, std::string_view name, FirstError& err);
    static Status status(std::int64_t d) noexcept {
        if (d == nat) return Status::nat;
        return valid_day(d) ? Status::ok : Status::refused;
    }
    static std::int64_t value(std::int64_t d) noexcept { return d; }
    static std::int32_t batched(std::int64_t d) noexcept { return static_cast<std::int32_t>(d + epoch_serial); }
    static Date pass(std::int64_t d) { return date_of_days(d); }
    static FirstError::Kind refusal(std::int64_t d, std::string_view, std::string& message) {
        return out_of_range(d, message);
    }
    static bool check(PyObject*, std::string_view) { return true; }
};

// The date of a serial (1899-12-30 is 0): an integer operand, refused as the
// date of that serial is refused.
struct SerialDate {
    Date date;
};
template <>
struct Lane<SerialDate> {
    using Native = std::int64_t;
    using Value = std::int64_t;
    using Batched = std::int32_t;
    static constexpr bool hoisted = false;
    static PyArray_DTypeMeta* choose(PyArray_DTypeMeta* given, std::string_view name) {
        return Lane<std::int64_t>::choose(given, name);
    }
    static std::int64_t prepare(const Operand& op, Prepared& out, std::string_view name, FirstError& err) {
        return Lane<std::int64_t>::prepare(op, out, name, err);
    }
    static Status status(std::int64_t s) noexcept {
        return s >= Date::min_serial && s <= Date::max_serial ? Status::ok : Status::refused;
    }
    static std::int64_t value(std::int64_t s) noexcept { return s; }
    static std::int32_t batched(std::int64_t s) noexcept { return static_cast<std::int32_t>(s); }
    static SerialDate pass(std::int64_t s) { return {Date::from_serial(s)}; }
    static FirstError::Kind refusal(std::int64_t s, std::string_view, std::string& message) {
        // Far beyond the range only the year's sign matters (no day count overflows).
        constexpr std::int64_t far = std::int64_t{1} << 62;
        return out_of_range(s < -far ? -far : s > far ? far : s - epoch_serial, message);
    }
    static bool check(PyObject*, std::string_view) { return true; }
};

// A tenor: text such as "3M" or a Tenor; arrays of them (text arrays too).
template <>
struct Lane<Tenor> {
    using Native = Tenor;
    using Value = Tenor;
    using Batched = Tenor;
    static constexpr bool hoisted = false;
    static PyArray_DTypeMeta* choose(PyArray_DTypeMeta*, std::string_view) { return &PyArray_ObjectDType; }
    static std::int64_t prepare(const Operand& op, Prepared& out, std::string_view name, FirstError& err);
    static Status status(const Tenor&) noexcept { return Status::ok; }
    static Tenor value(const Tenor& t) noexcept { return t; }
    static Tenor batched(const Tenor& t) noexcept { return t; }
    static Tenor pass(const Tenor& t) noexcept { return t; }
    static FirstError::Kind refusal(const Tenor&, std::string_view, std::string&) { return FirstError::Kind::value; }
    // One text is parsed before any date is looked at: its error carries no index.
    static bool check(PyObject* o, std::string_view name);
};

// ---------------------------------------------------------------- results

// Dates out: datetime64[D], or datetime64[s] when the dates given came in a
// finer unit (a pandas column's), so that pandas keeps the array as it is.
template <>
struct Out<Date> {
    static constexpr int n = 1;
    static constexpr const char* nat_what = nullptr;
    static constexpr bool follows_unit = true;
    static PyArray_DTypeMeta* dtype(int) { return &PyArray_DatetimeDType; }
    static PyArray_Descr* descr(int) {
        PyArray_Descr* d = days_descr();
        if (d != nullptr) Py_INCREF(d);
        return d;
    }
    static void put(const Outs& o, std::int64_t i, const Date& d) noexcept {
        o.set(0, i, static_cast<std::int64_t>(d.serial()) - epoch_serial);
    }
    static void none(const Outs& o, std::int64_t i) noexcept { o.set(0, i, nat); }
    static bool nat(const Outs& o, std::int64_t i) noexcept {
        none(o, i);
        return true;
    }
};

// Dates out in datetime64[D] whatever came in.
struct Days {
    Date date;
};
template <>
struct Out<Days> {
    static constexpr int n = 1;
    static constexpr const char* nat_what = nullptr;
    static PyArray_DTypeMeta* dtype(int) { return &PyArray_DatetimeDType; }
    static PyArray_Descr* descr(int k) { return Out<Date>::descr(k); }
    static void put(const Outs& o, std::int64_t i, const Days& d) noexcept { Out<Date>::put(o, i, d.date); }
    static void none(const Outs& o, std::int64_t i) noexcept { Out<Date>::none(o, i); }
    static bool nat(const Outs& o, std::int64_t i) noexcept { return Out<Date>::nat(o, i); }
};

// Integer results of a date: no place for NaT, which is refused as pandas
// refuses to cast NaT to integers.
template <class T, const char* What>
struct IntegerOfDate {
    static constexpr int n = 1;
    static constexpr const char* nat_what = What;
    static PyArray_DTypeMeta* dtype(int) { return &PyArray_Int64DType; }
    static PyArray_Descr* descr(int) { return PyArray_DescrFromType(NPY_INT64); }
    static void put(const Outs& o, std::int64_t i, const T& v) noexcept { o.set(0, i, static_cast<std::int64_t>(v)); }
    static bool nat(const Outs&, std::int64_t) noexcept { return false; }
};

// A date's serial (1899-12-30 is 0).
struct Serial {
    std::int64_t value;
    explicit operator std::int64_t() const noexcept { return value; }
};
inline constexpr char serial_what[] = "a serial";
inline constexpr char weekday_what[] = "a weekday";
template <>
struct Out<Serial> : IntegerOfDate<Serial, serial_what> {};
template <>
struct Out<Weekday> : IntegerOfDate<Weekday, weekday_what> {};

// ---------------------------------------------------------------- not ufuncs

// Dates: int64 days since 1970-01-01, NaT as `nat`, every other value valid;
// C-contiguous, in the input's shape.
class DateArray {
public:
    DateArray() = default;
    DateArray(const DateArray&) = delete;
    DateArray& operator=(const DateArray&) = delete;
    ~DateArray() { Py_XDECREF(array_); }

    void reset(PyArrayObject* a) noexcept {
        Py_XDECREF(array_);
        array_ = a;
    }
    PyArrayObject* array() const noexcept { return array_; }
    npy_intp size() const noexcept { return PyArray_SIZE(array_); }
    std::vector<npy_intp> shape() const {
        return std::vector<npy_intp>(PyArray_DIMS(array_), PyArray_DIMS(array_) + PyArray_NDIM(array_));
    }
    const std::int64_t* days() const noexcept { return static_cast<const std::int64_t*>(PyArray_DATA(array_)); }

    bool any_nat = false;

private:
    PyArrayObject* array_ = nullptr;
};

// New arrays of a shape; `finish` turns a 0-d result into a NumPy scalar.
PyArrayObject* new_days(const std::vector<npy_intp>& shape);  // datetime64[D]
PyArrayObject* new_array(const std::vector<npy_intp>& shape, int type);
PyObject* finish(PyArrayObject* result);

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

// A tenor given as a quillander.Tenor or as text ("6M"), for the conventions'
// parts. Text that is no tenor is a library error; anything else sets
// TypeError "'<type>' object cannot be converted to 'Tenor'" and throws
// py::PythonError.
Tenor load_tenor(PyObject* o);

}  // namespace quill::np

namespace quill::py {

// Any date-like argument; TypeErrors name the argument like the scalar ones.
template <>
struct Arg<np::DateArray> {
    np::DateArray v;
    bool load(PyObject* o);
    const np::DateArray& get() const { return v; }
};

}  // namespace quill::py
