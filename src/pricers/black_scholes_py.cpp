#include "pricers/black_scholes.hpp"
#include "python/binding.hpp"
namespace quill::py {
PyTypeObject* PyClass<BlackScholesMetrics>::create() { return make_class<BlackScholesMetrics>("builtins.BlackScholesMetrics", {}); }
PyTypeObject* PyClass<BlackScholes>::create() { return make_class<BlackScholes>("builtins.BlackScholes", {}); }
}
