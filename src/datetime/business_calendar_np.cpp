// The array module's BusinessCalendar class, the market calendars of the
// holidays package (qn.calendar), and the calendar arguments of the twins.
#include "datetime/business_calendar_np.hpp"

#include <datetime.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "datetime/dates_np.hpp"
#include "numpy/twins.hpp"
#include "numpy/wrapper.hpp"
#include "python/ref.hpp"

namespace quill::np {
namespace {

bool datetime_ready() {
    if (PyDateTimeAPI == nullptr) PyDateTime_IMPORT;
    return PyDateTimeAPI != nullptr;
}

// pandas.NaT is a datetime whose fields mean nothing; its class is found by name.
bool is_pandas_nat(PyObject* o) {
    const std::string_view name(Py_TYPE(o)->tp_name);
    return name == "NaTType" || name.ends_with(".NaTType");
}

std::int32_t serial_of_fields(PyObject* date) {
    return static_cast<std::int32_t>(to_days(PyDateTime_GET_YEAR(date), static_cast<unsigned>(PyDateTime_GET_MONTH(date)),
                                             static_cast<unsigned>(PyDateTime_GET_DAY(date))) +
                                     epoch_serial);
}

// A datetime64 scalar or array, any unit, floored to days (an array of days,
// C-contiguous), or null with the exception set.
PyArrayObject* as_days(PyObject* o) {
    PyArray_Descr* descr = days_descr();
    if (descr == nullptr) return nullptr;
    py::Ref array(PyArray_IsScalar(o, Datetime) ? PyArray_FromScalar(o, nullptr) : Py_NewRef(o));
    if (!array) return nullptr;
    Py_INCREF(descr);  // stolen
    return reinterpret_cast<PyArrayObject*>(
        PyArray_FromAny(array.get(), descr, 0, 0, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST, nullptr));
}

enum class Item { date, skip, refused };

// One holiday: its serial, or skip for NaT and days outside the range of
// dates (they move no date), or refused with the exception set.
Item holiday_of(PyObject* o, std::int64_t& serial, std::int64_t index) {
    if (Py_IS_TYPE(o, py::PyClass<Date>::type)) {
        serial = reinterpret_cast<py::Obj<Date>*>(o)->value.serial();
        return Item::date;
    }
    if (o == Py_None || is_pandas_nat(o)) return Item::skip;
    if (PyDate_Check(o)) {
        serial = serial_of_fields(o);
        return serial < Date::min_serial || serial > Date::max_serial ? Item::skip : Item::date;
    }
    // ISO text, parsed as numpy.datetime64 parses it.
    const bool text = PyUnicode_Check(o);
    py::Ref parsed(text ? PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDatetimeArrType_Type), o) : nullptr);
    if (text) {
        if (!parsed) {
            PyErr_Clear();
            PyErr_Format(PyExc_ValueError, "argument 'holidays': %R is not an ISO date (at index %lld)", o,
                         static_cast<long long>(index));
            return Item::refused;
        }
        o = parsed.get();
    }
    if (PyArray_IsScalar(o, Datetime)) {
        // NaT of any unit (the generic one included) is skipped before a cast.
        std::int64_t raw;
        PyArray_ScalarAsCtype(o, &raw);
        if (raw == nat) return Item::skip;
        py::Ref days(reinterpret_cast<PyObject*>(as_days(o)));
        if (!days) return Item::refused;
        std::int64_t d;
        std::memcpy(&d, PyArray_DATA(reinterpret_cast<PyArrayObject*>(days.get())), sizeof d);
        if (d == nat || d < min_days || d > max_days) return Item::skip;
        serial = d + epoch_serial;
        return Item::date;
    }
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'Date' (at index %lld)", Py_TYPE(o)->tp_name,
                 static_cast<long long>(index));
    return Item::refused;
}

