// How each parameter and result of a library function travels through an
// array twin's loop: a "lane" per parameter type, an "Out" per result type.
//
// A lane chooses, from the dtype NumPy was given for its operand, the dtype
// of the loop it wants (`choose`; a promoter calls it), then prepares each
// loop call's operand into a column of its native elements (`prepare`:
// in place where the layout allows, else converted, objects read with the
// interpreter lock held), and reads each element for the function (`status`
// then `value`). The array layer defines the lanes of plain C++ types (doubles,
// integers, enumerations, bools) and of receivers (an instance of a class of
// either module, passed as `const T&`); a domain adds lanes of its own types
// (dates, tenors) by specialising Lane beside its other array code.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/enum_traits.hpp"
#include "core/errors.hpp"
#include "numpy/errors.hpp"
#include "numpy/numpy.hpp"
#include "python/binding.hpp"

namespace quill::np {

// ---------------------------------------------------------------- operands and columns

// One operand of one loop call, as NumPy hands it over.
struct Operand {
    char* data;
    npy_intp step;
    npy_intp n;
    PyArray_Descr* descr;
    bool object() const noexcept { return descr->type_num == NPY_OBJECT; }
    // The object of element i; None for the NULL NumPy may leave in new arrays.
    PyObject* item(npy_intp i) const noexcept {
        PyObject* o;
        std::memcpy(&o, data + i * step, sizeof o);
        return o == nullptr ? Py_None : o;
    }
};

// Elements i of T at data + i * step; step 0 repeats one element.
template <class T>
struct Column {
    const char* data = nullptr;
    npy_intp step = 0;
    T operator[](std::int64_t i) const noexcept {
        T v;
        std::memcpy(&v, data + i * step, sizeof v);
        return v;
    }
    bool broadcast() const noexcept { return step == 0; }
    bool contiguous() const noexcept { return step == static_cast<npy_intp>(sizeof(T)); }
    const T* ptr() const noexcept { return reinterpret_cast<const T*>(data); }
};

template <class T>
struct OutColumn {
    char* data = nullptr;
    npy_intp step = 0;
    void set(std::int64_t i, T v) const noexcept { std::memcpy(data + i * step, &v, sizeof v); }
    bool contiguous() const noexcept { return step == static_cast<npy_intp>(sizeof(T)); }
    T* ptr() const noexcept { return reinterpret_cast<T*>(data); }
};

// A prepared operand: a column over the caller's memory or over `store`.
struct Prepared {
    const char* data = nullptr;
    npy_intp step = 0;
    std::vector<std::uint64_t> store;  // 8-byte aligned

