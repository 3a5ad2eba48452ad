// The binding layer: every Python-visible callable of the module is declared
// once, by its doc string and the library function it runs, and goes through
// the one binder and the one set of converters below.
//
//   method<"Date", "add_tenor($self, t)\n--\n\n", &add_tenor>()
//
// binds the call's arguments to the parameters named in the doc string,
// converts each to the C++ parameter type of the function, runs it, and turns
// its result (or its quill::Error / quill::Failure) into the Python outcome.
#pragma once

#include <algorithm>
#include <atomic>
#include <concepts>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/errors.hpp"
#include "python/classes.hpp"
#include "python/signature.hpp"

namespace quill::py {

// Thrown by Python-aware code when a Python exception is already set.
struct PythonError {};

// ---------------------------------------------------------------- errors

// Raises ValueError with `message`, whole (NULs included).
void raise_error(std::string_view message);
// Raises the internal-failure exception with `message`, whole.
void raise_failure(std::string_view message);
// ---------------------------------------------------------------- start-up

// Where a module lives: made once, by the first interpreter that imports it,
// and kept for the life of the process.
struct ModuleHome {
    std::atomic<std::int64_t> owner{-1};  // the importing interpreter, claimed once
    PyObject* module = nullptr;
};

// One import: refuses any interpreter but the first (ImportError), returns the
// module made before, or else runs `prepare` (may be null) and makes the
// module from `def` with `initialise`; a failed start leaves nothing made.
PyObject* import_once(ModuleHome& home, PyModuleDef& def, bool (*prepare)(), bool (*initialise)(PyObject*));

// Makes `type` the internal-failure exception class, so that a second module
// built on this layer raises the very class the first one does.
void adopt_failure_type(PyObject* type);
// TypeError "'<qualname of type(o)>' object cannot be converted to '<target>'".
void cannot_convert(PyObject* o, std::string_view target);
// Prefixes an exact TypeError with "argument '<name>': " (and an exact
// ValueError, with `value_errors`); leaves others alone.
void argument_error(std::string_view name, bool value_errors = false);

// An argument type whose loader's ValueErrors (a part refused for its value,
// not its type) are named like its TypeErrors declares
// `static constexpr bool names_value_errors = true`.
template <class A>
constexpr bool value_errors_named() {
    if constexpr (requires { A::names_value_errors; }) {
        return A::names_value_errors;
    } else {
        return false;
    }
}

// ---------------------------------------------------------------- binding

// What binding leaves besides the named parameters.
struct Bound {
    PyObject* const* varargs = nullptr;  // extra positional arguments (borrowed)
    Py_ssize_t nvarargs = 0;
    PyObject* kwargs = nullptr;  // extra keywords: a new dict, or null

    Bound() = default;
    Bound(const Bound&) = delete;
    Bound& operator=(const Bound&) = delete;
    ~Bound() { Py_XDECREF(kwargs); }
};

// Fill out[0..nparams) with borrowed references (null where not given).
// Returns false with TypeError set on the first binding failure.
bool bind_vector(const CallSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 PyObject** out, Bound& bound);
bool bind_tuple(const CallSpec& spec, PyObject* args, PyObject* kwargs, PyObject** out, Bound& bound);

// ---------------------------------------------------------------- parameter types

// The extra positional arguments of a "*name" signature.
struct VarArgs {
    PyObject* const* items;
    Py_ssize_t size;
};
// The extra keywords of a "**name" signature: a dict, or null when none.
struct ExtraKwargs {
    PyObject* dict;
};
// A parameter with a default in the signature: empty when not passed. A
// passed None is converted like any other value.
template <class T>
struct Defaulted {
    std::optional<T> value;
};
// A `tuple` (subclasses included), or None/absent: for figure sizes.
struct TupleArg {
    PyObject* tuple;  // borrowed, or null
};

// ---------------------------------------------------------------- converters

// Arg<T>: load(PyObject*) converts, leaving CPython's own exception on
// failure; get() hands the value to the library function.
template <class T>
struct Arg;

bool load_double(PyObject* o, double& out);
// CPython's C long conversion, then the signed 32-bit range with CPython's message.
bool load_int32(PyObject* o, long& out);
bool load_text(PyObject* o, std::string_view& out);

template <>
struct Arg<double> {
    double v;
    bool load(PyObject* o) {
        if (PyFloat_CheckExact(o)) {
            v = PyFloat_AS_DOUBLE(o);
            return true;
        }
        return load_double(o, v);
    }
    double get() const { return v; }
};

template <class I>
    requires(std::same_as<I, std::uint8_t> || std::same_as<I, std::uint16_t> || std::same_as<I, std::int32_t>)
struct Arg<I> {
    I v;
    bool load(PyObject* o) {
        long x;
        if (PyLong_CheckExact(o) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) {
            // One-digit ints (below 2**30 in magnitude) need no range check against 32 bits.
            x = static_cast<long>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o)));
        } else if (!load_int32(o, x)) {
            return false;
        }
        if (x < static_cast<long>(std::numeric_limits<I>::min()) ||
            x > static_cast<long>(std::numeric_limits<I>::max())) {
            PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
            return false;
        }
        v = static_cast<I>(x);
        return true;
    }
    I get() const { return v; }
};

