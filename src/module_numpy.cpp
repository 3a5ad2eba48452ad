// The array module's entry point, beside the scalar module's. It runs on the library compiled into the
// scalar module's build, and reads that module's objects directly: start-up
// takes the scalar module's classes and its internal-failure class, and
// refuses to import when the two modules do not come from one build.
#define QUILL_NUMPY_IMPORTS
#include "numpy/numpy.hpp"

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "datetime/calendar.hpp"
#include "datetime/date.hpp"
#include "datetime/day_counter.hpp"
#include "datetime/tenor.hpp"
#include "enums/bus_day_adj.hpp"
#include "enums/extrap_type.hpp"
#include "enums/interp_type.hpp"
#include "enums/payer_receiver_flag.hpp"
#include "enums/put_call_flag.hpp"
#include "enums/stub_type.hpp"
#include "enums/tenor_unit.hpp"
#include "enums/weekday.hpp"
#include "maths/interpolator.hpp"
#include "mkt_data/yield_curve.hpp"
#include "pricers/black_scholes.hpp"
#include "numpy/threads.hpp"
#include "numpy/twins.hpp"
#include "python/binding.hpp"
#include "python/ref.hpp"

namespace quill::py {

// The scalar module's classes, taken at start-up; the array module's own
// classes (QUILL_ARRAY_CLASSES) are made by their domains' registrations.
#define QUILL_BORROWED_CLASS(T, NAME)                                                           \
    PyTypeObject* PyClass<T>::create() {                                                        \
        PyErr_SetString(PyExc_ImportError, "quillander_numpy: quillander is not initialised"); \
        return nullptr;                                                                          \
    }
QUILL_SCALAR_CLASSES(QUILL_BORROWED_CLASS)
#undef QUILL_BORROWED_CLASS

}  // namespace quill::py

namespace quill::np {

// Each domain adds its array twins, in registration order.
bool add_maths_twins(PyObject* module);
bool add_black_scholes_twins(PyObject* module);
bool add_implied_vol_twins(PyObject* module);
bool add_date_twins(PyObject* module);
bool add_tenor_twins(PyObject* module);
bool add_calendar_twins(PyObject* module);
bool add_day_counter_twins(PyObject* module);
bool add_interpolator_twins(PyObject* module);
bool add_yield_curve_twins(PyObject* module);
// After add_black_scholes_twins: the dated forms call the plain ones.
bool add_black_scholes_dates_twins(PyObject* module);
bool add_schedule_twins(PyObject* module);
bool add_business_calendars(PyObject* module);
bool add_business_day_twins(PyObject* module);
bool add_day_count_twins(PyObject* module);
bool add_bond_twins(PyObject* module);
bool add_swap_twins(PyObject* module);
bool add_bootstrap(PyObject* module);
bool add_curve_descriptions(PyObject* module);

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quillander_numpy",
    "Array twins of quillander's functions: NumPy ufuncs whose every element is the\n"
    "scalar call's result, bit for bit.",
    0,
    nullptr,
    nullptr, nullptr, nullptr, nullptr,
};

quill::py::ModuleHome home;

void mismatch(const std::string& what) {
    const std::string message =
        "quillander_numpy does not match the installed quillander (" + what +
        "); reinstall both from one build";
    PyErr_SetString(PyExc_ImportError, message.c_str());
}

template <class T>
bool borrow_class(PyObject* scalar_module) {
    using C = py::PyClass<T>;
    py::Ref type(PyObject_GetAttrString(scalar_module, C::name));
    if (!type) return false;
    if (!PyType_Check(type.get()) ||
        reinterpret_cast<PyTypeObject*>(type.get())->tp_basicsize != static_cast<Py_ssize_t>(sizeof(py::Obj<T>))) {
        mismatch(std::string("layout of ") + C::name);
        return false;
    }
    C::type = reinterpret_cast<PyTypeObject*>(Py_NewRef(type.get()));  // kept for the process's life
    return true;
}

bool borrow_classes(PyObject* q) {
    bool ok = true;
#define QUILL_BORROW(T, NAME) ok = ok && borrow_class<T>(q);
    QUILL_SCALAR_CLASSES(QUILL_BORROW)
#undef QUILL_BORROW
    return ok;
}