    void in_place(const Operand& op) noexcept {
        data = op.data;
        step = op.step;
    }
    // Room for the converted elements: one when broadcast, else n.
    template <class T>
    T* converted(const Operand& op) {
        static_assert(alignof(T) <= alignof(std::uint64_t) && std::is_trivially_copyable_v<T>);
        const npy_intp count = op.step == 0 ? std::min<npy_intp>(op.n, 1) : op.n;
        store.assign((static_cast<std::size_t>(count) * sizeof(T) + 7) / 8 + 1, 0);
        data = reinterpret_cast<const char*>(store.data());
        step = op.step == 0 ? 0 : static_cast<npy_intp>(sizeof(T));
        return reinterpret_cast<T*>(store.data());
    }
    template <class T>
    Column<T> column() const noexcept {
        return {data, step};
    }
};

// What an element is, read from its column: a value, a missing date (NaT),
// or refused (the lane says why).
enum class Status { ok, nat, refused };

// ---------------------------------------------------------------- dtypes

// What a DType is, for choosing a loop.
enum class Given {
    boolean, signed_int, small_unsigned, uint64, floating, complex, datetime, timedelta, object, text,
    python_int, python_float, python_complex, other
};
Given classify(PyArray_DTypeMeta* dtype) noexcept;
// The text NumPy gives a dtype ("int64", "<U3"), of the DType's default instance.
std::string dtype_text(PyArray_DTypeMeta* dtype);

// Converts the raised Python exception into element i's error, the argument
// named as the scalar binding names it; always false.
bool refuse_raised(FirstError& err, std::int64_t i, std::string_view name);

// Reads an object operand with `convert(PyObject*, T&) -> bool` (false with a
// Python exception, or throwing the library's Error or Failure) into a column
// of T; returns how many elements converted (the first refused one's error is
// recorded). The interpreter lock is held.
template <class T, class Convert>
std::int64_t convert_objects(const Operand& op, Prepared& out, std::string_view name, FirstError& err, Convert&& convert) {
    T* target = out.converted<T>(op);
    const npy_intp count = op.step == 0 ? std::min<npy_intp>(op.n, 1) : op.n;
    for (npy_intp i = 0; i < count; ++i) {
        try {
            if (!convert(op.item(i), target[i])) {
                refuse_raised(err, i, name);
                return i;
            }
        } catch (const Error& e) {
            err.record(i, FirstError::Kind::value, e.message());
            return i;
        } catch (const Failure& e) {
            err.record(i, FirstError::Kind::failure, e.message());
            return i;
        }
    }
    return op.n;
}

// Runs check(begin, end) -> first refused index in [begin, end) (or end) over
// [0, n), on the worker threads when n is large; the lowest refused index.
std::int64_t first_refused(std::int64_t n, std::int64_t (*check)(void*, std::int64_t, std::int64_t), void* ctx);

template <class F>
std::int64_t first_refused(std::int64_t n, F&& check) {
    return first_refused(
        n, [](void* c, std::int64_t b, std::int64_t e) { return (*static_cast<std::remove_reference_t<F>*>(c))(b, e); },
        &check);
}

// ---------------------------------------------------------------- lanes

template <class A>
struct Lane;

// Doubles: float64, other real dtypes cast by NumPy, anything else read as
// objects converted as the scalar binding converts a float.
template <>
struct Lane<double> {
    using Native = double;
    using Value = double;
    using Batched = double;
    static constexpr bool hoisted = false;
    static PyArray_DTypeMeta* choose(PyArray_DTypeMeta* given, std::string_view name);
    static std::int64_t prepare(const Operand& op, Prepared& out, std::string_view name, FirstError& err);
    static Status status(double) noexcept { return Status::ok; }
    static double value(double v) noexcept { return v; }
    static double batched(double v) noexcept { return v; }
    static double pass(double v) noexcept { return v; }
    static FirstError::Kind refusal(double, std::string_view, std::string&) { return FirstError::Kind::value; }
    static bool check(PyObject*, std::string_view) { return true; }
};

// "0 (PutCallFlag.Put) or 1 (PutCallFlag.Call)"
template <class E>
std::string variants_text() {
    const auto& names = EnumTraits<E>::variants;
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += i + 1 == names.size() ? " or " : ", ";
        out += std::to_string(i) + " (" + std::string(EnumTraits<E>::name) + "." + std::string(names[i]) + ")";
    }
    return out;
}

// The enumeration-independent part of the enumeration lane.
struct EnumLaneBase {
    // int64 for integer dtypes, uint64, float64 for float dtypes (values 0.0,
    // 1.0, ... accepted), objects for Python ints (any size) and the rest.
    static PyArray_DTypeMeta* choose(PyArray_DTypeMeta* given);
    // Validates (values below `count`) or converts into variant indexes.
    // `instance` reads an instance of the enumeration's class.
    static std::int64_t prepare(const Operand& op, Prepared& out, std::string_view name, std::int64_t count,
                                const std::string& variants, bool (*instance)(PyObject*, std::int64_t&),
                                std::string_view type_name, FirstError& err);
};

// Enumerations: the module's instances, or their integer values in any
// integer dtype (or float64 holding them exactly). Validated while prepared.
template <class E>
    requires std::is_enum_v<E> && requires { EnumTraits<E>::variants; }
struct Lane<E> {
    using Native = std::int64_t;
    using Value = E;
    using Batched = E;
    static constexpr bool hoisted = false;
    static PyArray_DTypeMeta* choose(PyArray_DTypeMeta* given, std::string_view) { return EnumLaneBase::choose(given); }
    static std::int64_t prepare(const Operand& op, Prepared& out, std::string_view name, FirstError& err) {
        static const std::string variants = variants_text<E>();
        return EnumLaneBase::prepare(op, out, name, static_cast<std::int64_t>(variant_count<E>()), variants, &instance,
                                     EnumTraits<E>::name, err);
    }
    static bool instance(PyObject* o, std::int64_t& v) noexcept {
        PyTypeObject* type = py::PyClass<E>::type;
        if (type == nullptr || !Py_IS_TYPE(o, type)) return false;
        v = static_cast<std::int64_t>(reinterpret_cast<py::Obj<E>*>(o)->value);
        return true;
    }
    static Status status(std::int64_t) noexcept { return Status::ok; }
    static E value(std::int64_t v) noexcept { return static_cast<E>(v); }
    static E batched(std::int64_t v) noexcept { return static_cast<E>(v); }
    static E pass(E v) noexcept { return v; }
    static FirstError::Kind refusal(std::int64_t, std::string_view, std::string&) { return FirstError::Kind::value; }
    static bool check(PyObject*, std::string_view) { return true; }
};

