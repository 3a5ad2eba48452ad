// Array forms of Date: conversions between date-like arrays, serials,
// datetime64[D] and quillander Dates, and the weekday of each date.
#include <cstring>
#include <string>

#include "datetime/date.hpp"
#include "datetime/dates_np.hpp"
#include "numpy/twins.hpp"
#include "python/ref.hpp"

namespace quill::np {
namespace {

constexpr std::int64_t grain = 65536;

// The first NaT of an integer result, which has no place for it (as pandas
// refuses to cast NaT to integers).
void refuse_nat(const DateArray& dates, const char* what) {
    if (!dates.any_nat) return;
    const std::int64_t* days = dates.days();
    for (npy_intp i = 0, n = dates.size(); i < n; ++i) {
        if (days[i] == nat) raise_at(FirstError::Kind::value, std::string("Cannot convert NaT to ") + what, i,
                                     dates.shape());
    }
}

// serials = days + epoch_serial, flagging (branch-free, as any_nat_or_outside)
// whether any day is NaT or out of range: one vectorised pass.
bool add_checking(const std::int64_t* __restrict days, std::int64_t* __restrict serials, std::int64_t n) noexcept {
    std::uint64_t outside = 0, above = 0;
    for (std::int64_t i = 0; i < n; ++i) {
        const auto d = static_cast<std::uint64_t>(days[i]);
        serials[i] = static_cast<std::int64_t>(d + static_cast<std::uint64_t>(epoch_serial));
        outside |= (d - static_cast<std::uint64_t>(min_days)) >> 25;
        above |= static_cast<std::uint64_t>(max_days) - d;
    }
    return (outside | (above >> 63)) != 0;
}

// A copy's cost: the range is checked in the same pass (only a datetime64[D]
// array comes here unchecked; other inputs were checked on conversion).
PyObject* to_int(const UncheckedDates& dates) {
    PyArrayObject* out = new_array(dates.shape(), NPY_INT64);
    py::Ref keep(reinterpret_cast<PyObject*>(out));
    const std::int64_t* days = dates.days();
    auto* serials = static_cast<std::int64_t*>(PyArray_DATA(out));
    std::atomic<bool> flagged{false};
    for_chunks(dates.size(), grain, [&](std::int64_t begin, std::int64_t end) {
        if (add_checking(days + begin, serials + begin, end - begin)) flagged.store(true);
    });
    if (flagged.load()) {
        for (npy_intp i = 0, n = dates.size(); i < n; ++i) {
            if (days[i] == nat) raise_at(FirstError::Kind::value, "Cannot convert NaT to a serial", i, dates.shape());
            if (days[i] < min_days || days[i] > max_days) raise_out_of_range(days[i], i, dates.shape());
        }
    }
    return finish(reinterpret_cast<PyArrayObject*>(Py_NewRef(reinterpret_cast<PyObject*>(out))));
}

PyObject* to_datetime64(const DateArray& dates) {
    PyArrayObject* out = new_days(dates.shape());
    std::memcpy(PyArray_DATA(out), dates.days(), static_cast<std::size_t>(dates.size()) * sizeof(std::int64_t));
    return finish(out);
}

PyObject* weekday(const DateArray& dates) {
    refuse_nat(dates, "a weekday");
    PyArrayObject* out = new_array(dates.shape(), NPY_INT64);
    const std::int64_t* days = dates.days();
    auto* weekdays = static_cast<std::int64_t*>(PyArray_DATA(out));
    for_chunks(dates.size(), grain, [&](std::int64_t begin, std::int64_t end) {
        for (std::int64_t i = begin; i < end; ++i) {
            weekdays[i] = civil::weekday_of_serial(days[i] + epoch_serial);
        }
    });
    return finish(out);
}

// ---------------------------------------------------------------- serials in

// Integers: any integer dtype, or objects converted as the scalar binding
// converts an int (through __index__).
struct Serials : Operand {};

bool load_serials(PyObject* o, Serials& out) {
    py::Ref given(PyArray_FROM_O(o));
    if (!given) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(given.get());
    const char kind = PyArray_DESCR(array)->kind;
    if (kind == 'i' || kind == 'u' || PyArray_SIZE(array) == 0) {
        PyObject* ints = PyArray_FromAny(given.get(), PyArray_DescrFromType(NPY_INT64), 0, 0,
                                         NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST, nullptr);
        if (ints == nullptr) return false;
        out.reset(reinterpret_cast<PyArrayObject*>(ints));
        return true;
    }
    if (kind != 'O' && PyArray_Check(o)) {
        py::Ref dtype(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(array))));
        if (!dtype) return false;
        PyErr_Format(PyExc_TypeError, "'ndarray' object of dtype %U cannot be interpreted as an integer", dtype.get());
        return false;
    }
    PyObject* objects = PyArray_FromAny(o, PyArray_DescrFromType(NPY_OBJECT), 0, 0, NPY_ARRAY_CARRAY_RO, nullptr);
    if (objects == nullptr) return false;
    py::Ref keep(objects);
    auto* oa = reinterpret_cast<PyArrayObject*>(objects);
    const std::vector<npy_intp> shape(PyArray_DIMS(oa), PyArray_DIMS(oa) + PyArray_NDIM(oa));
    out.reset(new_array(shape, NPY_INT64));
    auto* const* items = static_cast<PyObject* const*>(PyArray_DATA(oa));
    auto* target = static_cast<std::int64_t*>(PyArray_DATA(out.array()));
    for (npy_intp i = 0, n = PyArray_SIZE(oa); i < n; ++i) {
        PyObject* item = items[i] == nullptr ? Py_None : items[i];
        py::Ref index(PyNumber_Index(item));
        if (index) target[i] = PyLong_AsLongLong(index.get());
        if (!index || (target[i] == -1 && PyErr_Occurred())) {
            if (!shape.empty()) {
                PyObject* exc = PyErr_GetRaisedException();
                py::Ref text(PyObject_Str(exc));
                const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
                if (utf8 == nullptr) {
                    Py_DECREF(exc);
                    return false;
                }
                PyErr_SetString(reinterpret_cast<PyObject*>(Py_TYPE(exc)), (std::string(utf8) + at_index(i, shape)).c_str());
                Py_DECREF(exc);
            }
            return false;
        }
    }
    return true;
}

}  // namespace
}  // namespace quill::np

