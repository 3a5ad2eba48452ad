// Array form of Interpolator.interpolate.
#include "maths/interpolator.hpp"
#include "numpy/wrapper.hpp"

namespace quill::np {
namespace {

double interpolate_at(const Interpolator& interp, double x) { return interp.interpolate(x); }

}  // namespace

bool add_interpolator_twins(PyObject* m) {
    return add_twin<"interpolate(interp, x)\n--\n\n"
                    "interp.interpolate of each element of x, as float64.",
                    &interpolate_at, TwinOptions{.grain = 8192}>(m);
}

}  // namespace quill::np