// Integers: any integer dtype; uint64 and Python ints beyond int64 are read
// exactly and clamped to int64's ends, where every bounded quantity refuses
// them as it refuses any value out of its range. Floats are refused.
template <>
struct Lane<std::int64_t> {
    using Native = std::int64_t;
    using Value = std::int64_t;
    using Batched = std::int64_t;
    static constexpr bool hoisted = false;
    static PyArray_DTypeMeta* choose(PyArray_DTypeMeta* given, std::string_view name);
    static std::int64_t prepare(const Operand& op, Prepared& out, std::string_view name, FirstError& err);
    static Status status(std::int64_t) noexcept { return Status::ok; }
    static std::int64_t value(std::int64_t v) noexcept { return v; }
    static std::int64_t batched(std::int64_t v) noexcept { return v; }
    static std::int64_t pass(std::int64_t v) noexcept { return v; }
    static FirstError::Kind refusal(std::int64_t, std::string_view, std::string&) { return FirstError::Kind::value; }
    static bool check(PyObject*, std::string_view) { return true; }
};

// A signed 32-bit count: an integer whose value must fit, refused as the
// scalar binding refuses a C int out of range.
template <>
struct Lane<std::int32_t> {
    using Native = std::int64_t;
    using Value = std::int32_t;
    using Batched = std::int32_t;
    static constexpr bool hoisted = false;
    static PyArray_DTypeMeta* choose(PyArray_DTypeMeta* given, std::string_view name) {
        return Lane<std::int64_t>::choose(given, name);
    }
    static std::int64_t prepare(const Operand& op, Prepared& out, std::string_view name, FirstError& err) {
        return Lane<std::int64_t>::prepare(op, out, name, err);
    }
    static Status status(std::int64_t v) noexcept {
        return v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max()
                   ? Status::refused
                   : Status::ok;
    }
    static std::int32_t value(std::int64_t v) noexcept { return static_cast<std::int32_t>(v); }
    static std::int32_t batched(std::int64_t v) noexcept { return static_cast<std::int32_t>(v); }
    static std::int32_t pass(std::int32_t v) noexcept { return v; }
    static FirstError::Kind refusal(std::int64_t, std::string_view, std::string& message) {
        message = "Python int too large to convert to C long";
        return FirstError::Kind::overflow;
    }
    static bool check(PyObject*, std::string_view) { return true; }
};

// How a receiver class is recognised: by default exactly the scalar module's
// class of T. A domain may specialise it to accept other classes holding a T
// the same way (py::Obj<T>).
template <class T>
struct Receiver {
    static const T* from(PyObject* o) noexcept {
        PyTypeObject* type = py::PyClass<T>::type;
        return type != nullptr && Py_IS_TYPE(o, type) ? &reinterpret_cast<py::Obj<T>*>(o)->value : nullptr;
    }
    static constexpr std::string_view name = py::PyClass<T>::name;
};

// Receivers: `const T&` parameters, an object operand of T's class (one for
// all, checked once before the loop, or an array of them, one per element).
template <class T>
    requires requires { Receiver<T>::from(nullptr); }
struct Lane<const T&> {
    using Native = const T*;
    using Value = const T*;
    using Batched = const T*;
    static constexpr bool hoisted = true;  // block forms see one receiver
    static PyArray_DTypeMeta* choose(PyArray_DTypeMeta*, std::string_view) { return &PyArray_ObjectDType; }
    static std::int64_t prepare(const Operand& op, Prepared& out, std::string_view name, FirstError& err) {
        return convert_objects<const T*>(op, out, name, err, [](PyObject* o, const T*& p) {
            p = Receiver<T>::from(o);
            if (p != nullptr) return true;
            py::cannot_convert(o, Receiver<T>::name);
            return false;
        });
    }
    static Status status(const T*) noexcept { return Status::ok; }
    static const T* value(const T* p) noexcept { return p; }
    static const T* batched(const T* p) noexcept { return p; }
    static const T& pass(const T* p) noexcept { return *p; }
    static FirstError::Kind refusal(const T*, std::string_view, std::string&) { return FirstError::Kind::value; }
    // A single object given for the receiver is checked before any array is
    // made, with the scalar binding's message.
    static bool check(PyObject* o, std::string_view name) {
        if (Receiver<T>::from(o) != nullptr) return true;
        py::cannot_convert(o, Receiver<T>::name);
        py::argument_error(name);
        return false;
    }
};

// Optional receivers: `const T*` parameters, None giving nullptr (a
// forecast curve that defaults to the discount curve, say).
template <class T>
    requires requires { Receiver<T>::from(nullptr); }
