// Python surface of Interpolator.
#include "maths/interpolator.hpp"

#include "python/binding.hpp"

namespace quill::py {
namespace {

Interpolator construct(std::vector<double> nodes_x, std::vector<double> nodes_y, InterpType interp_type,
                       ExtrapType extrap_type) {
    return Interpolator(std::move(nodes_x), std::move(nodes_y), interp_type, extrap_type);
}
const std::vector<double>& get_nodes_x(const Interpolator& i) { return i.nodes_x(); }
const std::vector<double>& get_nodes_y(const Interpolator& i) { return i.nodes_y(); }
InterpType get_interp_type(const Interpolator& i) { return i.interp_type(); }
ExtrapType get_extrap_type(const Interpolator& i) { return i.extrap_type(); }
double interpolate(const Interpolator& i, double x) { return i.interpolate(x); }

}  // namespace

PyTypeObject* PyClass<Interpolator>::create() {
    static PyMethodDef methods[] = {
        method<"Interpolator", "get_nodes_x($self)\n--\n\n", &get_nodes_x>(),
        method<"Interpolator", "get_nodes_y($self)\n--\n\n", &get_nodes_y>(),
        method<"Interpolator", "get_interp_type($self)\n--\n\n", &get_interp_type>(),
        method<"Interpolator", "get_extrap_type($self)\n--\n\n", &get_extrap_type>(),
        method<"Interpolator", "interpolate($self, x)\n--\n\n", &interpolate>(),
        {nullptr, nullptr, 0, nullptr},
    };
    return make_class<Interpolator>(
        "builtins.Interpolator",
        Constructor<"Interpolator(nodes_x, nodes_y, interp_type, extrap_type)\n--\n\n", &construct>{},
        {{Py_tp_methods, methods}});
}

}  // namespace quill::py
