#include "enums/interp_type.hpp"
#include "python/enum_class.hpp"

namespace quill::py {

PyTypeObject* PyClass<InterpType>::create() { return make_enum<InterpType>("builtins.InterpType"); }

}  // namespace quill::py
