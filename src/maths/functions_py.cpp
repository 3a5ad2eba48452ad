// The module's thirteen functions of one real variable.
#include "maths/functions.hpp"
#include "python/binding.hpp"

namespace quill::py {

PyMethodDef* maths_function_defs() {
    static PyMethodDef defs[] = {
        function<"exp(x)\n--\n\n", &quill::exp>(),
        function<"ln(x)\n--\n\n", &quill::ln>(),
        function<"log10(x)\n--\n\n", &quill::log10>(),
        function<"log2(x)\n--\n\n", &quill::log2>(),
        function<"pow2(x)\n--\n\n", &quill::pow2>(),
        function<"sqrt(x)\n--\n\n", &quill::sqrt>(),
        function<"sin(x)\n--\n\n", &quill::sin>(),
        function<"cos(x)\n--\n\n", &quill::cos>(),
        function<"tan(x)\n--\n\n", &quill::tan>(),
        function<"erf(x)\n--\n\n`erf` calculates the error function at `x`.", &quill::erf>(),
        function<"erfc(x)\n--\n\n`erfc` calculates the complementary error function\nat `x`.", &quill::erfc>(),
        function<"erf_inv(x)\n--\n\n`erf_inv` calculates the inverse error function\nat `x`.", &quill::erf_inv>(),
        function<"erfc_inv(x)\n--\n\n`erfc_inv` calculates the complementary inverse\nerror function at `x`.",
                 &quill::erfc_inv>(),
        {nullptr, nullptr, 0, nullptr},
    };
    return defs;
}

}  // namespace quill::py