bool load_holidays(PyObject* o, std::vector<std::int32_t>& out) {
    if (o == Py_None) return true;
    if (!datetime_ready()) return false;
    if (PyUnicode_Check(o) || PyBytes_Check(o)) {
        py::cannot_convert(o, "list of dates");
        return false;
    }
    if (PyArray_Check(o) && PyArray_TYPE(reinterpret_cast<PyArrayObject*>(o)) == NPY_DATETIME) {
        py::Ref days(reinterpret_cast<PyObject*>(as_days(o)));
        if (!days) return false;
        const auto* d = static_cast<const std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(days.get())));
        const npy_intp n = PyArray_SIZE(reinterpret_cast<PyArrayObject*>(days.get()));
        out.reserve(static_cast<std::size_t>(n));
        for (npy_intp i = 0; i < n; ++i) {
            if (d[i] != nat && d[i] >= min_days && d[i] <= max_days) out.push_back(static_cast<std::int32_t>(d[i] + epoch_serial));
        }
        return true;
    }
    py::Ref it(PyObject_GetIter(o));
    if (!it) return false;
    std::int64_t index = 0;
    while (py::Ref item{PyIter_Next(it.get())}) {
        std::int64_t serial;
        switch (holiday_of(item.get(), serial, index++)) {
            case Item::date:
                out.push_back(static_cast<std::int32_t>(serial));
                break;
            case Item::skip:
                break;
            case Item::refused:
                return false;
        }
    }
    return !PyErr_Occurred();
}

// numpy.busdaycalendar's class, taken from NumPy once.
PyTypeObject* numpy_busdaycalendar() {
    static PyTypeObject* type = [] {
        py::Ref numpy(PyImport_ImportModule("numpy"));
        PyObject* t = numpy ? PyObject_GetAttrString(numpy.get(), "busdaycalendar") : nullptr;
        if (t != nullptr && !PyType_Check(t)) Py_CLEAR(t);
        return reinterpret_cast<PyTypeObject*>(t);  // kept for the process's life
    }();
    if (type == nullptr) PyErr_Clear();
    return type;
}

bool load_numpy_calendar(PyObject* o, std::optional<BusinessCalendar>& out) {
    py::Ref mask(PyObject_GetAttrString(o, "weekmask"));
    py::Ref holidays(PyObject_GetAttrString(o, "holidays"));
    if (!mask || !holidays) return false;
    py::Ref flags(PyArray_FROM_OTF(mask.get(), NPY_BOOL, NPY_ARRAY_CARRAY_RO));
    if (!flags) return false;
    if (PyArray_SIZE(reinterpret_cast<PyArrayObject*>(flags.get())) != 7) {
        PyErr_SetString(PyExc_ValueError, "numpy.busdaycalendar's weekmask must have 7 entries");
        return false;
    }
    const auto* f = static_cast<const npy_bool*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(flags.get())));
    std::uint8_t weekmask = 0;
    for (int w = 0; w < 7; ++w) {
        if (f[w]) weekmask = static_cast<std::uint8_t>(weekmask | (1u << w));
    }
    std::vector<std::int32_t> serials;
    if (!load_holidays(holidays.get(), serials)) return false;
    try {
        out.emplace(BusinessCalendar::from_holidays(weekmask, std::move(serials)));
    } catch (const Error& e) {
        py::raise_error(e.message());
        return false;
    }
    return true;
}

}  // namespace

