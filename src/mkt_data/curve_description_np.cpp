// The array module's CurveDescription: a YieldCurve as plain, picklable data,
// and the way back to the very same curve.
#include "mkt_data/curve_description.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

#include "core/float_text.hpp"
#include "datetime/dates_np.hpp"
#include "numpy/twins.hpp"
#include "python/ref.hpp"

namespace quill::py {
namespace {

[[noreturn]] void python_error() { throw PythonError{}; }
PyObject* checked(PyObject* o) {
    if (o == nullptr) python_error();
    return o;
}

const CurveDescription& value_of(PyObject* o) { return reinterpret_cast<Obj<CurveDescription>*>(o)->value; }

CurveDescription construct(const YieldCurve& curve) { return CurveDescription::of(curve); }

PyObject* day(std::int32_t serial) {
    PyArrayObject* out = np::new_days({});
    *static_cast<std::int64_t*>(PyArray_DATA(out)) = serial - np::epoch_serial;
    return PyArray_Return(out);
}

std::string kind_of(const CurveDescription& d) { return d.noded ? "noded" : "flat"; }
PyObject* curve_date_of(const CurveDescription& d) { return day(d.curve_date); }
DayCounter day_counter_of(const CurveDescription& d) { return d.day_counter; }
std::optional<double> flat_rate_of(const CurveDescription& d) {
    return d.noded ? std::nullopt : std::optional<double>(d.flat_rate);
}
PyObject* node_dates_of(const CurveDescription& d) {
    if (!d.noded) Py_RETURN_NONE;
    PyArrayObject* out = np::new_days({static_cast<npy_intp>(d.node_dates.size())});
    auto* days = static_cast<std::int64_t*>(PyArray_DATA(out));
    for (std::size_t i = 0; i < d.node_dates.size(); ++i) days[i] = d.node_dates[i] - np::epoch_serial;
    return reinterpret_cast<PyObject*>(out);
}
PyObject* discount_factors_of(const CurveDescription& d) {
    if (!d.noded) Py_RETURN_NONE;
    PyArrayObject* out = np::new_array({static_cast<npy_intp>(d.discount_factors.size())}, NPY_DOUBLE);
    std::copy(d.discount_factors.begin(), d.discount_factors.end(), static_cast<double*>(PyArray_DATA(out)));
    return reinterpret_cast<PyObject*>(out);
}
std::optional<InterpType> interp_type_of(const CurveDescription& d) {
    return d.noded ? std::optional<InterpType>(d.interp_type) : std::nullopt;
}

YieldCurve to_curve(const CurveDescription& d) { return d.curve(); }

std::string repr(const CurveDescription& d) {
    const std::string date = Date::from_serial(d.curve_date).to_string();
    const std::string dc(EnumTraits<DayCounter>::variants[static_cast<std::size_t>(d.day_counter)]);
    if (!d.noded) return "CurveDescription(flat, " + date + ", DayCounter." + dc + ", rate " + float_text(d.flat_rate) + ")";
    return "CurveDescription(noded, " + date + ", DayCounter." + dc + ", " + std::to_string(d.node_dates.size()) +
           " nodes to " + Date::from_serial(d.node_dates.back()).to_string() + ", InterpType." +
           std::string(EnumTraits<InterpType>::variants[static_cast<std::size_t>(d.interp_type)]) + ")";
}

// Pickled as plain values (the factors and the rate as their bytes, so that
// every bit travels), restored by the module's _curve_description.
PyObject* reduce(const CurveDescription& d) {
    Ref module(checked(PyImport_ImportModule("quillander_numpy")));
    Ref restore(checked(PyObject_GetAttrString(module.get(), "_curve_description")));
    const std::vector<double> values = d.noded ? d.discount_factors : std::vector<double>{d.flat_rate};
    Ref dates(checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(d.node_dates.data()),
                                                static_cast<Py_ssize_t>(d.node_dates.size() * sizeof(std::int32_t)))));
    Ref factors(checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                                  static_cast<Py_ssize_t>(values.size() * sizeof(double)))));
    Ref args(checked(Py_BuildValue("(iiiOOi)", d.noded ? 1 : 0, d.curve_date, static_cast<int>(d.day_counter),
                                   dates.get(), factors.get(), static_cast<int>(d.interp_type))));
    return PyTuple_Pack(2, restore.get(), args.get());
}

template <class T>
std::vector<T> items_of(PyObject* bytes) {
    if (!PyBytes_Check(bytes) || PyBytes_GET_SIZE(bytes) % sizeof(T) != 0) {
        throw Error("CurveDescription state: bytes of " + std::to_string(sizeof(T)) + "-byte items expected");
    }
    std::vector<T> v(static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)) / sizeof(T));
    if (!v.empty()) std::memcpy(v.data(), PyBytes_AS_STRING(bytes), v.size() * sizeof(T));
    return v;
}

