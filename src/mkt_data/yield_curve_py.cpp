// Python surface of YieldCurve: two static constructors and six queries.
#include "mkt_data/yield_curve.hpp"

#include "mkt_data/yield_curve_noded.hpp"
#include "python/binding.hpp"

namespace quill::py {
namespace {

YieldCurve create_flat(const Date& curve_date, DayCounter dc, double flat_rate) {
    return YieldCurve(std::make_unique<FlatCurve>(curve_date, flat_rate, dc));
}

YieldCurve create_noded(const Date& curve_date, DayCounter dc, std::vector<Date> node_dates,
                        std::vector<double> discount_factors, InterpType interp_type) {
    return YieldCurve(std::make_unique<NodedCurve>(curve_date, dc, std::move(node_dates),
                                                   std::move(discount_factors), interp_type));
}

Date get_curve_date(const YieldCurve& c) { return c.model().curve_date(); }
DayCounter get_dc(const YieldCurve& c) { return c.model().day_counter(); }
double get_df(const YieldCurve& c, const Date& date) { return c.model().df(date); }
double get_fwd_df(const YieldCurve& c, const Date& start, const Date& end) { return c.model().fwd_df(start, end); }
double get_overnight_rate(const YieldCurve& c, const Date& date) { return c.model().overnight_rate(date); }
double get_fwd_rate(const YieldCurve& c, const Date& start, const Date& end) { return c.model().fwd_rate(start, end); }

}  // namespace

PyTypeObject* PyClass<YieldCurve>::create() {
    static PyMethodDef methods[] = {
        static_method<"YieldCurve", "create_flat(curve_date, dc, flat_rate)\n--\n\n", &create_flat>(),
        static_method<"YieldCurve",
                      "create_noded(curve_date, dc, node_dates, discount_factors, interp_type)\n--\n\n",
                      &create_noded>(),
        method<"YieldCurve", "get_curve_date($self)\n--\n\n", &get_curve_date>(),
        method<"YieldCurve", "get_dc($self)\n--\n\n", &get_dc>(),
        method<"YieldCurve", "get_df($self, date)\n--\n\n", &get_df>(),
        method<"YieldCurve", "get_fwd_df($self, start_date, end_date)\n--\n\n", &get_fwd_df>(),
        method<"YieldCurve", "get_overnight_rate($self, date)\n--\n\n", &get_overnight_rate>(),
        method<"YieldCurve", "get_fwd_rate($self, start_date, end_date)\n--\n\n", &get_fwd_rate>(),
        {nullptr, nullptr, 0, nullptr},
    };
    return make_class<YieldCurve>("builtins.YieldCurve", {{Py_tp_methods, methods}});
}

}  // namespace quill::py
