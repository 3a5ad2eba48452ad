#include "enums/stub_type.hpp"
#include "python/enum_class.hpp"

namespace quill::py {

PyTypeObject* PyClass<StubType>::create() { return make_enum<StubType>("builtins.StubType"); }

}  // namespace quill::py
