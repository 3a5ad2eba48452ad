// Python surface of Date and YearMonthDay.
#include "datetime/date.hpp"

#include "datetime/calendar.hpp"
#include "datetime/tenor.hpp"
#include "enums/weekday.hpp"
#include "python/binding.hpp"

namespace quill::py {
namespace {

// Date(year, month, day) with three ints, or Date(text) with one str.
Date construct(VarArgs args) {
    if (args.size == 3 && PyLong_Check(args.items[0]) && PyLong_Check(args.items[1]) && PyLong_Check(args.items[2])) {
        Arg<std::uint16_t> year;
        Arg<std::uint8_t> month, day;
        if (!year.load(args.items[0]) || !month.load(args.items[1]) || !day.load(args.items[2])) throw PythonError{};
        return Date::from_ymd(year.get(), month.get(), day.get());
    }
    if (args.size == 1 && PyUnicode_Check(args.items[0])) {
        std::string_view text;
        if (!load_text(args.items[0], text)) throw PythonError{};
        return Date::parse(text);
    }
    PyObject* tuple = PyTuple_New(args.size);
    if (tuple == nullptr) throw PythonError{};
    for (Py_ssize_t i = 0; i < args.size; ++i) PyTuple_SET_ITEM(tuple, i, Py_NewRef(args.items[i]));
    PyObject* shown = PyObject_Repr(tuple);
    Py_DECREF(tuple);
    if (shown == nullptr) throw PythonError{};
    PyObject* message = PyUnicode_FromFormat(
        "Expected the following signatures: (year: int, month: int, day: int) or (yyyymmdd: str), but have %U", shown);
    Py_DECREF(shown);
    if (message != nullptr) {
        PyErr_SetObject(PyExc_ValueError, message);
        Py_DECREF(message);
    }
    throw PythonError{};
}

std::uint16_t year(const Date& d) { return d.year(); }
std::uint8_t month(const Date& d) { return d.month(); }
std::uint8_t day(const Date& d) { return d.day(); }
std::int32_t to_int(const Date& d) { return d.serial(); }
std::string to_str(const Date& d) { return d.to_string(); }
YearMonthDay get_ymd(const Date& d) { return d.ymd(); }
bool leap_year(std::uint16_t y) { return is_leap_year(y); }
std::uint8_t month_length(std::uint16_t y, std::uint8_t m) { return days_in_month(y, m); }
Weekday weekday(const Date& d) { return static_cast<Weekday>(d.weekday()); }
bool is_business_day(const Date& d, const Calendar& cal) { return cal.rule().is_business_day(d); }
bool is_weekend(const Date& d, const Calendar& cal) { return cal.rule().is_weekend(d); }
Date add(const Date& d, std::string_view t) { return add_tenor(d, parse_tenor(t)); }

std::string repr(const Date& d) { return "Date('" + d.to_string() + "')"; }

Date add_days(const Date& d, std::int32_t n) { return Date::from_serial(static_cast<std::int64_t>(d.serial()) + n); }
std::int64_t difference(const Date& a, const Date& b) {
    return static_cast<std::int64_t>(a.serial()) - b.serial();
}

}  // namespace

PyTypeObject* PyClass<Date>::create() {
    static PyMethodDef methods[] = {
        method<"Date", "year($self)\n--\n\n", &year>(),
        method<"Date", "month($self)\n--\n\n", &month>(),
        method<"Date", "day($self)\n--\n\n", &day>(),
        method<"Date", "to_int($self)\n--\n\n", &to_int>(),
        method<"Date", "to_str($self)\n--\n\n", &to_str>(),
        method<"Date", "get_ymd($self)\n--\n\n", &get_ymd>(),
        static_method<"Date", "is_leap_year(year)\n--\n\n", &leap_year>(),
        static_method<"Date", "days_in_month(year, month)\n--\n\n", &month_length>(),
        method<"Date", "weekday($self)\n--\n\n", &weekday>(),
        method<"Date", "is_business_day($self, cal)\n--\n\n", &is_business_day>(),
        method<"Date", "is_weekend($self, cal)\n--\n\n", &is_weekend>(),
        method<"Date", "add_tenor($self, t)\n--\n\n", &add>(),
        {nullptr, nullptr, 0, nullptr},
    };
    return make_class<Date>("builtins.Date", Constructor<"Date(*py_args)\n--\n\n", &construct>{},
                            {
                                {Py_tp_methods, methods},
                                {Py_tp_repr, reinterpret_cast<void*>(&repr_slot<Date, &repr>)},
                                {Py_tp_str, reinterpret_cast<void*>(&repr_slot<Date, &to_str>)},
                                {Py_nb_add, reinterpret_cast<void*>(&binary_op<Date, std::int32_t, &add_days>)},
                                {Py_nb_subtract, reinterpret_cast<void*>(&binary_op<Date, Date, &difference>)},
                            });
}

PyTypeObject* PyClass<YearMonthDay>::create() { return make_class<YearMonthDay>("builtins.YearMonthDay", {}); }

}  // namespace quill::py
