#include "enums/put_call_flag.hpp"
#include "python/enum_class.hpp"

namespace quill::py {

PyTypeObject* PyClass<PutCallFlag>::create() { return make_enum<PutCallFlag>("builtins.PutCallFlag"); }

}  // namespace quill::py
