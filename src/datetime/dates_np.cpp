#include "datetime/dates_np.hpp"

#include <datetime.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "numpy/twins.hpp"
#include "python/ref.hpp"

namespace quill::np {

// ---------------------------------------------------------------- calendar arithmetic

// ---------------------------------------------------------------- errors


void raise_out_of_range(std::int64_t days, std::int64_t flat, const std::vector<npy_intp>& shape) {
    const std::int64_t year = year_of_days(days);
    if (year < 0 || year > 65535) {
        raise_at(FirstError::Kind::overflow, "out of range integral type conversion attempted", flat, shape);
    }
    raise_at(FirstError::Kind::value, "Year (" + std::to_string(year) + ") must be >= 1899", flat, shape);
}

// ---------------------------------------------------------------- results

PyArray_Descr* days_descr() {
    static PyArray_Descr* descr = [] {
        PyArray_Descr* d = nullptr;
        py::Ref text(PyUnicode_FromString("M8[D]"));
        if (!text || !PyArray_DescrConverter(text.get(), &d)) return static_cast<PyArray_Descr*>(nullptr);
        return d;  // kept for the process's life
    }();
    if (descr == nullptr && !PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "no datetime64[D] dtype");
    return descr;
}

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

bool day_span(const std::int64_t* days, npy_intp n, std::int64_t& first, std::int64_t& last) {
    std::mutex m;
    first = std::numeric_limits<std::int64_t>::max();
    last = std::numeric_limits<std::int64_t>::min();
    for_chunks(n, 65536, [&](std::int64_t begin, std::int64_t end) {
        std::int64_t lo = std::numeric_limits<std::int64_t>::max(), hi = std::numeric_limits<std::int64_t>::min();
        for (std::int64_t i = begin; i < end; ++i) {
            const std::int64_t d = days[i];
            lo = std::min(lo, d == nat ? std::numeric_limits<std::int64_t>::max() : d);
            hi = std::max(hi, d);  // NaT is the smallest int64
        }
        std::lock_guard lock(m);
        first = std::min(first, lo);
        last = std::max(last, hi);
    });
    return first <= last;
}

// ---------------------------------------------------------------- broadcasting

namespace {

std::string shape_text(const std::vector<npy_intp>& shape) {
    std::string out = "(";
    for (std::size_t k = 0; k < shape.size(); ++k) {
        if (k > 0) out += ",";
        out += std::to_string(shape[k]);
    }
    return out + (shape.size() == 1 ? ",)" : ")");
}

}  // namespace

Broadcast::Broadcast(std::initializer_list<Operand*> operands) {
    std::size_t ndim = 0;
    for (const Operand* o : operands) ndim = std::max(ndim, static_cast<std::size_t>(PyArray_NDIM(o->array())));
    shape.assign(ndim, 1);
    for (const Operand* o : operands) {
        const std::vector<npy_intp> s = o->shape();
        for (std::size_t k = 0; k < s.size(); ++k) {
            npy_intp& target = shape[ndim - s.size() + k];
            if (s[k] == target || s[k] == 1) continue;
            if (target == 1) {
                target = s[k];
                continue;
            }
            std::string message = "operands could not be broadcast together with shapes";
            for (const Operand* p : operands) message.append(1, ' ').append(shape_text(p->shape()));
            PyErr_SetString(PyExc_ValueError, message.c_str());
            throw py::PythonError{};
        }
    }
    size = 1;
    for (npy_intp d : shape) size *= d;
    for (Operand* o : operands) {
        if (o->size() == size || o->size() == 1) continue;
        // Rare: both operands grow (a column against a row). Spell it out.
        static PyObject* broadcast_to = [] {
            py::Ref numpy(PyImport_ImportModule("numpy"));
            return numpy ? PyObject_GetAttrString(numpy.get(), "broadcast_to") : nullptr;
        }();
        if (broadcast_to == nullptr) throw py::PythonError{};
        py::Ref dims(PyTuple_New(static_cast<Py_ssize_t>(ndim)));
        if (!dims) throw py::PythonError{};
        for (std::size_t k = 0; k < ndim; ++k) {
            PyObject* d = PyLong_FromSsize_t(shape[k]);
            if (d == nullptr) throw py::PythonError{};
            PyTuple_SET_ITEM(dims.get(), static_cast<Py_ssize_t>(k), d);
        }
        py::Ref view(PyObject_CallFunctionObjArgs(broadcast_to, reinterpret_cast<PyObject*>(o->array()), dims.get(),
                                                  nullptr));
        if (!view) throw py::PythonError{};
        PyObject* copy = PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(view.get()), NPY_CORDER);
        if (copy == nullptr) throw py::PythonError{};
        o->reset(reinterpret_cast<PyArrayObject*>(copy));
    }
}

