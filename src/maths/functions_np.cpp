// Array twins of the thirteen functions of one real variable.
#include "maths/functions.hpp"
#include "numpy/twins.hpp"
#include "numpy/ufunc.hpp"

namespace quill::np {

template <>
struct Batch<&quill::erf> {
    static constexpr bool exists = true;
    static void run(std::size_t n, const double* x, double* const* out) { quill::erf_many(n, x, out[0]); }
};

bool add_maths_twins(PyObject* m) {
    // Cheap elements: larger chunks before a loop is worth splitting.
    constexpr std::int64_t grain = 16384;
    return add_new(m, "exp", twin<"exp(x)\n--\n\nquillander.exp of each element.", &quill::exp, grain>()) &&
           add_new(m, "ln", twin<"ln(x)\n--\n\nquillander.ln of each element.", &quill::ln, grain>()) &&
           add_new(m, "log10", twin<"log10(x)\n--\n\nquillander.log10 of each element.", &quill::log10, grain>()) &&
           add_new(m, "log2", twin<"log2(x)\n--\n\nquillander.log2 of each element.", &quill::log2, grain>()) &&
           add_new(m, "pow2", twin<"pow2(x)\n--\n\nquillander.pow2 (the square x*x) of each element.", &quill::pow2,
                                   grain>()) &&
           add_new(m, "sqrt", twin<"sqrt(x)\n--\n\nquillander.sqrt of each element.", &quill::sqrt, grain>()) &&
           add_new(m, "sin", twin<"sin(x)\n--\n\nquillander.sin of each element.", &quill::sin, grain>()) &&
           add_new(m, "cos", twin<"cos(x)\n--\n\nquillander.cos of each element.", &quill::cos, grain>()) &&
           add_new(m, "tan", twin<"tan(x)\n--\n\nquillander.tan of each element.", &quill::tan, grain>()) &&
           add_new(m, "erf", twin<"erf(x)\n--\n\nquillander.erf of each element.", &quill::erf, grain>()) &&
           add_new(m, "erfc", twin<"erfc(x)\n--\n\nquillander.erfc of each element.", &quill::erfc, grain>()) &&
           add_new(m, "erf_inv", twin<"erf_inv(x)\n--\n\nquillander.erf_inv of each element.", &quill::erf_inv,
                                      grain>()) &&
           add_new(m, "erfc_inv", twin<"erfc_inv(x)\n--\n\nquillander.erfc_inv of each element.", &quill::erfc_inv,
                                       grain>());
}

}  // namespace quill::np
