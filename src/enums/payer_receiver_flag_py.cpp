#include "enums/payer_receiver_flag.hpp"
#include "python/enum_class.hpp"

namespace quill::py {

PyTypeObject* PyClass<PayerReceiverFlag>::create() { return make_enum<PayerReceiverFlag>("builtins.PayerReceiverFlag"); }

}  // namespace quill::py