// The scalar module creates its internal-failure class on the first failure
// and exposes it nowhere else: provoke one and keep its class, so that both
// modules raise the same exception.
bool adopt_failure_class(PyObject* q) {
    py::Ref date(PyObject_GetAttrString(q, "Date"));
    if (!date) return false;
    py::Ref result(PyObject_CallMethod(date.get(), "days_in_month", "ii", 2024, 13));
    if (result) {
        mismatch("no internal failure where one is due");
        return false;
    }
    PyObject* exc = PyErr_GetRaisedException();
    PyTypeObject* type = Py_TYPE(exc);
    py::Ref module_name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    const bool panic = module_name && PyUnicode_Check(module_name.get()) &&
                       PyUnicode_CompareWithASCIIString(module_name.get(), "pyo3_runtime") == 0 &&
                       std::string(type->tp_name).ends_with("PanicException");
    PyErr_Clear();
    if (panic) py::adopt_failure_type(reinterpret_cast<PyObject*>(type));
    Py_DECREF(exc);
    if (!panic) mismatch("unexpected internal-failure class");
    return panic;
}

// The value inside an object of the scalar module's class T, or null (with
// the mismatch raised) when the object is not of that class.
template <class T>
const T* value_of(PyObject* o) {
    if (o == nullptr) return nullptr;
    if (!Py_IS_TYPE(o, py::PyClass<T>::type)) {
        mismatch(py::PyClass<T>::name);
        return nullptr;
    }
    return &reinterpret_cast<py::Obj<T>*>(o)->value;
}

// A float answered by the scalar module, compared bit for bit with ours.
bool same_float(PyObject* answer, double ours, const char* what) {
    if (answer == nullptr) return false;
    const double theirs = PyFloat_AsDouble(answer);
    Py_DECREF(answer);
    if (theirs == -1.0 && PyErr_Occurred()) return false;
    if (std::memcmp(&theirs, &ours, sizeof ours) != 0) {
        mismatch(std::string(what) + " values");
        return false;
    }
    return true;
}

// The receivers of the array twins (calendars, day counters, tenors,
// interpolators, curves), made through the public API, read directly and
// asked the same questions both ways.
bool probe_receivers(PyObject* q, PyObject* date) {
    py::Ref cal(PyObject_CallMethod(q, "Calendar", "s", "QD_WEEK"));
    const Calendar* c = value_of<Calendar>(cal.get());
    if (c == nullptr) return false;
    py::Ref weekend(PyObject_CallMethod(cal.get(), "is_weekend", "O", date));
    if (!weekend) return false;
    if (std::string_view(c->rule().get_name()) != "QD_WEEK" ||
        (weekend.get() == Py_True) != c->rule().is_weekend(Date::from_ymd(2024, 2, 29))) {
        mismatch("Calendar values");
        return false;
    }
    py::Ref later(PyNumber_Add(date, py::Ref(PyLong_FromLong(400)).get()));
    if (!later) return false;
    py::Ref dc(PyObject_CallMethod(q, "DayCounter", "s", "Act360"));
    const DayCounter* counter = value_of<DayCounter>(dc.get());
    if (counter == nullptr || *counter != DayCounter::Act360 ||
        !same_float(PyObject_CallMethod(dc.get(), "get_dcf", "OO", date, later.get()),
                    year_fraction(*counter, Date::from_serial(45351), Date::from_serial(45751)), "DayCounter")) {
        if (!PyErr_Occurred()) mismatch("DayCounter values");
        return false;
    }
    py::Ref tenor(PyObject_CallMethod(q, "Tenor", "s", "-3M"));
    const Tenor* t = value_of<Tenor>(tenor.get());
    if (t == nullptr) return false;
    if (t->count != -3 || t->unit != TenorUnit::M) {
        mismatch("Tenor values");
        return false;
    }
    py::Ref interp_type(PyObject_GetAttrString(q, "InterpType"));
    py::Ref extrap_type(PyObject_GetAttrString(q, "ExtrapType"));
    py::Ref geometric(interp_type ? PyObject_GetAttrString(interp_type.get(), "Geometric") : nullptr);
    py::Ref flat(extrap_type ? PyObject_GetAttrString(extrap_type.get(), "Flat") : nullptr);
    if (!geometric || !flat) return false;
    py::Ref interp(PyObject_CallMethod(q, "Interpolator", "[ddd][ddd]OO", 0.0, 1.0, 2.0, 1.0, 0.5, 0.2, geometric.get(),
                                       flat.get()));
    const Interpolator* i = value_of<Interpolator>(interp.get());
    if (i == nullptr || i->nodes_x().size() != 3 ||
        !same_float(PyObject_CallMethod(interp.get(), "interpolate", "d", 0.7), i->interpolate(0.7), "Interpolator")) {
        if (!PyErr_Occurred()) mismatch("Interpolator values");
        return false;
    }
    py::Ref curve_class(PyObject_GetAttrString(q, "YieldCurve"));
    py::Ref act365(dc ? PyObject_CallMethod(q, "DayCounter", "s", "Act365") : nullptr);
    if (!curve_class || !act365) return false;
    py::Ref curve(PyObject_CallMethod(curve_class.get(), "create_noded", "OO[OO][dd]O", date, act365.get(), date,
                                      later.get(), 1.0, 0.97, geometric.get()));
    const YieldCurve* y = value_of<YieldCurve>(curve.get());
    if (y == nullptr) return false;
    py::Ref middle(PyNumber_Add(date, py::Ref(PyLong_FromLong(100)).get()));
    if (!middle) return false;
    if (y->model().curve_date().serial() != 45351 ||
        !same_float(PyObject_CallMethod(curve.get(), "get_df", "O", middle.get()),
                    y->model().df(Date::from_serial(45451)), "YieldCurve")) {
        if (!PyErr_Occurred()) mismatch("YieldCurve values");
        return false;
    }
    return true;
}