bool load_calendar(PyObject* o, std::optional<BusinessCalendar>& out) {
    if (Py_IS_TYPE(o, py::PyClass<BusinessCalendar>::type)) {
        out.emplace(reinterpret_cast<py::Obj<BusinessCalendar>*>(o)->value);
        return true;
    }
    if (Py_IS_TYPE(o, py::PyClass<Calendar>::type)) {
        // The two rules' calendars, made once.
        const CalendarRule& rule = reinterpret_cast<py::Obj<Calendar>*>(o)->value.rule();
        static const BusinessCalendar week = BusinessCalendar::from_rule(Calendar::from_name("QD_WEEK").rule(), {});
        static const BusinessCalendar none = BusinessCalendar::from_rule(Calendar::from_name("QD_NONE").rule(), {});
        const std::string_view name = rule.get_name();
        out.emplace(name == "QD_WEEK" ? week : name == "QD_NONE" ? none : BusinessCalendar::from_rule(rule, {}));
        return true;
    }
    PyTypeObject* numpy_type = numpy_busdaycalendar();
    if (numpy_type != nullptr && Py_IS_TYPE(o, numpy_type)) {
        try {
            return load_numpy_calendar(o, out);
        } catch (const py::PythonError&) {
            return false;
        }
    }
    PyErr_Format(PyExc_TypeError, "'%s' object is not a Calendar, BusinessCalendar or numpy.busdaycalendar",
                 Py_TYPE(o)->tp_name);
    return false;
}

BusinessCalendar calendar_with(const CalendarArg& cal, HolidayList&& holidays) {
    return cal.value->with_holidays(std::move(holidays.serials));
}

PyObject* calendar_operand(PyObject* cal, PyObject* holidays) {
    const bool none = holidays == nullptr || holidays == Py_None;
    if (Py_IS_TYPE(cal, py::PyClass<BusinessCalendar>::type) && none) return Py_NewRef(cal);
    if (!single(cal) && none) return Py_NewRef(cal);  // one calendar an element
    std::optional<BusinessCalendar> value;
    if (!load_calendar(cal, value)) {
        py::argument_error("cal");
        return nullptr;
    }
    std::vector<std::int32_t> serials;
    if (!none && !load_holidays(holidays, serials)) {
        py::argument_error("holidays");
        return nullptr;
    }
    try {
        return py::wrap(serials.empty() ? *value : value->with_holidays(std::move(serials)));
    } catch (const Error& e) {
        py::raise_error(e.message());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    return nullptr;
}

}  // namespace quill::np

namespace quill::py {

bool Arg<np::HolidayList>::load(PyObject* o) { return np::load_holidays(o, v.serials); }

}  // namespace quill::py

// ---------------------------------------------------------------- the class

