// The text form in which records and messages write doubles: the shortest
// digits that read back as the same double, written positionally (never with
// an exponent), without a decimal point when the value is integral. NaN is
// "NaN", the infinities "inf" and "-inf", negative zero "-0".
#pragma once

#include <string>

namespace quill {

std::string float_text(double x);

}  // namespace quill
