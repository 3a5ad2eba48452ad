// Array form of Date.add_tenor: each date plus a tenor (one text, one Tenor,
// or an array of texts broadcast against the dates).
#include <algorithm>
#include <string>
#include <vector>

#include "datetime/tenor.hpp"
#include "datetime/dates_np.hpp"
#include "numpy/twins.hpp"
#include "python/ref.hpp"

namespace quill::np {
namespace {

// Tenors packed in int32 as count * 8 + unit, so that they broadcast like any
// other operand.
struct Tenors : Operand {};

std::int32_t pack(const Tenor& t) { return static_cast<std::int32_t>(t.count) * 8 + static_cast<std::int32_t>(t.unit); }
Tenor unpack(std::int32_t v) {
    return {static_cast<std::int16_t>(v >> 3), static_cast<TenorUnit>(v & 7)};
}

}  // namespace
}  // namespace quill::np

namespace quill::py {

// A tenor text, a Tenor, or an array of texts (or Tenors). Every text is
// parsed before any date is touched; a bad one raises the parser's ValueError.
template <>
struct Arg<np::Tenors> {
    np::Tenors v;
    bool load(PyObject* o) {
        try {
            return load_tenors(o);
        } catch (const PythonError&) {
            return false;
        } catch (const Error& e) {
            raise_error(e.message());
            return false;
        }
    }
    const np::Tenors& get() const { return v; }

private:
    static bool one(PyObject* item, std::int32_t& out) {
        if (Py_IS_TYPE(item, PyClass<Tenor>::type)) {
            out = np::pack(reinterpret_cast<Obj<Tenor>*>(item)->value);
            return true;
        }
        std::string_view text;
        if (!load_text(item, text)) return false;
        out = np::pack(parse_tenor(text));
        return true;
    }

    bool load_tenors(PyObject* o) {
        if (PyUnicode_Check(o) || Py_IS_TYPE(o, PyClass<Tenor>::type) || !(PySequence_Check(o) || PyObject_CheckBuffer(o) ||
                                                                            PyArray_Check(o))) {
            std::int32_t packed;
            if (!one(o, packed)) return false;
            v.reset(np::new_array({}, NPY_INT32));
            *static_cast<std::int32_t*>(PyArray_DATA(v.array())) = packed;
            return true;
        }
        PyObject* objects = PyArray_FromAny(o, PyArray_DescrFromType(NPY_OBJECT), 0, 0, NPY_ARRAY_CARRAY_RO, nullptr);
        if (objects == nullptr) return false;
        Ref keep(objects);
        auto* oa = reinterpret_cast<PyArrayObject*>(objects);
        const std::vector<npy_intp> shape(PyArray_DIMS(oa), PyArray_DIMS(oa) + PyArray_NDIM(oa));
        v.reset(np::new_array(shape, NPY_INT32));
        auto* const* items = static_cast<PyObject* const*>(PyArray_DATA(oa));
        auto* target = static_cast<std::int32_t*>(PyArray_DATA(v.array()));
        for (npy_intp i = 0, n = PyArray_SIZE(oa); i < n; ++i) {
            try {
                if (one(items[i] == nullptr ? Py_None : items[i], target[i])) continue;
            } catch (const Error& e) {
                np::raise_at(np::FirstError::Kind::value, e.message(), i, shape);
            }
            PyObject* exc = PyErr_GetRaisedException();
            Ref text(PyObject_Str(exc));
            const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
            if (utf8 != nullptr) {
                PyErr_SetString(reinterpret_cast<PyObject*>(Py_TYPE(exc)), (std::string(utf8) + np::at_index(i, shape)).c_str());
            }
            Py_DECREF(exc);
            return false;
        }
        return true;
    }
};

}  // namespace quill::py

