#include "datetime/dates_np.hpp"

#include <datetime.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

#include "numpy/twins.hpp"
#include "python/ref.hpp"

namespace quill::np {

// ---------------------------------------------------------------- errors

FirstError::Kind out_of_range(std::int64_t days, std::string& message) {
    const std::int64_t year = year_of_days(days);
    if (year < 0 || year > 65535) {
        message = message::integral_overflow;
        return FirstError::Kind::overflow;
    }
    message = message::year_too_early(year);
    return FirstError::Kind::value;
}

void raise_out_of_range(std::int64_t days, std::int64_t flat, const std::vector<npy_intp>& shape) {
    std::string message;
    const FirstError::Kind kind = out_of_range(days, message);
    raise_at(kind, message, flat, shape);
}

bool day_span(Column<std::int64_t> days, std::int64_t n, std::int64_t& first, std::int64_t& last) {
    std::mutex m;
    first = std::numeric_limits<std::int64_t>::max();
    last = std::numeric_limits<std::int64_t>::min();
    if (days.broadcast()) n = std::min<std::int64_t>(n, 1);
    over_range(n, 65536, [&](std::int64_t begin, std::int64_t end) {
        std::int64_t lo = std::numeric_limits<std::int64_t>::max(), hi = std::numeric_limits<std::int64_t>::min();
        if (days.contiguous()) {
            const std::int64_t* d = days.ptr();
            for (std::int64_t i = begin; i < end; ++i) {
                lo = std::min(lo, d[i] == nat ? std::numeric_limits<std::int64_t>::max() : d[i]);
                hi = std::max(hi, d[i]);  // NaT is the smallest int64
            }
        } else {
            for (std::int64_t i = begin; i < end; ++i) {
                const std::int64_t d = days[i];
                lo = std::min(lo, d == nat ? std::numeric_limits<std::int64_t>::max() : d);
                hi = std::max(hi, d);
            }
        }
        std::lock_guard lock(m);
        first = std::min(first, lo);
        last = std::max(last, hi);
    });
    return first <= last;
}

// ---------------------------------------------------------------- objects

namespace {

bool datetime_ready() {
    if (PyDateTimeAPI == nullptr) PyDateTime_IMPORT;
    return PyDateTimeAPI != nullptr;
}

// pandas.NaT is a datetime whose fields mean nothing; its class is found by name.
bool is_pandas_nat(PyObject* o) {
    static std::atomic<PyTypeObject*> known{nullptr};
    PyTypeObject* type = Py_TYPE(o);
    if (type == known.load(std::memory_order_relaxed)) return true;
    const std::string_view name(type->tp_name);
    if (name == "NaTType" || name.ends_with(".NaTType")) {
        known.store(type, std::memory_order_relaxed);
        return true;
    }
    return false;
}

// A datetime64 scalar of any unit, floored to days.
bool scalar_days(PyObject* o, std::int64_t& days) {
    py::Ref zero_d(PyArray_FromScalar(o, nullptr));
    if (!zero_d) return false;
    if (!linear_datetime(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(zero_d.get())))) {
        // Months, years: NumPy's own cast to their first day.
        PyArray_Descr* d = days_descr();
        if (d == nullptr) return false;
        Py_INCREF(d);  // stolen
        zero_d = py::Ref(PyArray_CastToType(reinterpret_cast<PyArrayObject*>(zero_d.get()), d, 0));
        if (!zero_d) return false;
    }
    auto* a = reinterpret_cast<PyArrayObject*>(zero_d.get());
    Prepared p;
    datetime_days(Operand{PyArray_BYTES(a), 0, 1, PyArray_DESCR(a)}, p);
    std::memcpy(&days, p.data, sizeof days);
    return true;
}

}  // namespace