// ---------------------------------------------------------------- date conversion

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

enum class Item { ok, not_a_date, out_of_range, python_error };

// A datetime64 scalar of any unit, floored to days.
Item scalar_days(PyObject* o, std::int64_t& days) {
    py::Ref zero_d(PyArray_FromScalar(o, nullptr));
    if (!zero_d) return Item::python_error;
    PyArray_Descr* descr = days_descr();
    if (descr == nullptr) return Item::python_error;
    Py_INCREF(descr);
    py::Ref cast(PyArray_CastToType(reinterpret_cast<PyArrayObject*>(zero_d.get()), descr, 0));
    if (!cast) return Item::python_error;
    std::memcpy(&days, PyArray_DATA(reinterpret_cast<PyArrayObject*>(cast.get())), sizeof days);
    if (days == nat) return Item::ok;
    return days < min_days || days > max_days ? Item::out_of_range : Item::ok;
}

Item item_days(PyObject* o, std::int64_t& days) {
    if (Py_IS_TYPE(o, py::PyClass<Date>::type)) {
        days = reinterpret_cast<py::Obj<Date>*>(o)->value.serial() - epoch_serial;
        return Item::ok;
    }
    if (o == nullptr || o == Py_None) {
        days = nat;
        return Item::ok;
    }
    if (PyDate_Check(o)) {
        if (is_pandas_nat(o)) {
            days = nat;
            return Item::ok;
        }
        // datetime.date years run from 1; datetimes (and Timestamps) keep their own day.
        days = to_days(PyDateTime_GET_YEAR(o), static_cast<unsigned>(PyDateTime_GET_MONTH(o)),
                               static_cast<unsigned>(PyDateTime_GET_DAY(o)));
        return days < min_days ? Item::out_of_range : Item::ok;
    }
    if (PyArray_IsScalar(o, Datetime)) return scalar_days(o, days);
    return Item::not_a_date;
}

// The scalar binding's refusal of a non-date.
void not_a_date(PyObject* o, std::int64_t flat, const std::vector<npy_intp>& shape) {
    py::cannot_convert(o == nullptr ? Py_None : o, "Date");
    if (shape.empty()) return;
    PyObject* exc = PyErr_GetRaisedException();
    py::Ref text(PyObject_Str(exc));
    Py_DECREF(exc);
    if (!text) return;
    const char* utf8 = PyUnicode_AsUTF8(text.get());
    if (utf8 == nullptr) return;
    PyErr_SetString(PyExc_TypeError, (std::string(utf8) + at_index(flat, shape)).c_str());
}

bool from_objects(PyArrayObject* objects, np::DateArray& out) {
    if (!datetime_ready()) return false;
    const std::vector<npy_intp> shape(PyArray_DIMS(objects), PyArray_DIMS(objects) + PyArray_NDIM(objects));
    PyArrayObject* days = new_array(shape, NPY_INT64);
    out.reset(days);
    auto* const* items = static_cast<PyObject* const*>(PyArray_DATA(objects));
    auto* target = static_cast<std::int64_t*>(PyArray_DATA(days));
    const npy_intp n = PyArray_SIZE(objects);
    for (npy_intp i = 0; i < n; ++i) {
        switch (item_days(items[i], target[i])) {
            case Item::ok:
                out.any_nat = out.any_nat || target[i] == nat;
                break;
            case Item::not_a_date:
                not_a_date(items[i], i, shape);
                return false;
            case Item::out_of_range:
                raise_out_of_range(target[i], i, shape);
            case Item::python_error:
                return false;
        }
    }
    return true;
}

// A datetime64[D] array: check the range, note NaTs, copy nothing.
bool check_days(np::DateArray& out) {
    const std::int64_t* days = out.days();
    const npy_intp n = out.size();
    std::atomic<std::int64_t> first_bad{std::numeric_limits<std::int64_t>::max()};
    std::atomic<bool> any_nat{false};
    for_chunks(n, 65536, [&](std::int64_t begin, std::int64_t end) {
        if (!any_nat_or_outside(days, begin, end)) return;
        bool nats = false, bad = false;
        for (std::int64_t i = begin; i < end && !bad; ++i) {
            nats = nats || days[i] == nat;
            bad = days[i] != nat && (days[i] < min_days || days[i] > max_days);
        }
        if (nats) any_nat.store(true);
        if (!bad) return;
        for (std::int64_t i = begin; i < end; ++i) {
            const std::int64_t d = days[i];
            if (d != nat && (d < min_days || d > max_days)) {
                std::int64_t seen = first_bad.load();
                while (i < seen && !first_bad.compare_exchange_weak(seen, i)) {
                }
                return;
            }
        }
    });
    out.any_nat = any_nat.load();
    const std::int64_t bad = first_bad.load();
    if (bad != std::numeric_limits<std::int64_t>::max()) raise_out_of_range(days[bad], bad, out.shape());
    return true;
}

}  // namespace
}  // namespace quill::np

