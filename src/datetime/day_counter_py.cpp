// Python surface of DayCounter: an enumeration with a constructor and
// year-fraction methods.
#include "datetime/day_counter.hpp"

#include "core/errors.hpp"
#include "python/enum_class.hpp"

namespace quill::py {
namespace {

DayCounter construct(std::string_view s) { return day_counter_from_name(s); }
double get_dcf(const DayCounter& dc, const Date& d1, const Date& d2) { return year_fraction(dc, d1, d2); }
double get_dcf_act365(const DayCounter&, const Date& d1, const Date& d2) {
    return year_fraction(DayCounter::Act365, d1, d2);
}
double get_dcf_act360(const DayCounter&, const Date& d1, const Date& d2) {
    return year_fraction(DayCounter::Act360, d1, d2);
}
double get_dcf_30360(const DayCounter&, const Date&, const Date&) { fail("not implemented"); }

}  // namespace

PyTypeObject* PyClass<DayCounter>::create() {
    static PyMethodDef methods[] = {
        method<"DayCounter", "get_dcf($self, date1, date2)\n--\n\n", &get_dcf>(),
        method<"DayCounter", "get_dcf_act365($self, date1, date2)\n--\n\n", &get_dcf_act365>(),
        method<"DayCounter", "get_dcf_act360($self, date1, date2)\n--\n\n", &get_dcf_act360>(),
        method<"DayCounter", "get_dcf_30360($self, _date1, _date2)\n--\n\n", &get_dcf_30360>(),
        {nullptr, nullptr, 0, nullptr},
    };
    return make_enum<DayCounter>("builtins.DayCounter", Constructor<"DayCounter(s)\n--\n\n", &construct>{},
                                 {{Py_tp_methods, methods}});
}

}  // namespace quill::py
