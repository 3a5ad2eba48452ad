// Each domain declares its array twins beside its Python surface and adds them
// to the array module here, in registration order.
#pragma once

#include "numpy/numpy.hpp"

namespace quill::np {

// Adds `value` under `name` and records the name in __all__; steals nothing.
bool add(PyObject* module, const char* name, PyObject* value);
// Adds a new reference (a ufunc, a function), releasing it.
bool add_new(PyObject* module, const char* name, PyObject* value);

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

}  // namespace quill::np