template <>
struct Arg<std::uint64_t> {
    std::uint64_t v;
    bool load(PyObject* o);
    std::uint64_t get() const { return v; }
};

template <>
struct Arg<bool> {
    bool v;
    bool load(PyObject* o);
    bool get() const { return v; }
};

template <>
struct Arg<std::string_view> {
    std::string_view v;
    bool load(PyObject* o) { return load_text(o, v); }
    std::string_view get() const { return v; }
};

// Any object, unconverted (callbacks).
template <>
struct Arg<PyObject*> {
    PyObject* v;
    bool load(PyObject* o) {
        v = o;
        return true;
    }
    PyObject* get() const { return v; }
};

template <>
struct Arg<TupleArg> {
    TupleArg v{nullptr};
    static constexpr bool may_be_absent = true;
    bool load(PyObject* o) {
        if (o == Py_None) return true;
        if (!PyTuple_Check(o)) {
            cannot_convert(o, "PyTuple");
            return false;
        }
        v.tuple = o;
        return true;
    }
    TupleArg get() const { return v; }
};

// An instance of exactly the module class (classes cannot be subclassed).
template <Wrapped T>
struct Arg<T> {
    const T* p;
    bool load(PyObject* o) {
        PyTypeObject* type = PyClass<T>::type;
        if (type != nullptr && Py_IS_TYPE(o, type)) {
            p = &reinterpret_cast<Obj<T>*>(o)->value;
            return true;
        }
        cannot_convert(o, PyClass<T>::name);
        return false;
    }
    const T& get() const { return *p; }
};

bool sequence_precheck(PyObject* o);

// Lists of doubles and of dates: any sequence but a str, item by item.
template <class E>
struct Arg<std::vector<E>> {
    std::vector<E> v;
    bool load(PyObject* o) {
        if (!sequence_precheck(o)) return false;
        if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
            // Re-read the size each time: an item's __float__ may shrink a list.
            v.reserve(static_cast<std::size_t>(Py_SIZE(o)));
            for (Py_ssize_t i = 0; i < Py_SIZE(o); ++i) {
                PyObject* item = PySequence_Fast_ITEMS(o)[i];
                Py_INCREF(item);
                const bool ok = push(item);
                Py_DECREF(item);
                if (!ok) return false;
            }
            return true;
        }
        PyObject* it = PyObject_GetIter(o);
        if (it == nullptr) return false;
        while (PyObject* item = PyIter_Next(it)) {
            const bool ok = push(item);
            Py_DECREF(item);
            if (!ok) {
                Py_DECREF(it);
                return false;
            }
        }
        Py_DECREF(it);
        return !PyErr_Occurred();
    }
    bool push(PyObject* item) {
        Arg<E> a;
        if (!a.load(item)) return false;
        v.push_back(a.get());
        return true;
    }
    std::vector<E> get() { return std::move(v); }
};

// None (or not given) means absent.
template <class T>
struct Arg<std::optional<T>> {
    Arg<T> inner;
    bool present = false;
    static constexpr bool may_be_absent = true;
    static constexpr bool names_value_errors = value_errors_named<Arg<T>>();
    bool load(PyObject* o) {
        if (o == Py_None) return true;
        present = true;
        return inner.load(o);
    }
    std::optional<T> get() { return present ? std::optional<T>(inner.get()) : std::nullopt; }
};

