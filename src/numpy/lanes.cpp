#include "numpy/lanes.hpp"

#include <algorithm>
#include <atomic>

#include "core/float_text.hpp"
#include "numpy/threads.hpp"
#include "python/ref.hpp"

namespace quill::np {

// ---------------------------------------------------------------- dtypes

Given classify(PyArray_DTypeMeta* dtype) noexcept {
    if (dtype == &PyArray_PyLongDType) return Given::python_int;
    if (dtype == &PyArray_PyFloatDType) return Given::python_float;
    if (dtype == &PyArray_PyComplexDType) return Given::python_complex;
    if (dtype == &PyArray_ObjectDType) return Given::object;
    if (dtype == &PyArray_DatetimeDType) return Given::datetime;
    if (dtype == &PyArray_TimedeltaDType) return Given::timedelta;
    if (dtype == &PyArray_UnicodeDType || dtype == &PyArray_BytesDType || dtype == &PyArray_StringDType) {
        return Given::text;
    }
    switch (dtype->type_num) {
        case NPY_BOOL:
            return Given::boolean;
        case NPY_BYTE:
        case NPY_SHORT:
        case NPY_INT:
        case NPY_LONG:
        case NPY_LONGLONG:
            return Given::signed_int;
        case NPY_UBYTE:
        case NPY_USHORT:
        case NPY_UINT:
            return Given::small_unsigned;
        case NPY_ULONG:
        case NPY_ULONGLONG:
            return sizeof(npy_ulong) <= 4 && dtype->type_num == NPY_ULONG ? Given::small_unsigned : Given::uint64;
        case NPY_HALF:
        case NPY_FLOAT:
        case NPY_DOUBLE:
        case NPY_LONGDOUBLE:
            return Given::floating;
        case NPY_CFLOAT:
        case NPY_CDOUBLE:
        case NPY_CLONGDOUBLE:
            return Given::complex;
        default:
            return Given::other;
    }
}

std::string dtype_text(PyArray_DTypeMeta* dtype) {
    PyArray_Descr* descr = dtype->type_num >= 0 ? PyArray_DescrFromType(dtype->type_num) : nullptr;
    if (descr == nullptr) {
        PyErr_Clear();
        return reinterpret_cast<PyTypeObject*>(dtype)->tp_name;
    }
    py::Ref text(PyObject_Str(reinterpret_cast<PyObject*>(descr)));
    Py_DECREF(descr);
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return reinterpret_cast<PyTypeObject*>(dtype)->tp_name;
    }
    return utf8;
}

bool refuse_raised(FirstError& err, std::int64_t i, std::string_view name) {
    py::argument_error(name);
    if (!err.record_raised(i)) err.record(i, FirstError::Kind::type, message::argument(name, "refused"));
    return false;
}

namespace {

struct Refusals {
    std::int64_t (*check)(void*, std::int64_t, std::int64_t);
    void* ctx;
    std::atomic<std::int64_t> first;
};

void refusals_chunk(void* c, std::int64_t begin, std::int64_t end) {
    auto& r = *static_cast<Refusals*>(c);
    if (begin >= r.first.load(std::memory_order_relaxed)) return;  // a lower one is known
    const std::int64_t bad = r.check(r.ctx, begin, end);
    if (bad >= end) return;
    std::int64_t seen = r.first.load();
    while (bad < seen && !r.first.compare_exchange_weak(seen, bad)) {
    }
}

}  // namespace

std::int64_t first_refused(std::int64_t n, std::int64_t (*check)(void*, std::int64_t, std::int64_t), void* ctx) {
    if (n < (std::int64_t{1} << 17)) return check(ctx, 0, n);
    Refusals r{check, ctx, n};
    run_chunks(n, std::int64_t{1} << 16, &refusals_chunk, &r);
    return r.first.load();
}

// ---------------------------------------------------------------- doubles

PyArray_DTypeMeta* Lane<double>::choose(PyArray_DTypeMeta* given, std::string_view) {
    switch (classify(given)) {
        case Given::boolean:
        case Given::signed_int:
        case Given::small_unsigned:
        case Given::uint64:
        case Given::floating:
        case Given::python_int:
        case Given::python_float:
            return &PyArray_DoubleDType;
        default:
            return &PyArray_ObjectDType;
    }
}

std::int64_t Lane<double>::prepare(const Operand& op, Prepared& out, std::string_view name, FirstError& err) {
    if (!op.object()) {
        out.in_place(op);
        return op.n;
    }
    return convert_objects<double>(op, out, name, err, [](PyObject* o, double& v) {
        if (PyFloat_CheckExact(o)) {
            v = PyFloat_AS_DOUBLE(o);
            return true;
        }
        return py::load_double(o, v);
    });
}

// ---------------------------------------------------------------- enumerations