bool object_days(PyObject* o, std::int64_t& days) {
    if (Py_IS_TYPE(o, py::PyClass<Date>::type)) {
        days = reinterpret_cast<py::Obj<Date>*>(o)->value.serial() - epoch_serial;
        return true;
    }
    if (o == Py_None) {
        days = nat;
        return true;
    }
    if (!datetime_ready()) return false;
    if (PyDate_Check(o)) {
        if (is_pandas_nat(o)) {
            days = nat;
            return true;
        }
        // datetime.date years run from 1; datetimes (and Timestamps) keep their own day.
        days = to_days(PyDateTime_GET_YEAR(o), static_cast<unsigned>(PyDateTime_GET_MONTH(o)),
                       static_cast<unsigned>(PyDateTime_GET_DAY(o)));
        return true;
    }
    if (PyArray_IsScalar(o, Datetime)) return scalar_days(o, days);
    py::cannot_convert(o, "Date");
    return false;
}

// ---------------------------------------------------------------- lanes

PyArray_DTypeMeta* Lane<Date>::choose(PyArray_DTypeMeta* given, std::string_view) {
    switch (classify(given)) {
        case Given::datetime:
            return &PyArray_DatetimeDType;
        default:
            return &PyArray_ObjectDType;
    }
}

std::int64_t Lane<Date>::prepare(const Operand& op, Prepared& out, std::string_view name, FirstError& err) {
    if (!op.object()) {
        datetime_days(op, out);
        return op.n;
    }
    return convert_objects<std::int64_t>(op, out, name, err, &object_days);
}

std::int64_t Lane<Tenor>::prepare(const Operand& op, Prepared& out, std::string_view name, FirstError& err) {
    return convert_objects<Tenor>(op, out, name, err, [](PyObject* o, Tenor& t) {
        if (Py_IS_TYPE(o, py::PyClass<Tenor>::type)) {
            t = reinterpret_cast<py::Obj<Tenor>*>(o)->value;
            return true;
        }
        std::string_view text;
        if (!py::load_text(o, text)) return false;
        t = parse_tenor(text);  // the parser's Error names the text
        return true;
    });
}

Tenor load_tenor(PyObject* o) {
    if (Py_IS_TYPE(o, py::PyClass<Tenor>::type)) return reinterpret_cast<py::Obj<Tenor>*>(o)->value;
    if (!PyUnicode_Check(o)) {
        py::cannot_convert(o, "Tenor");
        throw py::PythonError{};
    }
    std::string_view text;
    if (!py::load_text(o, text)) throw py::PythonError{};
    return parse_tenor(text);
}

