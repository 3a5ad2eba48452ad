// Python surface of Tenor.
#include "datetime/tenor.hpp"

#include "python/binding.hpp"

namespace quill::py {
namespace {

Tenor construct(std::string_view s) { return parse_tenor(s); }
std::int16_t count(const Tenor& t) { return t.count; }
TenorUnit unit(const Tenor& t) { return t.unit; }
std::string text(const Tenor& t) { return t.to_string(); }
std::string repr(const Tenor& t) { return "Tenor('" + t.to_string() + "')"; }

}  // namespace

PyTypeObject* PyClass<Tenor>::create() {
    static PyGetSetDef attributes[] = {
        {"count", &getter<Tenor, &count>, nullptr, nullptr, nullptr},
        {"unit", &getter<Tenor, &unit>, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    return make_class<Tenor>("builtins.Tenor", Constructor<"Tenor(s)\n--\n\n", &construct>{},
                             {
                                 {Py_tp_getset, attributes},
                                 {Py_tp_repr, reinterpret_cast<void*>(&repr_slot<Tenor, &repr>)},
                                 {Py_tp_str, reinterpret_cast<void*>(&repr_slot<Tenor, &text>)},
                             });
}

}  // namespace quill::py
