// plot_function: samples a Python callable over [x0, x1) and draws it with
// matplotlib.pyplot, imported by name at each call. Every exception raised by
// the import, by matplotlib or by the callable propagates unchanged.
#include "python/binding.hpp"
#include "python/ref.hpp"

namespace quill::py {
namespace {

// plt.<name>(*args, **kwargs), the attribute looked up at the moment of use.
bool call(PyObject* plt, const char* name, PyObject* args, PyObject* kwargs) {
    Ref fn(PyObject_GetAttrString(plt, name));
    if (!fn) return false;
    Ref empty(args ? nullptr : PyTuple_New(0));
    if (!args && !empty) return false;
    Ref result(PyObject_Call(fn.get(), args ? args : empty.get(), kwargs));
    return static_cast<bool>(result);
}

bool draw_figure(PyObject* plt, PyObject* figsize) {
    const Py_ssize_t size = PyTuple_GET_SIZE(figsize);
    Ref copy(PyTuple_New(size));
    if (!copy) return false;
    for (Py_ssize_t i = 0; i < size; ++i) PyTuple_SET_ITEM(copy.get(), i, Py_NewRef(PyTuple_GET_ITEM(figsize, i)));
    Ref kwargs(Py_BuildValue("{s:O}", "figsize", copy.get()));
    return kwargs && call(plt, "figure", nullptr, kwargs.get());
}

bool sample(PyObject* func, double x0, double x1, std::uint64_t n, PyObject* xs, PyObject* ys) {
    for (std::uint64_t i = 0; i < n; ++i) {
        const double x = (static_cast<double>(i) * (x1 - x0)) / static_cast<double>(n) + x0;
        Ref px(PyFloat_FromDouble(x));
        if (!px) return false;
        Ref result(PyObject_CallOneArg(func, px.get()));
        if (!result) return false;
        double y;
        if (!load_double(result.get(), y)) return false;
        Ref py(PyFloat_FromDouble(y));
        if (!py || PyList_Append(xs, px.get()) < 0 || PyList_Append(ys, py.get()) < 0) return false;
    }
    return true;
}

bool draw_legend(PyObject* plt) {
    Ref kwargs(Py_BuildValue("{s:(dd),s:s,s:d}", "bbox_to_anchor", 1.03, 1.0, "loc", "upper left", "borderaxespad", 0.0));
    return kwargs && call(plt, "legend", nullptr, kwargs.get());
}

PyObject* plot_function(PyObject* func, double x0, double x1, Defaulted<std::uint64_t> n, Defaulted<bool> grid,
                        Defaulted<bool> show, TupleArg figsize, ExtraKwargs extra) {
    Ref plt(PyImport_ImportModule("matplotlib.pyplot"));
    if (!plt) return nullptr;
    if (figsize.tuple != nullptr && !draw_figure(plt.get(), figsize.tuple)) return nullptr;
    Ref xs(PyList_New(0));
    Ref ys(PyList_New(0));
    if (!xs || !ys || !sample(func, x0, x1, n.value.value_or(100), xs.get(), ys.get())) return nullptr;
    Ref points(PyTuple_Pack(2, xs.get(), ys.get()));
    if (!points || !call(plt.get(), "plot", points.get(), extra.dict)) return nullptr;
    if (extra.dict != nullptr) {
        Ref label(PyUnicode_FromString("label"));
        if (!label) return nullptr;
        const int has_label = PyDict_Contains(extra.dict, label.get());
        if (has_label < 0 || (has_label == 1 && !draw_legend(plt.get()))) return nullptr;
    }
    if (!call(plt.get(), "tight_layout", nullptr, nullptr)) return nullptr;
    if (grid.value.value_or(true)) {
        Ref args(PyTuple_Pack(1, Py_True));
        if (!args || !call(plt.get(), "grid", args.get(), nullptr)) return nullptr;
    }
    if (show.value.value_or(true) && !call(plt.get(), "show", nullptr, nullptr)) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace

PyMethodDef* plot_function_def() {
    static PyMethodDef def = function<"plot_function(func, x0, x1, n=100, grid=True, show=True, figsize=None, **py_kwargs)\n--\n\n",
                                      &plot_function>();
    return &def;
}

}  // namespace quill::py