bool Lane<Tenor>::check(PyObject* o, std::string_view name) {
    if (Py_IS_TYPE(o, py::PyClass<Tenor>::type)) return true;
    std::string_view text;
    if (!py::load_text(o, text)) {
        py::argument_error(name);
        return false;
    }
    try {
        (void)parse_tenor(text);
    } catch (const Error& e) {
        py::raise_error(e.message());
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- results

PyArrayObject* new_days(const std::vector<npy_intp>& shape) {
    PyArray_Descr* descr = days_descr();
    if (descr == nullptr) throw py::PythonError{};
    Py_INCREF(descr);  // stolen below
    auto* a = reinterpret_cast<PyArrayObject*>(PyArray_NewFromDescr(
        &PyArray_Type, descr, static_cast<int>(shape.size()), const_cast<npy_intp*>(shape.data()), nullptr, nullptr, 0,
        nullptr));
    if (a == nullptr) throw py::PythonError{};
    return a;
}

PyArrayObject* new_array(const std::vector<npy_intp>& shape, int type) {
    auto* a = reinterpret_cast<PyArrayObject*>(
        PyArray_SimpleNew(static_cast<int>(shape.size()), const_cast<npy_intp*>(shape.data()), type));
    if (a == nullptr) throw py::PythonError{};
    return a;
}

PyObject* finish(PyArrayObject* result) { return PyArray_Return(result); }

}  // namespace quill::np

// ---------------------------------------------------------------- any date-like, whole

namespace quill::py {

namespace {

// Checks the range and notes NaTs: a branch-free pass over chunks on the
// worker threads, a chunk searched only when flagged.
bool check_days(np::DateArray& out) {
    const std::int64_t* days = out.days();
    const npy_intp n = out.size();
    std::atomic<std::int64_t> first_bad{std::numeric_limits<std::int64_t>::max()};
    std::atomic<bool> any_nat{false};
    np::for_chunks(n, 65536, [&](std::int64_t begin, std::int64_t end) {
        if (!np::any_nat_or_outside(days, begin, end)) return;
        for (std::int64_t i = begin; i < end; ++i) {
            if (days[i] == np::nat) {
                any_nat.store(true, std::memory_order_relaxed);
            } else if (!np::valid_day(days[i])) {
                std::int64_t seen = first_bad.load();
                while (i < seen && !first_bad.compare_exchange_weak(seen, i)) {
                }
                return;
            }
        }
    });
    out.any_nat = any_nat.load();
    const std::int64_t bad = first_bad.load();
    if (bad != std::numeric_limits<std::int64_t>::max()) np::raise_out_of_range(days[bad], bad, out.shape());
    return true;
}

}  // namespace

bool Arg<np::DateArray>::load(PyObject* o) {
    try {
        if (Py_IS_TYPE(o, PyClass<Date>::type)) {
            v.reset(np::new_array({}, NPY_INT64));
            *static_cast<std::int64_t*>(PyArray_DATA(v.array())) =
                reinterpret_cast<Obj<Date>*>(o)->value.serial() - np::epoch_serial;
            return true;
        }
        Ref given(PyArray_FROM_O(o));
        if (!given) return false;
        auto* array = reinterpret_cast<PyArrayObject*>(given.get());
        const std::vector<npy_intp> shape(PyArray_DIMS(array), PyArray_DIMS(array) + PyArray_NDIM(array));
        if (PyArray_TYPE(array) == NPY_DATETIME) {
            PyArray_Descr* descr = np::days_descr();
            if (descr == nullptr) return false;
            Py_INCREF(descr);  // stolen
            PyObject* days = PyArray_FromAny(given.get(), descr, 0, 0, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST, nullptr);
            if (days == nullptr) return false;
            v.reset(reinterpret_cast<PyArrayObject*>(days));
            return check_days(v);
        }
        if (PyArray_SIZE(array) == 0) {
            v.reset(np::new_array(shape, NPY_INT64));
            return true;
        }
        if (PyArray_TYPE(array) == NPY_OBJECT || !PyArray_Check(o)) {
            // Keep the caller's own objects (not NumPy's scalars of them), so a
            // refusal names the type the caller passed.
            PyObject* objects = PyArray_FromAny(o, PyArray_DescrFromType(NPY_OBJECT), 0, 0, NPY_ARRAY_CARRAY_RO, nullptr);
            if (objects == nullptr) return false;
            Ref keep(objects);
            auto* oa = reinterpret_cast<PyArrayObject*>(objects);
            v.reset(np::new_array(shape, NPY_INT64));
            auto* target = static_cast<std::int64_t*>(PyArray_DATA(v.array()));
            np::Operand op{PyArray_BYTES(oa), static_cast<npy_intp>(sizeof(PyObject*)), PyArray_SIZE(oa),
                           PyArray_DESCR(oa)};
            for (npy_intp i = 0; i < op.n; ++i) {
                if (!np::object_days(op.item(i), target[i])) {
                    if (!shape.empty()) {
                        PyObject* exc = PyErr_GetRaisedException();
                        Ref text(PyObject_Str(exc));
                        Py_DECREF(exc);
                        const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
                        if (utf8 == nullptr) return false;
                        PyErr_SetString(PyExc_TypeError, (std::string(utf8) + np::at_index(i, shape)).c_str());
                    }
                    return false;
                }
            }
            return check_days(v);
        }
        Ref dtype(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(array))));
        if (!dtype) return false;
        const std::string text = np::message::dtype_not(PyUnicode_AsUTF8(dtype.get()), "Date");
        PyErr_SetString(PyExc_TypeError, text.c_str());
        return false;
    } catch (const PythonError&) {
        return false;
    }
}

}  // namespace quill::py