PyArray_DTypeMeta* EnumLaneBase::choose(PyArray_DTypeMeta* given) {
    switch (classify(given)) {
        case Given::boolean:
        case Given::signed_int:
        case Given::small_unsigned:
            return &PyArray_Int64DType;
        case Given::uint64:
            return &PyArray_UInt64DType;
        case Given::floating:
        case Given::python_float:
            return &PyArray_DoubleDType;
        default:
            return &PyArray_ObjectDType;
    }
}

namespace {

template <class T>
struct EnumCheck {
    const Operand* op;
    std::int64_t count;
    static std::int64_t run(void* c, std::int64_t begin, std::int64_t end) {
        const auto& self = *static_cast<EnumCheck*>(c);
        const char* p = self.op->data;
        const npy_intp step = self.op->step;
        if (step == static_cast<npy_intp>(sizeof(T))) {
            // Branch-free over the chunk, then searched only when one is out.
            const T* v = reinterpret_cast<const T*>(p);
            bool bad = false;
            for (std::int64_t i = begin; i < end; ++i) bad |= !(v[i] >= T(0) && v[i] < T(self.count));
            if (!bad) return end;
        }
        for (std::int64_t i = begin; i < end; ++i) {
            T v;
            std::memcpy(&v, p + i * step, sizeof v);
            if (!(v >= T(0) && v < T(self.count))) return i;
        }
        return end;
    }
};

}  // namespace

std::int64_t EnumLaneBase::prepare(const Operand& op, Prepared& out, std::string_view name, std::int64_t count,
                                   const std::string& variants, bool (*instance)(PyObject*, std::int64_t&),
                                   std::string_view type_name, FirstError& err) {
    const npy_intp n = op.step == 0 ? std::min<npy_intp>(op.n, 1) : op.n;
    const int t = op.descr->type_num;
    if (t == NPY_OBJECT) {
        std::int64_t* target = out.converted<std::int64_t>(op);
        for (npy_intp i = 0; i < n; ++i) {
            PyObject* o = op.item(i);
            std::int64_t v;
            if (instance(o, v)) {
                // An enumeration instance: its value is its variant's position.
            } else if (PyLong_Check(o)) {
                int overflow = 0;
                v = PyLong_AsLongLongAndOverflow(o, &overflow);
                if (v == -1 && PyErr_Occurred()) return refuse_raised(err, i, name), i;
                if (overflow != 0) {
                    py::Ref text(PyObject_Repr(o));
                    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
                    if (utf8 == nullptr) return refuse_raised(err, i, name), i;
                    err.record(i, FirstError::Kind::value, message::enum_value(name, utf8, variants));
                    return i;
                }
            } else {
                py::cannot_convert(o, type_name);
                refuse_raised(err, i, name);
                return i;
            }
            if (v < 0 || v >= count) {
                err.record(i, FirstError::Kind::value, message::enum_value(name, std::to_string(v), variants));
                return i;
            }
            target[i] = v;
        }
        return op.n;
    }
    if (t == NPY_DOUBLE) {
        std::int64_t* target = out.converted<std::int64_t>(op);
        for (npy_intp i = 0; i < n; ++i) {
            double v;
            std::memcpy(&v, op.data + i * op.step, sizeof v);
            // Exactly a variant's value: what a column of flags that once held
            // NaN is left as.
            if (!(v >= 0.0 && v < static_cast<double>(count) && v == std::floor(v))) {
                err.record(i, FirstError::Kind::value, message::enum_value(name, float_text(v), variants));
                return i;
            }
            target[i] = static_cast<std::int64_t>(v);
        }
        return op.n;
    }
    // int64 and uint64 hold the valid values in the same bits: validated in place.
    EnumCheck<std::int64_t> signed_check{&op, count};
    EnumCheck<std::uint64_t> unsigned_check{&op, count};
    const std::int64_t bad = t == NPY_UINT64 || t == NPY_ULONG || t == NPY_ULONGLONG
                                 ? first_refused(n, &EnumCheck<std::uint64_t>::run, &unsigned_check)
                                 : first_refused(n, &EnumCheck<std::int64_t>::run, &signed_check);
    out.in_place(op);  // the elements before a refused one are read in place
    if (bad < n) {
        std::string value;
        if (t == NPY_INT64 || t == NPY_LONG || t == NPY_LONGLONG) {
            std::int64_t v;
            std::memcpy(&v, op.data + bad * op.step, sizeof v);
            value = std::to_string(v);
        } else {
            std::uint64_t v;
            std::memcpy(&v, op.data + bad * op.step, sizeof v);
            value = std::to_string(v);
        }
        err.record(bad, FirstError::Kind::value, message::enum_value(name, value, variants));
        return bad;
    }
    return op.n;
}

// ---------------------------------------------------------------- integers

PyArray_DTypeMeta* Lane<std::int64_t>::choose(PyArray_DTypeMeta* given, std::string_view) {
    switch (classify(given)) {
        case Given::boolean:
        case Given::signed_int:
        case Given::small_unsigned:
            return &PyArray_Int64DType;
        case Given::uint64:
            return &PyArray_UInt64DType;
        default:
            return &PyArray_ObjectDType;
    }
}

