#include "maths/interpolator.hpp"
#include "python/binding.hpp"
namespace quill::py {
PyTypeObject* PyClass<Interpolator>::create() { return make_class<Interpolator>("builtins.Interpolator", {}); }
}
