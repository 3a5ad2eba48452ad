// Array forms of Date: conversions between date-likes, serials, datetime64[D]
// and quillander Dates, and the weekday of each date.
#include <cstring>
#include <string>

#include "datetime/date.hpp"
#include "datetime/dates_np.hpp"
#include "numpy/twins.hpp"
#include "numpy/wrapper.hpp"
#include "python/ref.hpp"

namespace quill::np {
namespace {

Serial serial_of(Date d) { return {d.serial()}; }
Date date_of_serial(SerialDate s) { return s.date; }
Date same_date(Date d) { return d; }
Weekday weekday_of(Date d) { return static_cast<Weekday>(d.weekday()); }

}  // namespace

// The conversions are a copy's cost: one pass computing every element and
// flagging (branch-free, as any_nat_or_outside) whether any day was NaT or out
// of range; only then is the chunk searched for the one the element path
// refuses.
template <>
struct Block<&serial_of> {
    static constexpr bool exists = true;
    struct State {};
    static State prepare(const View<&serial_of>&, std::int64_t) { return {}; }
    static std::int64_t run(const State&, const View<&serial_of>& v, std::int64_t begin, std::int64_t end) {
        const Column<std::int64_t> days = v.in<0>();
        const OutColumn<std::int64_t> out = v.out<0, std::int64_t>();
        if (days.contiguous() && out.contiguous()) {
            const std::int64_t* __restrict d = days.ptr();
            std::int64_t* __restrict s = out.ptr();
            std::uint64_t outside = 0, above = 0;
            for (std::int64_t i = begin; i < end; ++i) {
                const auto x = static_cast<std::uint64_t>(d[i]);
                s[i] = static_cast<std::int64_t>(x + static_cast<std::uint64_t>(epoch_serial));
                outside |= (x - static_cast<std::uint64_t>(min_days)) >> 25;
                above |= static_cast<std::uint64_t>(max_days) - x;
            }
            if ((outside | (above >> 63)) == 0) return end;
        }
        for (std::int64_t i = begin; i < end; ++i) {
            const std::int64_t d = days[i];
            if (!valid_day(d)) return i;
            out.set(i, d + epoch_serial);
        }
        return end;
    }
};

template <>
struct Block<&weekday_of> {
    static constexpr bool exists = true;
    struct State {};
    static State prepare(const View<&weekday_of>&, std::int64_t) { return {}; }
    static std::int64_t run(const State&, const View<&weekday_of>& v, std::int64_t begin, std::int64_t end) {
        const Column<std::int64_t> days = v.in<0>();
        const OutColumn<std::int64_t> out = v.out<0, std::int64_t>();
        if (days.contiguous() && out.contiguous()) {
            const std::int64_t* __restrict d = days.ptr();
            std::int64_t* __restrict w = out.ptr();
            if (!any_nat_or_outside(d, begin, end)) {
                for (std::int64_t i = begin; i < end; ++i) w[i] = civil::weekday_of_serial(d[i] + epoch_serial);
                return end;
            }
        }
        for (std::int64_t i = begin; i < end; ++i) {
            const std::int64_t d = days[i];
            if (!valid_day(d)) return i;
            out.set(i, static_cast<std::int64_t>(civil::weekday_of_serial(d + epoch_serial)));
        }
        return end;
    }
};

template <>
struct Block<&same_date> {
    static constexpr bool exists = true;
    struct State {};
    static State prepare(const View<&same_date>&, std::int64_t) { return {}; }
    static std::int64_t run(const State&, const View<&same_date>& v, std::int64_t begin, std::int64_t end) {
        const Column<std::int64_t> days = v.in<0>();
        const OutColumn<std::int64_t> out = v.out<0, std::int64_t>();
        for (std::int64_t i = begin; i < end; ++i) {
            const std::int64_t d = days[i];
            if (d != nat && !valid_day(d)) return i;
            out.set(i, d);
        }
        return end;
    }
};

template <>
struct Block<&date_of_serial> {
    static constexpr bool exists = true;
    struct State {};
    static State prepare(const View<&date_of_serial>&, std::int64_t) { return {}; }
    static std::int64_t run(const State&, const View<&date_of_serial>& v, std::int64_t begin, std::int64_t end) {
        const Column<std::int64_t> serials = v.in<0>();
        const OutColumn<std::int64_t> out = v.out<0, std::int64_t>();
        for (std::int64_t i = begin; i < end; ++i) {
            const std::int64_t s = serials[i];
            if (s < Date::min_serial || s > Date::max_serial) return i;
            out.set(i, s - epoch_serial);
        }
        return end;
    }
};

namespace {

PyObject* date_or_none(std::int64_t days) {
    if (days == nat) Py_RETURN_NONE;
    return py::wrap(date_of_days(days));
}

// Nested lists over the dimensions, as ndarray.tolist() nests them.
PyObject* date_lists(const std::int64_t*& days, const npy_intp* dims, int ndim) {
    if (ndim == 0) return date_or_none(*days++);
    py::Ref list(PyList_New(dims[0]));
    if (!list) return nullptr;
    for (npy_intp i = 0; i < dims[0]; ++i) {
        PyObject* item = date_lists(days, dims + 1, ndim - 1);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), i, item);
    }
    return Py_NewRef(list.get());
}

PyObject* to_dates(const DateArray& dates) {
    const std::int64_t* days = dates.days();
    PyObject* out = date_lists(days, PyArray_DIMS(dates.array()), PyArray_NDIM(dates.array()));
    if (out == nullptr) throw py::PythonError{};
    return out;
}

PyMethodDef defs[] = {
    py::function<"to_dates(dates)\n--\n\n"
                 "Each date as a quillander.Date: one Date for a single date, else nested lists\n"
                 "of Dates shaped like the input; None for NaT.",
                 &to_dates>(),
    {nullptr, nullptr, 0, nullptr},
};

constexpr TwinOptions cheap{.grain = 65536};

}  // namespace

bool add_date_twins(PyObject* m) {
    return add_twin<"to_int(dates)\n--\n\n"
                    "The serial of each date (Date.to_int: 1899-12-30 is 0) as int64. A NaT has no\n"
                    "serial and is refused with ValueError.",
                    &serial_of, cheap>(m) &&
           add_twin<"from_int(serials)\n--\n\n"
                    "The date of each serial (1899-12-30 is 0) as datetime64[D]. A serial outside\n"
                    "1899-01-01..65535-12-31 is refused as Date refuses its year, whatever its\n"
                    "integer type.",
                    &date_of_serial, cheap>(m) &&
           add_twin<"to_datetime64(dates)\n--\n\nEach date as datetime64[D] (a new array; NaT stays NaT).",
                    &same_date, cheap>(m) &&
           add_functions(m, defs) &&
           add_twin<"weekday(dates)\n--\n\n"
                    "Date.weekday of each date as int64, Monday 0 to Sunday 6 (the Weekday\n"
                    "values). A NaT is refused with ValueError.",
                    &weekday_of, cheap>(m);
}

}  // namespace quill::np