template <class T>
struct Arg<Defaulted<T>> {
    Arg<T> inner;
    bool present = false;
    static constexpr bool may_be_absent = true;
    static constexpr bool names_value_errors = value_errors_named<Arg<T>>();
    bool load(PyObject* o) {
        present = true;
        return inner.load(o);
    }
    Defaulted<T> get() { return present ? Defaulted<T>{inner.get()} : Defaulted<T>{}; }
};

// ---------------------------------------------------------------- results

// Memory of recently freed instances of one class, reused by the next new
// instance. Results such as dates and weekdays mostly die young, and the
// allocator round trip would otherwise be the larger part of a cheap call.
// Bounded, and only touched with the interpreter lock held.
template <class T>
struct FreeList {
    static constexpr int capacity = 16;
    static inline void* blocks[capacity] = {};
    static inline int size = 0;

    static void* take() noexcept { return size > 0 ? blocks[--size] : PyObject_Malloc(sizeof(Obj<T>)); }
    static void give(void* block) noexcept {
        if (size < capacity) {
            blocks[size++] = block;
        } else {
            PyObject_Free(block);
        }
    }
};

template <class T>
    requires Wrapped<std::remove_cvref_t<T>>
PyObject* wrap(T&& value) {
    using V = std::remove_cvref_t<T>;
    PyTypeObject* type = PyClass<V>::get();
    if (type == nullptr) return nullptr;
    auto* obj = static_cast<Obj<V>*>(FreeList<V>::take());
    if (obj == nullptr) return PyErr_NoMemory();
    new (&obj->value) V(std::forward<T>(value));
    return PyObject_Init(reinterpret_cast<PyObject*>(obj), type);  // takes a reference to the type
}

inline PyObject* to_py(double v) { return PyFloat_FromDouble(v); }
inline PyObject* to_py(bool v) { return Py_NewRef(v ? Py_True : Py_False); }
template <std::integral I>
    requires(!std::same_as<I, bool>)
PyObject* to_py(I v) {
    if constexpr (std::is_signed_v<I>) {
        return PyLong_FromLongLong(v);
    } else {
        return PyLong_FromUnsignedLongLong(v);
    }
}
inline PyObject* to_py(std::string_view s) {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}
inline PyObject* to_py(const std::string& s) { return to_py(std::string_view(s)); }
PyObject* to_py(const std::vector<double>& v);
// Python-aware bodies return a new reference, or null with an exception set.
inline PyObject* to_py(PyObject* o) { return o; }
template <class T>
    requires Wrapped<std::remove_cvref_t<T>>
PyObject* to_py(T&& v) {
    return wrap(std::forward<T>(v));
}
template <class T>
PyObject* to_py(std::optional<T>&& v) {
    if (!v) Py_RETURN_NONE;
    return to_py(std::move(*v));
}

// Runs a library operation and maps its outcome: a value, a library error
// (ValueError), an internal failure, or a Python exception already set.
template <class F>
PyObject* guarded(F&& f) noexcept {
    try {
        if constexpr (std::is_void_v<std::invoke_result_t<F>>) {
            f();
            Py_RETURN_NONE;
        } else {
            return to_py(f());
        }
    } catch (const Error& e) {
        raise_error(e.message());
    } catch (const Failure& e) {
        raise_failure(e.message());
    } catch (const PythonError&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_failure(e.what());
    }
    return nullptr;
}

// ---------------------------------------------------------------- callables

enum class Kind { function, method, static_method, constructor };

template <class F>
struct FnTraits;
template <class R, class... A>
struct FnTraits<R (*)(A...)> {
    using Args = std::tuple<A...>;
};
template <class R, class... A>
struct FnTraits<R (*)(A...) noexcept> : FnTraits<R (*)(A...)> {};

template <class Tuple>
struct DropFirst;
template <>
struct DropFirst<std::tuple<>> {  // functions of no parameter
    using First = void;
    using type = std::tuple<>;
};
template <class A, class... Rest>
struct DropFirst<std::tuple<A, Rest...>> {
    using First = A;
    using type = std::tuple<Rest...>;
};

template <class A>
inline constexpr bool is_slot_param = !std::same_as<A, VarArgs> && !std::same_as<A, ExtraKwargs>;

template <class A>
constexpr bool may_be_absent() {
    if constexpr (requires { Arg<A>::may_be_absent; }) {
        return Arg<A>::may_be_absent;
    } else {
        return false;
    }
}