namespace quill::np {
namespace {

// The day of `days` plus `t`, or nat when the library's own call must decide
// (a business-day tenor, a result outside the range).
inline std::int64_t shifted(std::int64_t days, Tenor t) noexcept {
    std::int64_t r;
    switch (t.unit) {
        case TenorUnit::D:
            r = days + t.count;
            break;
        case TenorUnit::W:
            r = days + 7 * static_cast<std::int64_t>(t.count);
            break;
        case TenorUnit::M:
        case TenorUnit::Y: {
            const civil::Fields c = from_days(days);
            std::int64_t year = c.year;
            std::int64_t month = c.month;
            if (t.unit == TenorUnit::M) {
                // Months counted from year 0 stay positive for every count, so
                // the floor division is a plain one.
                const std::int64_t k = (month - 1) + t.count;
                if (k < -32768 || k > 32767) return nat;
                const std::int64_t total = year * 12 + k;
                if (total < 0) return nat;
                year = total / 12;
                month = total - year * 12 + 1;
            } else {
                year += t.count;
            }
            if (year < 1899 || year > 65535) return nat;
            const auto m = static_cast<unsigned>(month);
            r = to_days(year, m, std::min(c.day, month_length(year, m)));
            break;
        }
        default:
            return nat;
    }
    return r < min_days || r > max_days ? nat : r;
}

PyObject* add_tenor_twin(const DateArray& dates, const Tenors& tenors) {
    DateArray& d = const_cast<DateArray&>(dates);
    Tenors& t = const_cast<Tenors&>(tenors);
    const Broadcast b{&d, &t};
    PyArrayObject* out = new_days(b.shape);
    py::Ref keep(reinterpret_cast<PyObject*>(out));
    const std::int64_t* in = d.days();
    const std::int32_t* packed = t.data<std::int32_t>();
    const npy_intp sd = Broadcast::step(d, b.size), st = Broadcast::step(t, b.size);
    auto* result = static_cast<std::int64_t*>(PyArray_DATA(out));
    std::atomic<bool> slow{false};
    std::int64_t first = 0, last = -1;
    std::vector<std::int64_t> table;
    if (st == 0 && day_span(in, d.size(), first, last) && last - first + 1 <= b.size / 2) {
        // One tenor and dates that repeat days: shift each day of the span once.
        const Tenor tenor = unpack(packed[0]);
        table.resize(static_cast<std::size_t>(last - first + 1));
        for_chunks(static_cast<npy_intp>(table.size()), 16384, [&](std::int64_t begin, std::int64_t end) {
            for (std::int64_t k = begin; k < end; ++k) table[static_cast<std::size_t>(k)] = shifted(first + k, tenor);
        });
    }
    for_chunks(b.size, 16384, [&](std::int64_t begin, std::int64_t end) {
        bool any = false;
        if (!table.empty()) {
            const std::int64_t* shift = table.data() - first;
            for (std::int64_t i = begin; i < end; ++i) {
                const std::int64_t day = in[i * sd];
                const std::int64_t r = day == nat ? nat : shift[day];
                result[i] = r;
                any |= r == nat && day != nat;
            }
        } else if (st == 0) {  // one tenor for all: a loop the compiler can keep tight
            const Tenor tenor = unpack(packed[0]);
            for (std::int64_t i = begin; i < end; ++i) {
                const std::int64_t day = in[i * sd];
                const std::int64_t r = day == nat ? nat : shifted(day, tenor);
                result[i] = r;
                any |= r == nat && day != nat;
            }
        } else {
            for (std::int64_t i = begin; i < end; ++i) {
                const std::int64_t day = in[i * sd];
                const std::int64_t r = day == nat ? nat : shifted(day, unpack(packed[i]));
                result[i] = r;
                any |= r == nat && day != nat;
            }
        }
        if (any) slow.store(true);
    });
    if (slow.load()) {
        // What the fast path left to the library: the library answers, or
        // fails (the first such element in order raises).
        for (npy_intp i = 0; i < b.size; ++i) {
            const std::int64_t day = in[i * sd];
            if (result[i] != nat || day == nat) continue;
            try {
                result[i] = add_tenor(date_of_days(day), unpack(packed[i * st])).serial() - epoch_serial;
            } catch (const Error& e) {
                raise_at(FirstError::Kind::value, e.message(), i, b.shape);
            } catch (const Failure& e) {
                raise_at(FirstError::Kind::failure, e.message(), i, b.shape);
            }
        }
    }
    return finish(reinterpret_cast<PyArrayObject*>(Py_NewRef(reinterpret_cast<PyObject*>(out))));
}

PyMethodDef defs[] = {
    py::function<"add_tenor(dates, t)\n--\n\n"
                 "Date.add_tenor of each date as datetime64[D]: t is a tenor text such as \"3M\", a\n"
                 "Tenor, or an array of texts broadcast against the dates. NaT stays NaT.",
                 &add_tenor_twin>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_tenor_twins(PyObject* m) { return add_functions(m, defs); }

}  // namespace quill::np
