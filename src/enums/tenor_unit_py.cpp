#include "enums/tenor_unit.hpp"
#include "python/enum_class.hpp"

namespace quill::py {

PyTypeObject* PyClass<TenorUnit>::create() { return make_enum<TenorUnit>("builtins.TenorUnit"); }

}  // namespace quill::py