template <const CallSpec& S, auto F, class Params>
struct Invoke;

template <const CallSpec& S, auto F, class... P>
struct Invoke<S, F, std::tuple<P...>> {
    static_assert(((is_slot_param<std::remove_cvref_t<P>> ? 1 : 0) + ... + 0) == S.nparams,
                  "the doc string's parameters and the function's differ in number");

    template <std::size_t I, class A>
    static bool load(Arg<A>& a, PyObject* const* slots, const Bound& bound) {
        if constexpr (std::same_as<A, VarArgs>) {
            a.v = VarArgs{bound.varargs, bound.nvarargs};
            return true;
        } else if constexpr (std::same_as<A, ExtraKwargs>) {
            a.v = ExtraKwargs{bound.kwargs};
            return true;
        } else {
            static_assert(I < S.required || may_be_absent<A>(), "a parameter with a default needs an absent state");
            PyObject* o = slots[I];
            if (o == nullptr) return true;  // not given; only parameters with defaults get here
            if (a.load(o)) return true;
            argument_error(S.params[I], value_errors_named<Arg<A>>());
            return false;
        }
    }

    template <class... Lead, std::size_t... I>
    static PyObject* run(PyObject* const* slots, const Bound& bound, std::index_sequence<I...>, Lead&&... lead) {
        std::tuple<Arg<std::remove_cvref_t<P>>...> args;
        (void)slots;  // unused by functions of no parameter
        if (!(load<I>(std::get<I>(args), slots, bound) && ...)) return nullptr;
        return guarded([&]() -> decltype(auto) { return F(std::forward<Lead>(lead)..., std::get<I>(args).get()...); });
    }

    template <class... Lead>
    static PyObject* call(PyObject* const* slots, const Bound& bound, Lead&&... lead) {
        return run(slots, bound, std::index_sequence_for<P...>{}, std::forward<Lead>(lead)...);
    }
};

template <>
struct Arg<VarArgs> {
    VarArgs v{};
    VarArgs get() const { return v; }
};
template <>
struct Arg<ExtraKwargs> {
    ExtraKwargs v{};
    ExtraKwargs get() const { return v; }
};

template <fixed_string Owner, fixed_string Doc, auto F, Kind K>
struct Callable {
    static constexpr CallSpec spec = parse_spec(Owner.view(), Doc.view(), K == Kind::constructor);
    using AllArgs = typename FnTraits<decltype(F)>::Args;
    static constexpr bool has_self = K == Kind::method;
    using Params = std::conditional_t<has_self, typename DropFirst<AllArgs>::type, AllArgs>;
    using I = Invoke<spec, F, Params>;
    static constexpr std::size_t N = spec.nparams;
    static constexpr bool simple = !spec.varargs && !spec.varkw;

    template <class... Lead>
    static PyObject* vector(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Lead&&... lead) {
        if constexpr (simple) {
            if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(N)) {
                return I::call(args, Bound{}, std::forward<Lead>(lead)...);
            }
        }
        PyObject* slots[N ? N : 1] = {};
        Bound bound;
        if (!bind_vector(spec, args, nargs, kwnames, slots, bound)) return nullptr;
        return I::call(slots, bound, std::forward<Lead>(lead)...);
    }

    static PyObject* fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        if constexpr (has_self) {
            using Self = std::remove_cvref_t<typename DropFirst<AllArgs>::First>;
            return vector(args, nargs, kwnames, std::as_const(reinterpret_cast<Obj<Self>*>(self)->value));
        } else {
            (void)self;
            return vector(args, nargs, kwnames);
        }
    }

    static PyObject* noargs(PyObject* self, PyObject*) {
        using Self = std::remove_cvref_t<typename DropFirst<AllArgs>::First>;
        const Self& value = reinterpret_cast<Obj<Self>*>(self)->value;
        return guarded([&]() -> decltype(auto) { return F(value); });
    }

    // Constructors: tp_new receives a tuple and a dict, tp_vectorcall an array.
    static PyObject* tp_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
        if constexpr (simple) {
            if ((kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) && PyTuple_GET_SIZE(args) == static_cast<Py_ssize_t>(N)) {
                return I::call(PySequence_Fast_ITEMS(args), Bound{});
            }
        }
        PyObject* slots[N ? N : 1] = {};
        Bound bound;
        if (!bind_tuple(spec, args, kwargs, slots, bound)) return nullptr;
        return I::call(slots, bound);
    }
    static PyObject* tp_vectorcall(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
        return vector(args, PyVectorcall_NARGS(nargsf), kwnames);
    }
};

