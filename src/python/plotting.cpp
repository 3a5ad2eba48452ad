#include "python/binding.hpp"
namespace quill::py {
namespace { PyObject* plot_function(PyObject*) { Py_RETURN_NONE; } }
PyMethodDef* plot_function_def() {
    static PyMethodDef def = function<"plot_function(func)\n--\n\n", &plot_function>();
    return &def;
}
}
