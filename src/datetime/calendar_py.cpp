// Python surface of Calendar.
#include "datetime/calendar.hpp"

#include <string>

#include "python/binding.hpp"

namespace quill::py {
namespace {

Calendar construct(std::string_view s) { return Calendar::from_name(s); }
std::string_view get_name(const Calendar& c) { return c.rule().get_name(); }
bool is_business_day(const Calendar& c, const Date& date) { return c.rule().is_business_day(date); }
bool is_weekend(const Calendar& c, const Date& date) { return c.rule().is_weekend(date); }
std::string repr(const Calendar& c) { return "Calendar('" + std::string(c.rule().get_name()) + "')"; }

}  // namespace

PyTypeObject* PyClass<Calendar>::create() {
    static PyMethodDef methods[] = {
        method<"Calendar", "get_name($self)\n--\n\n", &get_name>(),
        method<"Calendar", "is_business_day($self, date)\n--\n\n", &is_business_day>(),
        method<"Calendar", "is_weekend($self, date)\n--\n\n", &is_weekend>(),
        {nullptr, nullptr, 0, nullptr},
    };
    return make_class<Calendar>("builtins.Calendar", Constructor<"Calendar(s)\n--\n\n", &construct>{},
                                {
                                    {Py_tp_methods, methods},
                                    {Py_tp_repr, reinterpret_cast<void*>(&repr_slot<Calendar, &repr>)},
                                    {Py_tp_str, reinterpret_cast<void*>(&repr_slot<Calendar, &repr>)},
                                });
}

}  // namespace quill::py