namespace quill::py {
namespace {

using np::HolidayList;

[[noreturn]] void python_error() { throw PythonError{}; }

PyObject* checked(PyObject* o) {
    if (o == nullptr) python_error();
    return o;
}

std::string date_text(std::int32_t serial) { return Date::from_serial(serial).to_string(); }

// The weekmask argument: numpy.busdaycalendar's forms ("1111100", weekday
// names, or seven flags, Monday first).
struct Weekmask {
    std::uint8_t bits = 0x1f;
};

}  // namespace

template <>
struct Arg<Weekmask> {
    Weekmask v;
    bool load(PyObject* o) {
        if (PyUnicode_Check(o)) {
            std::string_view text;
            if (!load_text(o, text)) return false;
            try {
                v.bits = parse_weekmask(text);
            } catch (const Error& e) {
                raise_error(e.message());
                return false;
            }
            return true;
        }
        Ref items(PySequence_Fast(o, ""));
        if (!items) {
            PyErr_Clear();
            cannot_convert(o, "weekmask");
            return false;
        }
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
        if (n != 7) {
            raise_error("Weekmask (" + std::to_string(n) + " flags) must have seven flags, Monday first");
            return false;
        }
        v.bits = 0;
        for (Py_ssize_t i = 0; i < 7; ++i) {
            PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
            if (!PyBool_Check(item) && !PyIndex_Check(item) && !PyArray_IsScalar(item, Bool)) {
                cannot_convert(item, "weekmask flag");
                return false;
            }
            const int flag = PyObject_IsTrue(item);
            if (flag < 0) return false;
            if (flag) v.bits = static_cast<std::uint8_t>(v.bits | (1u << i));
        }
        return true;
    }
    Weekmask get() const { return v; }
};

namespace {

using Value = Obj<BusinessCalendar>;

const BusinessCalendar& value_of(PyObject* o) { return reinterpret_cast<Value*>(o)->value; }

BusinessCalendar construct(Defaulted<Weekmask> weekmask, HolidayList holidays) {
    return BusinessCalendar::from_holidays(weekmask.value.value_or(Weekmask{}).bits, std::move(holidays.serials));
}

PyObject* days_array(const std::vector<std::int32_t>& serials) {
    PyArrayObject* out = np::new_days({static_cast<npy_intp>(serials.size())});
    auto* days = static_cast<std::int64_t*>(PyArray_DATA(out));
    for (std::size_t i = 0; i < serials.size(); ++i) days[i] = serials[i] - np::epoch_serial;
    return reinterpret_cast<PyObject*>(out);
}

PyObject* one_day(std::int32_t serial) {
    PyArrayObject* out = np::new_days({});
    *static_cast<std::int64_t*>(PyArray_DATA(out)) = serial - np::epoch_serial;
    return PyArray_Return(out);
}

PyObject* calendar_name(const BusinessCalendar& c) {
    if (c.name().empty()) Py_RETURN_NONE;
    return to_py(c.name());
}
std::string weekmask_of(const BusinessCalendar& c) { return weekmask_text(c.content().weekmask); }
PyObject* holidays_of(const BusinessCalendar& c) { return days_array(c.content().holidays); }
PyObject* extra_days_of(const BusinessCalendar& c) { return days_array(c.content().extra_days); }
PyObject* range_of(const BusinessCalendar& c) {
    if (!c.content().has_range()) Py_RETURN_NONE;
    Ref first(checked(one_day(c.content().first)));
    Ref last(checked(one_day(c.content().last)));
    return PyTuple_Pack(2, first.get(), last.get());
}

std::string count(std::size_t n, const char* what) {
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

std::string repr(const BusinessCalendar& c) {
    const CalendarDays& d = c.content();
    std::string out = "BusinessCalendar(";
    if (!c.name().empty()) out += "'" + c.name() + "', ";
    out += "weekmask='" + weekmask_text(d.weekmask) + "', " + count(d.holidays.size(), "holiday");
    if (!d.extra_days.empty()) out += ", " + count(d.extra_days.size(), "business day") + " on weekends";
    if (d.has_range()) out += ", " + date_text(d.first) + " to " + date_text(d.last);
    return out + ")";
}

PyObject* to_busdaycalendar(const BusinessCalendar& c) {
    const CalendarDays& d = c.content();
    if (!d.extra_days.empty()) {
        throw Error("BusinessCalendar" + (c.name().empty() ? std::string() : " " + c.name()) + " has " +
                    count(d.extra_days.size(), "business day") + " on weekend days (the first " +
                    date_text(d.extra_days.front()) + "), which numpy.busdaycalendar cannot hold");
    }
    Ref holidays(checked(days_array(d.holidays)));
    Ref mask(checked(to_py(weekmask_text(d.weekmask))));
    Ref args(checked(PyTuple_Pack(2, mask.get(), holidays.get())));
    return PyObject_Call(reinterpret_cast<PyObject*>(np::numpy_busdaycalendar()), args.get(), nullptr);
}

PyObject* bytes_of(const std::vector<std::int32_t>& v) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(v.data()),
                                     static_cast<Py_ssize_t>(v.size() * sizeof(std::int32_t)));
}

// Pickled as its content, restored by the module's _business_calendar.
PyObject* reduce(const BusinessCalendar& c) {
    const CalendarDays& d = c.content();
    Ref module(checked(PyImport_ImportModule("quillander_numpy")));
    Ref restore(checked(PyObject_GetAttrString(module.get(), "_business_calendar")));
    Ref name(checked(to_py(c.name())));
    Ref mask(checked(to_py(static_cast<std::int32_t>(d.weekmask))));
    Ref holidays(checked(bytes_of(d.holidays)));
    Ref extra(checked(bytes_of(d.extra_days)));
    Ref first(checked(to_py(d.first))), last(checked(to_py(d.last)));
    Ref args(checked(PyTuple_Pack(6, name.get(), mask.get(), holidays.get(), extra.get(), first.get(), last.get())));
    return PyTuple_Pack(2, restore.get(), args.get());
}

std::vector<std::int32_t> serials_of(PyObject* bytes, const char* what) {
    if (!PyBytes_Check(bytes) || PyBytes_GET_SIZE(bytes) % sizeof(std::int32_t) != 0) {
        throw Error(std::string("BusinessCalendar state: ") + what + " must be bytes of 32-bit serials");
    }
    std::vector<std::int32_t> v(static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)) / sizeof(std::int32_t));
    std::memcpy(v.data(), PyBytes_AS_STRING(bytes), v.size() * sizeof(std::int32_t));
    return v;
}