template <fixed_string Doc>
constexpr const char* name_of() {
    return NameOf<Doc>::value.data();
}

template <fixed_string Doc, auto F>
PyMethodDef function() {
    using C = Callable<"", Doc, F, Kind::function>;
    return {name_of<Doc>(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&C::fast)),
            METH_FASTCALL | METH_KEYWORDS, Doc.data};
}

template <fixed_string Owner, fixed_string Doc, auto F>
PyMethodDef method() {
    using C = Callable<Owner, Doc, F, Kind::method>;
    static_assert(C::spec.self, "instance methods take $self");
    if constexpr (C::N == 0 && C::simple) {
        return {name_of<Doc>(), &C::noargs, METH_NOARGS, Doc.data};
    } else {
        return {name_of<Doc>(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&C::fast)),
                METH_FASTCALL | METH_KEYWORDS, Doc.data};
    }
}

template <fixed_string Owner, fixed_string Doc, auto F>
PyMethodDef static_method() {
    using C = Callable<Owner, Doc, F, Kind::static_method>;
    return {name_of<Doc>(), reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&C::fast)),
            METH_STATIC | METH_FASTCALL | METH_KEYWORDS, Doc.data};
}

// The class doc string "Name(params)\n--\n\n" doubles as the constructor's description.
template <fixed_string Doc, auto F>
struct Constructor {
    using C = Callable<Doc, Doc, F, Kind::constructor>;
    static constexpr const char* doc = Doc.data;
};

// ---------------------------------------------------------------- slots

template <class T, auto F>
PyObject* repr_slot(PyObject* self) {
    const T& value = reinterpret_cast<Obj<T>*>(self)->value;
    return guarded([&]() -> decltype(auto) { return F(value); });
}

template <class T, auto F>
PyObject* getter(PyObject* self, void*) {
    const T& value = reinterpret_cast<Obj<T>*>(self)->value;
    return guarded([&]() -> decltype(auto) { return F(value); });
}

// A number operator: NotImplemented unless the left operand is the class and
// the right one converts; the conversion's error is discarded.
template <class T, class Rhs, auto F>
PyObject* binary_op(PyObject* a, PyObject* b) {
    PyTypeObject* type = PyClass<T>::type;
    if (!Py_IS_TYPE(a, type)) Py_RETURN_NOTIMPLEMENTED;
    Arg<Rhs> rhs;
    if (!rhs.load(b)) {
        PyErr_Clear();
        Py_RETURN_NOTIMPLEMENTED;
    }
    const T& value = reinterpret_cast<Obj<T>*>(a)->value;
    return guarded([&]() -> decltype(auto) { return F(value, rhs.get()); });
}

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*);

template <class T>
void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<Obj<T>*>(self)->value.~T();
    FreeList<T>::give(self);
    Py_DECREF(type);
}

// Creates the class object "builtins.<Name>" with default flags, the given
// slots, the deallocator and, without a constructor, the refusing one.
PyTypeObject* make_type(const char* qualified_name, int basicsize, destructor dealloc, std::vector<PyType_Slot> slots,
                        vectorcallfunc vectorcall);

template <class T>
PyTypeObject* make_class(const char* qualified_name, std::vector<PyType_Slot> slots) {
    PyTypeObject* type = make_type(qualified_name, sizeof(Obj<T>), &dealloc<T>, std::move(slots), nullptr);
    PyClass<T>::type = type;
    return type;
}

template <class T, class Ctor>
PyTypeObject* make_class(const char* qualified_name, Ctor, std::vector<PyType_Slot> slots) {
    slots.push_back({Py_tp_new, reinterpret_cast<void*>(&Ctor::C::tp_new)});
    slots.push_back({Py_tp_doc, const_cast<char*>(Ctor::doc)});
    PyTypeObject* type =
        make_type(qualified_name, sizeof(Obj<T>), &dealloc<T>, std::move(slots), &Ctor::C::tp_vectorcall);
    PyClass<T>::type = type;
    return type;
}

}  // namespace quill::py
