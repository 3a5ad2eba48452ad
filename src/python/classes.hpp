// The module's classes: one PyClass specialisation per wrapped library value.
// Each class object is created on first need by create(), defined in the
// class's own *_py.cpp, and kept for the life of the process.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace quill {
class Date;
struct YearMonthDay;
struct Tenor;
class Calendar;
class BusinessCalendar;
struct SwapConventions;
struct CurveDescription;
class Interpolator;
class YieldCurve;
struct BlackScholesMetrics;
struct BlackScholes;
enum class DayCounter : std::uint8_t;
enum class TenorUnit : std::uint8_t;
enum class Weekday : std::uint8_t;
enum class StubType : std::uint8_t;
enum class BusDayAdj : std::uint8_t;
enum class ExtrapType : std::uint8_t;
enum class InterpType : std::uint8_t;
enum class PayerReceiverFlag : std::uint8_t;
enum class PutCallFlag : std::uint8_t;
}  // namespace quill

namespace quill::py {

template <class T>
struct PyClass;  // only the specialisations below exist

// Python object layout of every class: the header, then the library value.
template <class T>
struct Obj {
    PyObject_HEAD
    T value;
};

// The scalar module's classes, in registration order: the one list from which
// both modules' start-ups are made. X(type, name).
#define QUILL_SCALAR_CLASSES(X)                         \
    X(quill::Calendar, "Calendar")                      \
    X(quill::YearMonthDay, "YearMonthDay")              \
    X(quill::Date, "Date")                              \
    X(quill::DayCounter, "DayCounter")                  \
    X(quill::Tenor, "Tenor")                            \
    X(quill::BlackScholesMetrics, "BlackScholesMetrics") \
    X(quill::BlackScholes, "BlackScholes")              \
    X(quill::Interpolator, "Interpolator")              \
    X(quill::YieldCurve, "YieldCurve")                  \
    X(quill::BusDayAdj, "BusDayAdj")                    \
    X(quill::ExtrapType, "ExtrapType")                  \
    X(quill::InterpType, "InterpType")                  \
    X(quill::StubType, "StubType")                      \
    X(quill::TenorUnit, "TenorUnit")                    \
    X(quill::PutCallFlag, "PutCallFlag")                \
    X(quill::PayerReceiverFlag, "PayerReceiverFlag")    \
    X(quill::Weekday, "Weekday")

#define QUILL_CLASS(T, NAME)                                              \
    template <>                                                            \
    struct PyClass<T> {                                                    \
        static constexpr const char* name = NAME;                          \
        static inline PyTypeObject* type = nullptr;                        \
        static PyTypeObject* create();                                     \
        static PyTypeObject* get() { return type ? type : create(); }     \
    };

QUILL_SCALAR_CLASSES(QUILL_CLASS)

// The array module's own classes, created at its start-up. X(type, name).
#define QUILL_ARRAY_CLASSES(X)                      \
    X(quill::BusinessCalendar, "BusinessCalendar") \
    X(quill::SwapConventions, "SwapConventions")   \
    X(quill::CurveDescription, "CurveDescription")

QUILL_ARRAY_CLASSES(QUILL_CLASS)

#undef QUILL_CLASS

template <class T>
concept Wrapped = requires { PyClass<T>::name; };

// Module functions, in registration order (defined beside their domains).
PyMethodDef* plot_function_def();
PyMethodDef* maths_function_defs();  // the 13 functions, {nullptr} terminated

}  // namespace quill::py
