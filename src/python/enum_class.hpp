// The one pattern all enumeration classes follow: class attributes for the
// variants, repr "<Class>.<Variant>", int(), equality with instances of the
// same class and with integers, no ordering and no hash.
#pragma once

#include <string>

#include "core/enum_traits.hpp"
#include "python/binding.hpp"

namespace quill::py {

template <class E>
struct EnumReprs {
    static inline PyObject* text[variant_count<E>()] = {};
};

template <class E>
PyObject* enum_repr(PyObject* self) {
    const auto v = static_cast<std::size_t>(reinterpret_cast<Obj<E>*>(self)->value);
    return Py_NewRef(EnumReprs<E>::text[v]);
}

template <class E>
PyObject* enum_int(PyObject* self) {
    return PyLong_FromLong(static_cast<long>(reinterpret_cast<Obj<E>*>(self)->value));
}

template <class E>
PyObject* enum_richcompare(PyObject* self, PyObject* other, int op) {
    const auto value = static_cast<long long>(reinterpret_cast<Obj<E>*>(self)->value);
    long long n;
    if (Py_IS_TYPE(other, Py_TYPE(self))) {
        n = static_cast<long long>(reinterpret_cast<Obj<E>*>(other)->value);
    } else {
        n = PyLong_AsLongLong(other);
        if (n == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            Py_RETURN_NOTIMPLEMENTED;
        }
    }
    if (op == Py_EQ) return Py_NewRef(n == value ? Py_True : Py_False);
    if (op == Py_NE) return Py_NewRef(n != value ? Py_True : Py_False);
    Py_RETURN_NOTIMPLEMENTED;
}

// Creates the variant attributes once, so `Weekday.Monday is Weekday.Monday`.
// On failure the half-made class is dropped.
template <class E>
PyTypeObject* finish_enum(PyTypeObject* type) {
    if (type == nullptr) return nullptr;
    constexpr auto& variants = EnumTraits<E>::variants;
    for (std::size_t i = 0; i < variants.size(); ++i) {
        if (EnumReprs<E>::text[i] == nullptr) {
            const std::string text = std::string(EnumTraits<E>::name) + "." + std::string(variants[i]);
            EnumReprs<E>::text[i] = PyUnicode_InternFromString(text.c_str());
        }
        PyObject* instance = EnumReprs<E>::text[i] ? wrap(static_cast<E>(i)) : nullptr;
        const std::string name(variants[i]);
        if (instance == nullptr || PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), name.c_str(), instance) < 0) {
            Py_XDECREF(instance);
            PyClass<E>::type = nullptr;
            Py_DECREF(type);
            return nullptr;
        }
        Py_DECREF(instance);
    }
    return type;
}

template <class E>
std::vector<PyType_Slot> enum_slots(std::vector<PyType_Slot> extra) {
    extra.push_back({Py_tp_repr, reinterpret_cast<void*>(&enum_repr<E>)});
    extra.push_back({Py_tp_richcompare, reinterpret_cast<void*>(&enum_richcompare<E>)});
    extra.push_back({Py_nb_int, reinterpret_cast<void*>(&enum_int<E>)});
    return extra;
}

template <class E>
PyTypeObject* make_enum(const char* qualified_name, std::vector<PyType_Slot> extra = {}) {
    return finish_enum<E>(make_class<E>(qualified_name, enum_slots<E>(std::move(extra))));
}

// An enumeration with a constructor (DayCounter).
template <class E, class Ctor>
PyTypeObject* make_enum(const char* qualified_name, Ctor ctor, std::vector<PyType_Slot> extra) {
    return finish_enum<E>(make_class<E>(qualified_name, ctor, enum_slots<E>(std::move(extra))));
}

}  // namespace quill::py