struct Lane<const T*> {
    using Native = const T*;
    using Value = const T*;
    using Batched = const T*;
    static constexpr bool hoisted = true;
    static PyArray_DTypeMeta* choose(PyArray_DTypeMeta*, std::string_view) { return &PyArray_ObjectDType; }
    static std::int64_t prepare(const Operand& op, Prepared& out, std::string_view name, FirstError& err) {
        return convert_objects<const T*>(op, out, name, err, [](PyObject* o, const T*& p) {
            p = o == Py_None ? nullptr : Receiver<T>::from(o);
            if (p != nullptr || o == Py_None) return true;
            py::cannot_convert(o, Receiver<T>::name);
            return false;
        });
    }
    static Status status(const T*) noexcept { return Status::ok; }
    static const T* value(const T* p) noexcept { return p; }
    static const T* batched(const T* p) noexcept { return p; }
    static const T* pass(const T* p) noexcept { return p; }
    static FirstError::Kind refusal(const T*, std::string_view, std::string&) { return FirstError::Kind::value; }
    static bool check(PyObject* o, std::string_view name) { return o == Py_None || Lane<const T&>::check(o, name); }
};

// The mask of a twin's `where=`: bool elements; false leaves the outputs
// unwritten.
struct MaskLane {
    static PyArray_DTypeMeta* choose(PyArray_DTypeMeta*) { return &PyArray_BoolDType; }
};

// ---------------------------------------------------------------- datetime64

inline constexpr std::int64_t nat = std::numeric_limits<std::int64_t>::min();  // NumPy's NaT

// Whether datetime64 of this descriptor is read as it is (a unit that is a
// fixed number of days or of fractions of one); other units (months, years,
// generic) are cast to days by NumPy.
bool linear_datetime(PyArray_Descr* descr) noexcept;
// datetime64 (or object holding them) operand -> a column of int64 days since
// 1970-01-01 (floored), NaT kept. In place for datetime64[D].
void datetime_days(const Operand& op, Prepared& out);
// The datetime64[D] descriptor (borrowed, made once).
PyArray_Descr* days_descr();

// ---------------------------------------------------------------- results

// Where a loop call's outputs go.
struct Outs {
    char* const* data;
    const npy_intp* steps;
    template <class T>
    void set(int k, std::int64_t i, T v) const noexcept {
        std::memcpy(data[k] + i * steps[k], &v, sizeof v);
    }
};

// Out<R>: a result type's outputs. n of them; dtype(k) and descr(k) (a new
// reference); put() writes a result, none() an empty optional, nat() the
// result of a missing date (false when the result type has no place for it:
// the element is refused with "Cannot convert NaT to <nat_what>").
template <class R>
struct Out;

template <>
struct Out<double> {
    static constexpr int n = 1;
    static constexpr const char* nat_what = nullptr;
    static PyArray_DTypeMeta* dtype(int) { return &PyArray_DoubleDType; }
    static PyArray_Descr* descr(int) { return PyArray_DescrFromType(NPY_DOUBLE); }
    static void put(const Outs& o, std::int64_t i, double v) noexcept { o.set(0, i, v); }
    static void none(const Outs& o, std::int64_t i) noexcept { o.set(0, i, std::numeric_limits<double>::quiet_NaN()); }
    static bool nat(const Outs& o, std::int64_t i) noexcept {
        none(o, i);
        return true;
    }
};

template <>
struct Out<bool> {
    static constexpr int n = 1;
    static constexpr const char* nat_what = nullptr;
    static PyArray_DTypeMeta* dtype(int) { return &PyArray_BoolDType; }
    static PyArray_Descr* descr(int) { return PyArray_DescrFromType(NPY_BOOL); }
    static void put(const Outs& o, std::int64_t i, bool v) noexcept { o.set(0, i, static_cast<npy_bool>(v)); }
    // NaT is neither a business day nor a weekend day, as numpy.is_busday has it.
    static bool nat(const Outs& o, std::int64_t i) noexcept {
        put(o, i, false);
        return true;
    }
};

template <class R>
struct Out<std::optional<R>> {
    static constexpr int n = Out<R>::n;
    static constexpr const char* nat_what = Out<R>::nat_what;
    static PyArray_DTypeMeta* dtype(int k) { return Out<R>::dtype(k); }
    static PyArray_Descr* descr(int k) { return Out<R>::descr(k); }
    static void put(const Outs& o, std::int64_t i, const std::optional<R>& v) noexcept {
        if (v) {
            Out<R>::put(o, i, *v);
        } else {
            Out<R>::none(o, i);
        }
    }
    static void none(const Outs& o, std::int64_t i) noexcept { Out<R>::none(o, i); }
    static bool nat(const Outs& o, std::int64_t i) noexcept { return Out<R>::nat(o, i); }
};

}  // namespace quill::np