CurveDescription restore(std::int32_t noded, std::int32_t curve_date, std::int32_t day_counter, PyObject* dates,
                         PyObject* factors, std::int32_t interp_type) {
    if (day_counter < 0 || day_counter >= static_cast<std::int32_t>(variant_count<DayCounter>()) || interp_type < 0 ||
        interp_type >= static_cast<std::int32_t>(variant_count<InterpType>())) {
        throw Error("CurveDescription state: unknown day counter or interpolation");
    }
    CurveDescription d;
    d.noded = noded != 0;
    d.curve_date = curve_date;
    d.day_counter = static_cast<DayCounter>(day_counter);
    d.interp_type = static_cast<InterpType>(interp_type);
    std::vector<double> values = items_of<double>(factors);
    if (d.noded) {
        d.node_dates = items_of<std::int32_t>(dates);
        d.discount_factors = std::move(values);
    } else {
        if (values.size() != 1) throw Error("CurveDescription state: a flat curve has one rate");
        d.flat_rate = values[0];
    }
    (void)d.curve();  // refuses what no curve can be made of
    return d;
}

PyObject* richcompare(PyObject* a, PyObject* b, int op) {
    PyTypeObject* type = PyClass<CurveDescription>::type;
    if ((op != Py_EQ && op != Py_NE) || !Py_IS_TYPE(a, type) || !Py_IS_TYPE(b, type)) Py_RETURN_NOTIMPLEMENTED;
    const bool equal = value_of(a) == value_of(b);
    return Py_NewRef(equal == (op == Py_EQ) ? Py_True : Py_False);
}

Py_hash_t hash(PyObject* self) {
    const auto h = static_cast<Py_hash_t>(value_of(self).hash());
    return h == -1 ? -2 : h;
}

PyMethodDef restore_def =
    py::function<"_curve_description(noded, curve_date, day_counter, dates, factors, interp_type)\n--\n\n", &restore>();

}  // namespace

PyTypeObject* PyClass<CurveDescription>::create() {
    static PyGetSetDef attributes[] = {
        {"kind", &getter<CurveDescription, &kind_of>, nullptr, nullptr, nullptr},
        {"curve_date", &getter<CurveDescription, &curve_date_of>, nullptr, nullptr, nullptr},
        {"day_counter", &getter<CurveDescription, &day_counter_of>, nullptr, nullptr, nullptr},
        {"flat_rate", &getter<CurveDescription, &flat_rate_of>, nullptr, nullptr, nullptr},
        {"node_dates", &getter<CurveDescription, &node_dates_of>, nullptr, nullptr, nullptr},
        {"discount_factors", &getter<CurveDescription, &discount_factors_of>, nullptr, nullptr, nullptr},
        {"interp_type", &getter<CurveDescription, &interp_type_of>, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyMethodDef methods[] = {
        method<"CurveDescription",
               "to_curve($self)\n--\n\n"
               "The YieldCurve described: the same discount factor, bit for bit, at every date.",
               &to_curve>(),
        method<"CurveDescription", "__reduce__($self)\n--\n\n", &reduce>(),
        {nullptr, nullptr, 0, nullptr},
    };
    return make_class<CurveDescription>(
        "quillander_numpy.CurveDescription",
        Constructor<"CurveDescription(curve)\n--\n\n"
                    "A YieldCurve as plain data: its kind (\"flat\" or \"noded\"), date, day counter,\n"
                    "and its rate or its node dates, discount factors and interpolation. Equal and\n"
                    "hashable by its contents, picklable (so a curve reaches Dask workers and\n"
                    "process pools); to_curve() makes the very same curve again.",
                    &construct>{},
        {
            {Py_tp_getset, attributes},
            {Py_tp_methods, methods},
            {Py_tp_repr, reinterpret_cast<void*>(&repr_slot<CurveDescription, &repr>)},
            {Py_tp_richcompare, reinterpret_cast<void*>(&richcompare)},
            {Py_tp_hash, reinterpret_cast<void*>(&hash)},
        });
}

}  // namespace quill::py

namespace quill::np {

bool add_curve_descriptions(PyObject* m) {
    PyTypeObject* type = py::PyClass<CurveDescription>::get();
    if (type == nullptr || !add(m, "CurveDescription", reinterpret_cast<PyObject*>(type))) return false;
    py::Ref name(PyModule_GetNameObject(m));
    if (!name) return false;
    py::Ref restore(PyCMethod_New(&py::restore_def, m, name.get(), nullptr));
    return restore && PyModule_AddObjectRef(m, "_curve_description", restore.get()) == 0;
}

}  // namespace quill::np