BusinessCalendar restore(std::string_view name, std::int32_t weekmask, PyObject* holidays, PyObject* extra_days,
                         std::int32_t first, std::int32_t last) {
    CalendarDays d;
    d.weekmask = static_cast<std::uint8_t>(weekmask & 0x7f);
    d.holidays = serials_of(holidays, "holidays");
    d.extra_days = serials_of(extra_days, "extra_days");
    d.first = first;
    d.last = last;
    return BusinessCalendar::from_content(std::move(d), std::string(name));
}

PyObject* richcompare(PyObject* a, PyObject* b, int op) {
    PyTypeObject* type = PyClass<BusinessCalendar>::type;
    if ((op != Py_EQ && op != Py_NE) || !Py_IS_TYPE(a, type) || !Py_IS_TYPE(b, type)) Py_RETURN_NOTIMPLEMENTED;
    const bool equal = value_of(a) == value_of(b);
    return Py_NewRef(equal == (op == Py_EQ) ? Py_True : Py_False);
}

Py_hash_t hash(PyObject* self) {
    const auto h = static_cast<Py_hash_t>(value_of(self).hash());
    return h == -1 ? -2 : h;
}

// cal_a | cal_b, either side any calendar argument.
PyObject* join(PyObject* a, PyObject* b) {
    std::optional<BusinessCalendar> left, right;
    if (!np::load_calendar(a, left) || !np::load_calendar(b, right)) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
        PyErr_Clear();
        Py_RETURN_NOTIMPLEMENTED;
    }
    return guarded([&] { return left->join(*right); });
}

}  // namespace

