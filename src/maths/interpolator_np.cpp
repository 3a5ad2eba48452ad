// Array form of Interpolator.interpolate.
#include "maths/interpolator.hpp"
#include "datetime/dates_np.hpp"
#include "numpy/twins.hpp"
#include "python/ref.hpp"

namespace quill::np {
namespace {

PyObject* interpolate(const Interpolator& interp, const FloatArray& x) {
    PyArrayObject* out = new_array(x.shape(), NPY_DOUBLE);
    py::Ref keep(reinterpret_cast<PyObject*>(out));
    const double* in = x.values();
    auto* result = static_cast<double*>(PyArray_DATA(out));
    FirstError error;
    for_elements(x.size(), 8192, error, [&](std::int64_t i) { result[i] = interp.interpolate(in[i]); });
    if (error.any()) error.raise(x.shape());
    return finish(reinterpret_cast<PyArrayObject*>(Py_NewRef(reinterpret_cast<PyObject*>(out))));
}

PyMethodDef defs[] = {
    py::function<"interpolate(interp, x)\n--\n\n"
                 "interp.interpolate of each element of x, as float64.",
                 &interpolate>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_interpolator_twins(PyObject* m) { return add_functions(m, defs); }

}  // namespace quill::np