namespace quill::py {
template <>
struct Arg<np::Serials> {
    np::Serials v;
    bool load(PyObject* o) {
        try {
            return np::load_serials(o, v);
        } catch (const PythonError&) {
            return false;
        }
    }
    const np::Serials& get() const { return v; }
};
}  // namespace quill::py

namespace quill::np {
namespace {

PyObject* from_int(const Serials& serials) {
    const std::vector<npy_intp> shape = serials.shape();
    PyArrayObject* out = new_days(shape);
    py::Ref keep(reinterpret_cast<PyObject*>(out));
    const std::int64_t* in = serials.data<std::int64_t>();
    auto* days = static_cast<std::int64_t*>(PyArray_DATA(out));
    std::atomic<std::int64_t> first_bad{std::numeric_limits<std::int64_t>::max()};
    for_chunks(serials.size(), grain, [&](std::int64_t begin, std::int64_t end) {
        for (std::int64_t i = begin; i < end; ++i) {
            const std::int64_t s = in[i];
            if (s < Date::min_serial || s > Date::max_serial) {
                std::int64_t seen = first_bad.load();
                while (i < seen && !first_bad.compare_exchange_weak(seen, i)) {
                }
                return;
            }
            days[i] = s - epoch_serial;
        }
    });
    const std::int64_t bad = first_bad.load();
    if (bad != std::numeric_limits<std::int64_t>::max()) {
        const std::int64_t s = in[bad];
        // Far below the range the exact day does not matter, only its year's sign.
        raise_out_of_range(s < Date::min_serial - (std::int64_t{1} << 62) ? -(std::int64_t{1} << 62) : s - epoch_serial,
                           bad, shape);
    }
    return finish(reinterpret_cast<PyArrayObject*>(Py_NewRef(reinterpret_cast<PyObject*>(out))));
}

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
    py::function<"to_int(dates)\n--\n\n"
                 "The serial of each date (Date.to_int: 1899-12-30 is 0) as int64. A NaT has no\n"
                 "serial and is refused with ValueError.",
                 &to_int>(),
    py::function<"from_int(serials)\n--\n\n"
                 "The date of each serial (1899-12-30 is 0) as datetime64[D]. A serial outside\n"
                 "1899-01-01..65535-12-31 is refused as Date refuses its year.",
                 &from_int>(),
    py::function<"to_datetime64(dates)\n--\n\nEach date as datetime64[D] (a new array; NaT stays NaT).",
                 &to_datetime64>(),
    py::function<"to_dates(dates)\n--\n\n"
                 "Each date as a quillander.Date: one Date for a single date, else nested lists\n"
                 "of Dates shaped like the input; None for NaT.",
                 &to_dates>(),
    py::function<"weekday(dates)\n--\n\n"
                 "Date.weekday of each date as int64, Monday 0 to Sunday 6 (the Weekday\n"
                 "values). A NaT is refused with ValueError.",
                 &weekday>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_date_twins(PyObject* m) { return add_functions(m, defs); }

}  // namespace quill::np