PyTypeObject* PyClass<BusinessCalendar>::create() {
    static PyGetSetDef attributes[] = {
        {"name", &getter<BusinessCalendar, &calendar_name>, nullptr, nullptr, nullptr},
        {"weekmask", &getter<BusinessCalendar, &weekmask_of>, nullptr, nullptr, nullptr},
        {"holidays", &getter<BusinessCalendar, &holidays_of>, nullptr, nullptr, nullptr},
        {"extra_days", &getter<BusinessCalendar, &extra_days_of>, nullptr, nullptr, nullptr},
        {"range", &getter<BusinessCalendar, &range_of>, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyMethodDef methods[] = {
        method<"BusinessCalendar", "to_busdaycalendar($self)\n--\n\n"
               "The numpy.busdaycalendar of the same weekmask and holidays (it has no range);\n"
               "ValueError when the calendar has business days on weekend days.",
               &to_busdaycalendar>(),
        method<"BusinessCalendar", "__reduce__($self)\n--\n\n", &reduce>(),
        {nullptr, nullptr, 0, nullptr},
    };
    return make_class<BusinessCalendar>(
        "quillander_numpy.BusinessCalendar",
        Constructor<"BusinessCalendar(weekmask='1111100', holidays=None)\n--\n\n"
                    "Which days are business days: those of `weekmask` (numpy.busdaycalendar's\n"
                    "forms: \"1111100\", \"Mon Tue Wed Thu Fri\" or seven flags, Monday first) that\n"
                    "are not `holidays` (any iterable of date-likes or ISO strings). Immutable,\n"
                    "equal and hashable by its days, picklable; `a | b` joins two calendars (a\n"
                    "holiday of either is a holiday of the join). qn.calendar(name) gives a\n"
                    "market's.",
                    &construct>{},
        {
            {Py_tp_getset, attributes},
            {Py_tp_methods, methods},
            {Py_tp_repr, reinterpret_cast<void*>(&repr_slot<BusinessCalendar, &repr>)},
            {Py_tp_richcompare, reinterpret_cast<void*>(&richcompare)},
            {Py_tp_hash, reinterpret_cast<void*>(&hash)},
            {Py_nb_or, reinterpret_cast<void*>(&join)},
        });
}

// ---------------------------------------------------------------- market calendars

namespace {

// The holidays package, imported when a named calendar is first asked for,
// and every calendar made, by name and years.
struct Markets {
    PyObject* package = nullptr;
    PyObject* build = nullptr;         // holidays.financial_holidays
    PyObject* names = nullptr;         // the names, a set
    std::string names_text;            // sorted, for messages
    PyObject* base_get_weekend = nullptr;  // HolidayBase._get_weekend
    PyObject* cache = nullptr;         // name or (name, first, last) -> BusinessCalendar
};

Markets& markets() {
    static Markets m;
    if (m.cache != nullptr) return m;
    m.cache = checked(PyDict_New());
    return m;
}

void load_package(Markets& m) {
    if (m.package != nullptr) return;
    Ref package(checked(PyImport_ImportModule("holidays")));
    Ref build(checked(PyObject_GetAttrString(package.get(), "financial_holidays")));
    Ref supported(checked(PyObject_CallMethod(package.get(), "list_supported_financial", nullptr)));
    Ref names(checked(PySet_New(supported.get())));
    Ref sorted(checked(PySequence_List(names.get())));
    if (PyList_Sort(sorted.get()) < 0) python_error();
    std::string text;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sorted.get()); ++i) {
        std::string_view name;
        if (!load_text(PyList_GET_ITEM(sorted.get(), i), name)) python_error();
        if (i > 0) text += ", ";
        text += name;
    }
    Ref base(checked(PyObject_GetAttrString(package.get(), "HolidayBase")));
    Ref get_weekend(checked(PyObject_GetAttrString(base.get(), "_get_weekend")));
    m.names_text = std::move(text);
    m.base_get_weekend = get_weekend.get();
    Py_INCREF(m.base_get_weekend);
    m.names = Py_NewRef(names.get());
    m.build = Py_NewRef(build.get());
    m.package = Py_NewRef(package.get());
}

long int_attr(PyObject* o, const char* name) {
    Ref v(checked(PyObject_GetAttrString(o, name)));
    const long x = PyLong_AsLong(v.get());
    if (x == -1 && PyErr_Occurred()) python_error();
    return x;
}

// The years asked for: None, a year, or an iterable of years (the first to
// the last are covered).
void years_of(PyObject* years, long& first, long& last) {
    if (PyLong_Check(years)) {
        first = last = PyLong_AsLong(years);
        if (first == -1 && PyErr_Occurred()) python_error();
        return;
    }
    Ref it(PyObject_GetIter(years));
    if (!it) {
        PyErr_Clear();
        cannot_convert(years, "years");
        argument_error("years");
        python_error();
    }
    bool any = false;
    while (Ref item{PyIter_Next(it.get())}) {
        if (!PyLong_Check(item.get())) {
            cannot_convert(item.get(), "year");
            argument_error("years");
            python_error();
        }
        const long y = PyLong_AsLong(item.get());
        if (y == -1 && PyErr_Occurred()) python_error();
        first = any ? std::min(first, y) : y;
        last = any ? std::max(last, y) : y;
        any = true;
    }
    if (PyErr_Occurred()) python_error();
    if (!any) throw Error("Years (none) must name at least one year");
}

std::uint8_t mask_of_weekend(PyObject* weekend) {
    std::uint8_t mask = 0x7f;
    Ref it(checked(PyObject_GetIter(weekend)));
    while (Ref item{PyIter_Next(it.get())}) {
        const long w = PyLong_AsLong(item.get());
        if (w == -1 && PyErr_Occurred()) python_error();
        if (w >= 0 && w < 7) mask = static_cast<std::uint8_t>(mask & ~(1u << w));
    }
    if (PyErr_Occurred()) python_error();
    return mask;
}

void add_serials(PyObject* dates, std::vector<std::int32_t>& out) {
    Ref it(checked(PyObject_GetIter(dates)));
    while (Ref item{PyIter_Next(it.get())}) {
        if (PyDate_Check(item.get())) out.push_back(np::serial_of_fields(item.get()));
    }
    if (PyErr_Occurred()) python_error();
}

BusinessCalendar build_market(Markets& m, PyObject* name, long first, long last) {
    Ref years(checked(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyRange_Type), "ll", first, last + 1)));
    Ref args(checked(PyTuple_Pack(1, name)));
    Ref kwargs(checked(Py_BuildValue("{sO}", "years", years.get())));
    Ref h(checked(PyObject_Call(m.build, args.get(), kwargs.get())));
    std::vector<std::int32_t> holidays, workdays;
    add_serials(h.get(), holidays);  // its keys
    Ref weekend_workdays(checked(PyObject_GetAttrString(h.get(), "weekend_workdays")));
    add_serials(weekend_workdays.get(), workdays);
    const auto first_serial = static_cast<std::int32_t>(np::to_days(first, 1, 1) + np::epoch_serial);
    const auto last_serial = static_cast<std::int32_t>(np::to_days(last, 12, 31) + np::epoch_serial);
    // A market whose weekend changes over the years says so day by day.
    Ref get_weekend(checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(h.get())), "_get_weekend")));
    std::vector<bool> off;
    std::uint8_t weekmask;
    if (get_weekend.get() == m.base_get_weekend) {
        Ref weekend(checked(PyObject_GetAttrString(h.get(), "weekend")));
        weekmask = mask_of_weekend(weekend.get());
    } else {
        // A weekend that changes over the years (Saturday sessions until
        // 1952 at the NYSE): asked every 29 days, so the probes' weekdays
        // rotate, and day by day between two probes that differ. Rules that
        // change for less than a month are out of reach, and none of the
        // package's markets has one in its years (the tests compare every day).
        Ref bound(checked(PyObject_GetAttrString(h.get(), "_get_weekend")));
        const auto weekend_at = [&](std::int32_t s) {
            const civil::Fields f = civil::from_days(s - np::epoch_serial);
            Ref date(checked(PyDate_FromDate(static_cast<int>(f.year), static_cast<int>(f.month), static_cast<int>(f.day))));
            Ref weekend(checked(PyObject_CallOneArg(bound.get(), date.get())));
            return static_cast<std::uint8_t>(~mask_of_weekend(weekend.get()) & 0x7f);  // bit w: weekday w is off
        };
        const std::size_t n = static_cast<std::size_t>(last_serial - first_serial) + 1;
        off.resize(n);
        const auto mark = [&](std::int32_t s, std::uint8_t weekend) {
            off[static_cast<std::size_t>(s - first_serial)] = ((weekend >> civil::weekday_of_serial(s)) & 1u) != 0;
        };
        std::int32_t a = first_serial;
        std::uint8_t at_a = weekend_at(a);
        while (a < last_serial) {
            const std::int32_t b = std::min(a + 29, last_serial);
            const std::uint8_t at_b = weekend_at(b);
            for (std::int32_t s = a; s < b; ++s) mark(s, at_a == at_b || s == a ? at_a : weekend_at(s));
            a = b;
            at_a = at_b;
        }
        mark(last_serial, at_a);
        weekmask = static_cast<std::uint8_t>(~at_a & 0x7f);
    }
    std::string_view text;
    if (!load_text(name, text)) python_error();
    return BusinessCalendar::from_market(std::string(text), weekmask, off, std::move(holidays), std::move(workdays),
                                         first_serial, last_serial);
}

