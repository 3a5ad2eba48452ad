#include "enums/bus_day_adj.hpp"
#include "python/enum_class.hpp"

namespace quill::py {

PyTypeObject* PyClass<BusDayAdj>::create() { return make_enum<BusDayAdj>("builtins.BusDayAdj"); }

}  // namespace quill::py