std::int64_t Lane<std::int64_t>::prepare(const Operand& op, Prepared& out, std::string_view name, FirstError& err) {
    const int t = op.descr->type_num;
    if (t == NPY_OBJECT) {
        return convert_objects<std::int64_t>(op, out, name, err, [](PyObject* o, std::int64_t& v) {
            py::Ref index(PyNumber_Index(o));
            if (!index) return false;
            int overflow = 0;
            v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
            if (v == -1 && PyErr_Occurred()) return false;
            if (overflow != 0) v = overflow > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
            return true;
        });
    }
    if (t == NPY_UINT64 || t == NPY_ULONG || t == NPY_ULONGLONG) {
        std::int64_t* target = out.converted<std::int64_t>(op);
        const npy_intp n = op.step == 0 ? std::min<npy_intp>(op.n, 1) : op.n;
        for (npy_intp i = 0; i < n; ++i) {
            std::uint64_t v;
            std::memcpy(&v, op.data + i * op.step, sizeof v);
            target[i] = v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                            ? std::numeric_limits<std::int64_t>::max()
                            : static_cast<std::int64_t>(v);
        }
        return op.n;
    }
    out.in_place(op);
    return op.n;
}

// ---------------------------------------------------------------- datetime64

namespace {

// Days per unit as a fraction num/den of a day: the units that are a fixed
// span of time.
bool day_fraction(NPY_DATETIMEUNIT unit, __int128& num, __int128& den) noexcept {
    constexpr __int128 day_seconds = 86400;
    num = 1;
    switch (unit) {
        case NPY_FR_W: num = 7; den = 1; return true;
        case NPY_FR_D: den = 1; return true;
        case NPY_FR_h: den = 24; return true;
        case NPY_FR_m: den = 1440; return true;
        case NPY_FR_s: den = day_seconds; return true;
        case NPY_FR_ms: den = day_seconds * 1000; return true;
        case NPY_FR_us: den = day_seconds * 1000000; return true;
        case NPY_FR_ns: den = day_seconds * 1000000000; return true;
        case NPY_FR_ps: den = day_seconds * 1000000000000; return true;
        case NPY_FR_fs: den = day_seconds * 1000000000000000; return true;
        case NPY_FR_as: den = day_seconds * 1000000000000000000; return true;
        default: return false;
    }
}

const PyArray_DatetimeMetaData& meta_of(PyArray_Descr* descr) noexcept {
    return reinterpret_cast<PyArray_DatetimeDTypeMetaData*>(PyDataType_C_METADATA(descr))->meta;
}

}  // namespace

bool linear_datetime(PyArray_Descr* descr) noexcept {
    if (descr->type_num != NPY_DATETIME || !PyArray_ISNBO(descr->byteorder)) return false;
    __int128 num, den;
    return day_fraction(meta_of(descr).base, num, den);
}

void datetime_days(const Operand& op, Prepared& out) {
    const PyArray_DatetimeMetaData& meta = meta_of(op.descr);
    __int128 num = 1, den = 1;
    day_fraction(meta.base, num, den);
    num *= meta.num;
    if (num == 1 && den == 1) {
        out.in_place(op);
        return;
    }
    std::int64_t* target = out.converted<std::int64_t>(op);
    const npy_intp n = op.step == 0 ? std::min<npy_intp>(op.n, 1) : op.n;
    const char* p = op.data;
    const npy_intp step = op.step;
    if (num == 1 && den <= std::numeric_limits<std::int64_t>::max()) {
        // The common case (pandas' nanoseconds): a floor division by a constant.
        const auto d = static_cast<std::int64_t>(den);
        parallel_for(n, std::int64_t{1} << 16, [&](std::int64_t begin, std::int64_t end) {
            for (std::int64_t i = begin; i < end; ++i) {
                std::int64_t v;
                std::memcpy(&v, p + i * step, sizeof v);
                const std::int64_t q = v / d;
                target[i] = v == nat ? nat : q - ((v % d) < 0 ? 1 : 0);
            }
        });
        return;
    }
    parallel_for(n, std::int64_t{1} << 16, [&](std::int64_t begin, std::int64_t end) {
        for (std::int64_t i = begin; i < end; ++i) {
            std::int64_t v;
            std::memcpy(&v, p + i * step, sizeof v);
            if (v == nat) {
                target[i] = nat;
                continue;
            }
            const __int128 x = static_cast<__int128>(v) * num;
            __int128 q = x / den;
            if ((x % den) < 0) --q;
            target[i] = q < -(static_cast<__int128>(1) << 62) ? -(std::int64_t{1} << 62)
                        : q > (static_cast<__int128>(1) << 62) ? (std::int64_t{1} << 62)
                                                                 : static_cast<std::int64_t>(q);
        }
    });
}

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

}  // namespace quill::np