PyObject* calendar(PyObject* name, Defaulted<PyObject*> years_arg) {
    Markets& m = markets();
    if (!PyUnicode_Check(name)) {
        std::string_view unused;
        (void)load_text(name, unused);
        argument_error("name");
        python_error();
    }
    PyObject* years = years_arg.value.value_or(Py_None);
    if (years == Py_None) {
        PyObject* hit = PyDict_GetItemWithError(m.cache, name);
        if (hit != nullptr) return Py_NewRef(hit);
        if (PyErr_Occurred()) python_error();
    }
    if (!np::datetime_ready()) python_error();
    load_package(m);
    const int known = PySet_Contains(m.names, name);
    if (known < 0) python_error();
    if (known == 0) {
        std::string_view text;
        if (!load_text(name, text)) python_error();
        throw Error("Unknown calendar (" + std::string(text) + "); the holidays package's financial calendars are " +
                    m.names_text);
    }
    Ref probe(checked(PyObject_CallOneArg(m.build, name)));
    // The library's dates begin in 1899.
    const long start = std::max(int_attr(probe.get(), "start_year"), 1899L), end = int_attr(probe.get(), "end_year");
    long first = start, last = end;
    if (years != Py_None) {
        years_of(years, first, last);
        if (first < start || last > end) {
            std::string_view text;
            if (!load_text(name, text)) python_error();
            throw Error("Years (" + std::to_string(first) + " to " + std::to_string(last) + ") must be within " +
                        std::string(text) + "'s (" + std::to_string(start) + " to " + std::to_string(end) + ")");
        }
    }
    Ref key(years == Py_None ? Py_NewRef(name) : checked(Py_BuildValue("(Oll)", name, first, last)));
    if (years != Py_None) {
        PyObject* hit = PyDict_GetItemWithError(m.cache, key.get());
        if (hit != nullptr) return Py_NewRef(hit);
        if (PyErr_Occurred()) python_error();
    }
    Ref made(checked(wrap(build_market(m, name, first, last))));
    if (PyDict_SetItem(m.cache, key.get(), made.get()) < 0) python_error();
    return Py_NewRef(made.get());
}

