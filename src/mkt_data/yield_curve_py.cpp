#include "mkt_data/yield_curve.hpp"
#include "python/binding.hpp"
namespace quill::py {
PyTypeObject* PyClass<YieldCurve>::create() { return make_class<YieldCurve>("builtins.YieldCurve", {}); }
}
