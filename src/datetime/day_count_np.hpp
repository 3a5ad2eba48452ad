// The market's day counts as the array module takes them, for year fractions
// and for the bond and swap conventions alike.
#pragma once

#include "datetime/day_count.hpp"
#include "python/binding.hpp"

namespace quill::np {

// The day count of a name ("30E/360 ISDA") or of a quillander.DayCounter that
// says its convention. An unknown name and DayCounter.Thirty360 (which does not
// say which 30/360) are library errors; anything else sets TypeError "'<type>'
// object is not a DayCounter or a day-count name" and throws py::PythonError.
DayCount load_day_count(PyObject* o);

}  // namespace quill::np