PyMethodDef public_defs[] = {
    function<"calendar(name, years=None)\n--\n\n"
             "The business calendar of a market of the holidays package (every name of\n"
             "holidays.list_supported_financial(), such as \"XNYS\" or \"XECB\"), exactly its\n"
             "working days, over `years` (a year or an iterable of years: the first to the\n"
             "last; by default every year the package covers for it). A date outside them\n"
             "is a ValueError. Made once per process and kept; the package is imported on\n"
             "the first call.",
             &calendar>(),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef restore_def =
    function<"_business_calendar(name, weekmask, holidays, extra_days, first, last)\n--\n\n"
             "A BusinessCalendar from its pickled content.",
             &restore>();

}  // namespace
}  // namespace quill::py

namespace quill::np {

bool add_business_calendars(PyObject* module) {
    PyTypeObject* type = py::PyClass<BusinessCalendar>::get();
    if (type == nullptr || !add(module, "BusinessCalendar", reinterpret_cast<PyObject*>(type))) return false;
    if (!add_functions(module, py::public_defs)) return false;
    py::Ref name(PyModule_GetNameObject(module));
    if (!name) return false;
    py::Ref restore(PyCMethod_New(&py::restore_def, module, name.get(), nullptr));
    return restore && PyModule_AddObjectRef(module, "_business_calendar", restore.get()) == 0;
}

}  // namespace quill::np
