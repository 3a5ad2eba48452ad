#include "enums/extrap_type.hpp"
#include "python/enum_class.hpp"

namespace quill::py {

PyTypeObject* PyClass<ExtrapType>::create() { return make_enum<ExtrapType>("builtins.ExtrapType"); }

}  // namespace quill::py
