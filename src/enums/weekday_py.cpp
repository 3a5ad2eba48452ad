#include "enums/weekday.hpp"
#include "python/enum_class.hpp"

namespace quill::py {

PyTypeObject* PyClass<Weekday>::create() { return make_enum<Weekday>("builtins.Weekday"); }

}  // namespace quill::py