// Values made through the scalar module's public API read back the same here.
bool probe_values(PyObject* q) {
    py::Ref date_class(PyObject_GetAttrString(q, "Date"));
    if (!date_class) return false;
    py::Ref date(PyObject_CallFunction(date_class.get(), "iii", 2024, 2, 29));
    if (!date) return false;
    if (!Py_IS_TYPE(date.get(), py::PyClass<Date>::type)) {
        mismatch("Date");
        return false;
    }
    const Date& d = reinterpret_cast<py::Obj<Date>*>(date.get())->value;
    if (d.serial() != 45351 || d.year() != 2024 || d.month() != 2 || d.day() != 29) {
        mismatch("Date values");
        return false;
    }
    return probe_receivers(q, date.get());
}

long set_threads(std::int32_t n) {
    if (n < 1) throw Error("Number of threads (" + std::to_string(n) + ") must be >= 1");
    if (n > max_threads()) {
        throw Error("Number of threads (" + std::to_string(n) + ") must be <= " + std::to_string(max_threads()));
    }
    const long previous = num_threads();
    set_num_threads(n);
    return previous;
}

long get_threads() { return num_threads(); }

PyMethodDef* thread_defs() {
    static PyMethodDef defs[] = {
        py::function<"set_num_threads(n)\n--\n\n"
                     "Use at most `n` threads (the calling one included) in every loop; 1 means\n"
                     "no extra threads, and n may be at most 256 (or the machine's cores, if more).\n"
                     "Returns the previous setting. Results do not depend on it.",
                     &set_threads>(),
        py::function<"get_num_threads()\n--\n\nThe number of threads a loop may use (the machine's cores by default).",
                     &get_threads>(),
        {nullptr, nullptr, 0, nullptr},
    };
    return defs;
}

// NumPy's C API, then the scalar module's classes, internal-failure class and
// values, before the module is made.
bool prepare() {
    if (PyArray_ImportNumPyAPI() < 0 || PyUFunc_ImportUFuncAPI() < 0) return false;
    py::Ref scalar(PyImport_ImportModule("quillander"));
    return scalar && borrow_classes(scalar.get()) && adopt_failure_class(scalar.get()) && probe_values(scalar.get());
}

bool initialise(PyObject* module) {
    py::Ref version(PyUnicode_FromString("0.1.0"));
    if (!add(module, "__version__", version.get())) return false;
    py::Ref name(PyModule_GetNameObject(module));
    if (!name) return false;
    for (PyMethodDef* def = thread_defs(); def->ml_name != nullptr; ++def) {
        if (!add_new(module, def->ml_name, PyCMethod_New(def, module, name.get(), nullptr))) return false;
    }
    return add_maths_twins(module) && add_black_scholes_twins(module) && add_date_twins(module) &&
           add_tenor_twins(module) && add_calendar_twins(module) && add_day_counter_twins(module) &&
           add_interpolator_twins(module) && add_yield_curve_twins(module) &&
           add_black_scholes_dates_twins(module) &&
           add_implied_vol_twins(module) && add_schedule_twins(module) && add_business_calendars(module) &&
           add_business_day_twins(module) && add_day_count_twins(module) && add_bond_twins(module) &&
           add_swap_twins(module) && add_bootstrap(module) && add_curve_descriptions(module);
}

}  // namespace
}  // namespace quill::np

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_quillander_numpy() {
    using namespace quill::np;
    return quill::py::import_once(home, module_def, &prepare, &initialise);
}