namespace quill::py {

namespace {

bool load_dates(PyObject* o, np::DateArray& v, bool check) {
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
        if (PyArray_TYPE(array) == NPY_DATETIME) {
            PyArray_Descr* descr = np::days_descr();
            if (descr == nullptr) return false;
            Py_INCREF(descr);  // stolen
            PyObject* days = PyArray_FromAny(given.get(), descr, 0, 0, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST, nullptr);
            if (days == nullptr) return false;
            v.reset(reinterpret_cast<PyArrayObject*>(days));
            return !check || np::check_days(v);
        }
        const std::vector<npy_intp> shape(PyArray_DIMS(array), PyArray_DIMS(array) + PyArray_NDIM(array));
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
            return np::from_objects(reinterpret_cast<PyArrayObject*>(objects), v);
        }
        Ref dtype(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(array))));
        if (!dtype) return false;
        PyErr_Format(PyExc_TypeError, "'ndarray' object of dtype %U cannot be converted to 'Date'", dtype.get());
        return false;
    } catch (const PythonError&) {
        return false;
    }
}

}  // namespace

bool Arg<np::DateArray>::load(PyObject* o) { return load_dates(o, v, true); }
bool Arg<np::UncheckedDates>::load(PyObject* o) { return load_dates(o, v, false); }

bool Arg<np::FloatArray>::load(PyObject* o) {
    try {
        if (PyFloat_CheckExact(o)) {
            v.reset(np::new_array({}, NPY_DOUBLE));
            *static_cast<double*>(PyArray_DATA(v.array())) = PyFloat_AS_DOUBLE(o);
            return true;
        }
        Ref given(PyArray_FROM_O(o));
        if (!given) return false;
        auto* array = reinterpret_cast<PyArrayObject*>(given.get());
        const char kind = PyArray_DESCR(array)->kind;
        if (kind == 'f' || kind == 'i' || kind == 'u' || kind == 'b' || PyArray_SIZE(array) == 0) {
            PyObject* doubles = PyArray_FromAny(given.get(), PyArray_DescrFromType(NPY_DOUBLE), 0, 0,
                                                NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST, nullptr);
            if (doubles == nullptr) return false;
            v.reset(reinterpret_cast<PyArrayObject*>(doubles));
            return true;
        }
        if (kind != 'O' && PyArray_Check(o)) {
            Ref dtype(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(array))));
            if (!dtype) return false;
            PyErr_Format(PyExc_TypeError, "'ndarray' object of dtype %U cannot be converted to 'float'", dtype.get());
            return false;
        }
        PyObject* objects = PyArray_FromAny(o, PyArray_DescrFromType(NPY_OBJECT), 0, 0, NPY_ARRAY_CARRAY_RO, nullptr);
        if (objects == nullptr) return false;
        Ref keep(objects);
        auto* oa = reinterpret_cast<PyArrayObject*>(objects);
        const std::vector<npy_intp> shape(PyArray_DIMS(oa), PyArray_DIMS(oa) + PyArray_NDIM(oa));
        v.reset(np::new_array(shape, NPY_DOUBLE));
        auto* const* items = static_cast<PyObject* const*>(PyArray_DATA(oa));
        auto* target = static_cast<double*>(PyArray_DATA(v.array()));
        for (npy_intp i = 0, n = PyArray_SIZE(oa); i < n; ++i) {
            Arg<double> element;
            if (!element.load(items[i] == nullptr ? Py_None : items[i])) {
                PyObject* exc = PyErr_GetRaisedException();
                if (shape.empty() || exc == nullptr || !Py_IS_TYPE(exc, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
                    PyErr_SetRaisedException(exc);
                } else {
                    Ref text(PyObject_Str(exc));
                    Py_DECREF(exc);
                    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
                    if (utf8 == nullptr) return false;
                    PyErr_SetString(PyExc_TypeError, (std::string(utf8) + np::at_index(i, shape)).c_str());
                }
                return false;
            }
            target[i] = element.get();
        }
        return true;
    } catch (const PythonError&) {
        return false;
    }
}

}  // namespace quill::py
