// Array twins: a library function of doubles and enumerations becomes a NumPy
// ufunc whose every element is that function's result for the same inputs,
// bit for bit. A twin is declared once, by its signature text and the
// function it runs:
//
//   twin<"npv(spot, strike, rate, div_yield, tau, pc_flag, vol)", &black_scholes::npv>()
//
// Doubles travel as float64 (other real dtypes are cast by NumPy's usual
// rules), enumerations as int64 values checked against the variants, or as
// objects holding the module's enumeration instances. An empty optional result
// is NaN. Loops release the interpreter lock and split large arrays over the
// worker threads; floating-point flags are not reported, as the scalar
// functions do not report them either.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cfenv>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/enum_traits.hpp"
#include "core/errors.hpp"
#include "numpy/errors.hpp"
#include "numpy/numpy.hpp"
#include "numpy/threads.hpp"
#include "python/binding.hpp"
#include "python/ref.hpp"

namespace quill::np {

using py::CallSpec;
using py::fixed_string;

// "0 (PutCallFlag.Put) or 1 (PutCallFlag.Call)"
template <class E>
std::string variants_text() {
    const auto& names = EnumTraits<E>::variants;
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += i + 1 == names.size() ? " or " : ", ";
        out += std::to_string(i) + " (" + std::string(EnumTraits<E>::name) + "." + std::string(names[i]) + ")";
    }
    return out;
}

// How one parameter type travels in an array.
template <class T>
struct Lane;

template <>
struct Lane<double> {
    static constexpr bool is_enum = false;
    static PyArray_DTypeMeta* dtype() { return &PyArray_DoubleDType; }
    static bool read(const char* p, double& v, std::string_view, std::int64_t, FirstError&) {
        std::memcpy(&v, p, sizeof v);
        return true;
    }
};

template <class E>
    requires std::is_enum_v<E>
struct Lane<E> {
    static constexpr bool is_enum = true;
    static PyArray_DTypeMeta* dtype() { return &PyArray_Int64DType; }
    static bool read(const char* p, E& v, std::string_view name, std::int64_t i, FirstError& err) {
        std::int64_t raw;
        std::memcpy(&raw, p, sizeof raw);
        if (raw < 0 || raw >= static_cast<std::int64_t>(variant_count<E>())) {
            err.record(i, FirstError::Kind::value, invalid(name, std::to_string(raw)));
            return false;
        }
        v = static_cast<E>(raw);
        return true;
    }
    static std::string invalid(std::string_view name, const std::string& value) {
        return std::string(name) + " (" + value + ") must be " + variants_text<E>();
    }
    // An object operand: an instance of the module's class or an int; anything
    // else is refused as the scalar binding refuses it.
    static bool from_object(PyObject* o, std::int64_t& out, std::string_view name) {
        PyTypeObject* type = py::PyClass<E>::type;
        if (type != nullptr && Py_IS_TYPE(o, type)) {
            out = static_cast<std::int64_t>(reinterpret_cast<py::Obj<E>*>(o)->value);
            return true;
        }
        if (PyLong_Check(o)) {
            int overflow = 0;
            out = PyLong_AsLongLongAndOverflow(o, &overflow);
            if (out == -1 && PyErr_Occurred()) return false;
            if (overflow == 0) return true;
            py::Ref text(PyObject_Repr(o));
            const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
            if (utf8 == nullptr) return false;
            py::raise_error(invalid(name, utf8));
            return false;
        }
        py::cannot_convert(o, EnumTraits<E>::name);
        py::argument_error(name);
        return false;
    }
};

// How a result type is written out: one or more float64 outputs.
template <class R>
struct Out;

template <>
struct Out<double> {
    static constexpr int n = 1;
    static void put(char* const* data, const npy_intp* steps, npy_intp i, double v) {
        std::memcpy(data[0] + i * steps[0], &v, sizeof v);
    }
    static void none(char* const* data, const npy_intp* steps, npy_intp i) {
        put(data, steps, i, std::numeric_limits<double>::quiet_NaN());
    }
};

template <class R>
struct Out<std::optional<R>> {
    static constexpr int n = Out<R>::n;
    static void put(char* const* data, const npy_intp* steps, npy_intp i, const std::optional<R>& v) {
        if (v) {
            Out<R>::put(data, steps, i, *v);
        } else {
            Out<R>::none(data, steps, i);
        }
    }
};

// A library function may also have a form over contiguous blocks of elements,
// with the same bits and more speed: Batch<F>::run(n, inputs..., outputs)
// with one array per parameter and one output array per result field.
template <auto F>
struct Batch {
    static constexpr bool exists = false;
};

template <class F>
struct Signature;
template <class R, class... A>
struct Signature<R (*)(A...)> {
    using Result = R;
    using Args = std::tuple<std::remove_cvref_t<A>...>;
};
template <class R, class... A>
struct Signature<R (*)(A...) noexcept> : Signature<R (*)(A...)> {};

template <const CallSpec& S, auto F, std::int64_t Grain>
struct Kernel {
    using Sig = Signature<decltype(F)>;
    using R = typename Sig::Result;
    using Args = typename Sig::Args;
    static constexpr int nin = static_cast<int>(std::tuple_size_v<Args>);
    static constexpr int nout = Out<R>::n;
    static constexpr int nops = nin + nout;
    static_assert(nin == S.nparams, "the signature's parameters and the function's differ in number");

    template <std::size_t... I>
    static constexpr bool any_enum(std::index_sequence<I...>) {
        return (Lane<std::tuple_element_t<I, Args>>::is_enum || ...);
    }
    static constexpr bool has_enum = any_enum(std::make_index_sequence<nin>{});

    struct Context {
        char* const* data;
        const npy_intp* steps;
        FirstError* error;
    };

    template <std::size_t... I>
    static void elements(const Context& c, std::int64_t begin, std::int64_t end, std::index_sequence<I...>) {
        for (std::int64_t i = begin; i < end; ++i) {
            Args args;
            if (!(Lane<std::tuple_element_t<I, Args>>::read(c.data[I] + i * c.steps[I], std::get<I>(args), S.params[I],
                                                             i, *c.error) &&
                  ...)) {
                return;
            }
            try {
                Out<R>::put(c.data + nin, c.steps + nin, i, F(std::get<I>(args)...));
            } catch (const Error& e) {
                c.error->record(i, FirstError::Kind::value, e.message());
                return;
            } catch (const Failure& e) {
                c.error->record(i, FirstError::Kind::failure, e.message());
                return;
            }
        }
    }

    // Hands blocks of elements to the function's block form: contiguous
    // doubles are read in place, a broadcast scalar is converted once, other
    // inputs are gathered; results go in place when the output is contiguous.
    template <std::size_t... I>
    static void blocks(const Context& c, std::int64_t begin, std::int64_t end, std::index_sequence<I...>) {
        constexpr std::int64_t size = 64;
        std::tuple<std::array<std::tuple_element_t<I, Args>, size>...> in;
        const void* src[sizeof...(I)] = {};
        double out[nout][size];
        double* outs[nout];
        for (std::int64_t base = begin; base < end; base += size) {
            const std::int64_t count = std::min(size, end - base);
            bool ok = true;
            (
                [&] {
                    using A = std::tuple_element_t<I, Args>;
                    const npy_intp step = c.steps[I];
                    const char* p = c.data[I] + base * step;
                    if constexpr (std::same_as<A, double>) {
                        if (step == static_cast<npy_intp>(sizeof(double))) {
                            src[I] = p;
                            return;
                        }
                    }
                    if (step == 0 && base != begin) return;  // converted with the first block
                    const std::int64_t todo = step == 0 ? size : count;
                    for (std::int64_t j = 0; j < todo; ++j, p += step) {
                        if (!ok || !Lane<A>::read(p, std::get<I>(in)[j], S.params[I], base + j, *c.error)) {
                            ok = false;
                            return;
                        }
                    }
                    src[I] = std::get<I>(in).data();
                }(),
                ...);
            if (!ok) return;
            for (int k = 0; k < nout; ++k) {
                // In place only when contiguous and not the very memory of an
                // input: NumPy passes an output that is also an input without a
                // copy, trusting each element to be read before it is written,
                // and a block form writes one field before reading for the next.
                auto* direct = reinterpret_cast<double*>(c.data[nin + k] + base * c.steps[nin + k]);
                const bool aliased = ((static_cast<const void*>(direct) == src[I]) || ...);
                outs[k] = c.steps[nin + k] == static_cast<npy_intp>(sizeof(double)) && !aliased ? direct : out[k];
            }
            Batch<F>::run(static_cast<std::size_t>(count), static_cast<const std::tuple_element_t<I, Args>*>(src[I])..., outs);
            for (int k = 0; k < nout; ++k) {
                if (outs[k] != out[k]) continue;
                char* p = c.data[nin + k] + base * c.steps[nin + k];
                for (std::int64_t j = 0; j < count; ++j, p += c.steps[nin + k]) std::memcpy(p, &out[k][j], sizeof(double));
            }
        }
    }

    static void chunk(void* ctx, std::int64_t begin, std::int64_t end) {
        if constexpr (Batch<F>::exists) {
            blocks(*static_cast<const Context*>(ctx), begin, end, std::make_index_sequence<nin>{});
        } else {
            elements(*static_cast<const Context*>(ctx), begin, end, std::make_index_sequence<nin>{});
        }
    }

    static void compute(char* const* data, const npy_intp* steps, npy_intp n, FirstError& error) {
        // The scalar functions report no floating-point flags, so neither do
        // the loops: the calling thread's flags are put back as they were,
        // keeping any that NumPy's own casts raised before the loop.
        std::fexcept_t flags;
        std::fegetexceptflag(&flags, FE_ALL_EXCEPT);
        Context c{data, steps, &error};
        // NumPy hands over an output that overlaps an input without a copy when
        // a loop running forwards, element by element, reads each input before
        // it is overwritten (an output just behind its input, say). Chunks on
        // other threads would not keep that order: such a loop runs in one.
        run_chunks(n, overlapping(data, steps, n) ? n : Grain, &chunk, &c);
        std::fesetexceptflag(&flags, FE_ALL_EXCEPT);
    }

    // Whether some output's memory overlaps an input's, other than being the
    // very same elements (which each chunk reads before it writes).
    static bool overlapping(char* const* data, const npy_intp* steps, npy_intp n) {
        if (n <= 1) return false;
        auto span = [&](int k, std::size_t size) {
            const char* first = data[k];
            const char* last = data[k] + (n - 1) * steps[k];
            return std::pair{std::min(first, last), std::max(first, last) + size};
        };
        for (int o = nin; o < nops; ++o) {
            const auto [out_lo, out_hi] = span(o, sizeof(double));
            for (int i = 0; i < nin; ++i) {
                if (data[i] == data[o] && steps[i] == steps[o]) continue;
                const auto [in_lo, in_hi] = span(i, sizeof(std::int64_t));
                if (out_lo < in_hi && in_lo < out_hi) return true;
            }
        }
        return false;
    }

    static int strided(PyArrayMethod_Context*, char* const* data, const npy_intp* dims, const npy_intp* steps,
                       NpyAuxData*) {
        FirstError error;
        compute(data, steps, dims[0], error);
        return error.any() ? error.finish() : 0;
    }

    // Enumeration operands held as objects are read with the lock held, into
    // int64 buffers; the arithmetic then runs without it.
    template <std::size_t... I>
    static bool read_objects(char** data, npy_intp* steps, npy_intp n, std::vector<std::vector<std::int64_t>>& keep,
                             std::index_sequence<I...>) {
        return ([&] {
            using A = std::tuple_element_t<I, Args>;
            if constexpr (Lane<A>::is_enum) {
                const npy_intp count = steps[I] == 0 ? (n > 0 ? 1 : 0) : n;
                std::vector<std::int64_t>& buffer = keep.emplace_back(static_cast<std::size_t>(count));
                for (npy_intp i = 0; i < count; ++i) {
                    PyObject* o;
                    std::memcpy(&o, data[I] + i * steps[I], sizeof o);
                    if (o == nullptr) o = Py_None;
                    if (!Lane<A>::from_object(o, buffer[static_cast<std::size_t>(i)], S.params[I])) return false;
                }
                data[I] = reinterpret_cast<char*>(buffer.data());
                steps[I] = steps[I] == 0 ? 0 : static_cast<npy_intp>(sizeof(std::int64_t));
            }
            return true;
        }() && ...);
    }

    static int objects(PyArrayMethod_Context*, char* const* data, const npy_intp* dims, const npy_intp* steps,
                       NpyAuxData*) {
        char* d[nops];
        npy_intp s[nops];
        for (int k = 0; k < nops; ++k) {
            d[k] = data[k];
            s[k] = steps[k];
        }
        std::vector<std::vector<std::int64_t>> keep;
        keep.reserve(nin);
        if (!read_objects(d, s, dims[0], keep, std::make_index_sequence<nin>{})) return -1;
        FirstError error;
        Py_BEGIN_ALLOW_THREADS compute(d, s, dims[0], error);
        Py_END_ALLOW_THREADS if (error.any()) {
            error.raise();
            return -1;
        }
        return 0;
    }

    // An enumeration operand is read as objects when it is one, or a Python
    // int or a uint64, whose values int64 may not hold: the loop then names the
    // value as given rather than NumPy's overflow or its wrapped value.
    static bool as_objects(PyArray_DTypeMeta* given) {
        return given == &PyArray_ObjectDType || given == &PyArray_PyLongDType || given == &PyArray_UInt64DType;
    }

    // Doubles become float64 and enumerations int64, unless read as objects.
    static int promote(PyObject*, PyArray_DTypeMeta* const op_dtypes[], PyArray_DTypeMeta* const[],
                       PyArray_DTypeMeta* new_dtypes[]) {
        promote_each(op_dtypes, new_dtypes, std::make_index_sequence<nin>{});
        for (int k = nin; k < nops; ++k) new_dtypes[k] = NPY_DT_NewRef(&PyArray_DoubleDType);
        return 0;
    }
    template <std::size_t... I>
    static void promote_each(PyArray_DTypeMeta* const op_dtypes[], PyArray_DTypeMeta* new_dtypes[],
                             std::index_sequence<I...>) {
        ((new_dtypes[I] = NPY_DT_NewRef(Lane<std::tuple_element_t<I, Args>>::is_enum && as_objects(op_dtypes[I])
                                            ? &PyArray_ObjectDType
                                            : Lane<std::tuple_element_t<I, Args>>::dtype())),
         ...);
    }

    template <std::size_t... I>
    static void dtypes(PyArray_DTypeMeta** out, bool objects, std::index_sequence<I...>) {
        ((out[I] = objects && Lane<std::tuple_element_t<I, Args>>::is_enum ? &PyArray_ObjectDType
                                                                           : Lane<std::tuple_element_t<I, Args>>::dtype()),
         ...);
        for (int k = nin; k < nops; ++k) out[k] = &PyArray_DoubleDType;
    }
};

// Registers the loops and the promoter of a new ufunc; false with an exception set.
bool add_loops(PyObject* ufunc, const char* name, int nin, int nout, PyArray_DTypeMeta** dtypes,
               PyArrayMethod_StridedLoop* loop, bool objects);
bool add_promoter(PyObject* ufunc, int nops, PyArrayMethod_PromoterFunction* promoter);
// Names this module as the ufunc's home, so that pickle finds it there at once
// rather than by searching every imported module.
bool name_module(PyObject* ufunc);
// The text after the signature line "\n--\n\n", for the ufunc's doc.
const char* doc_body(const char* doc);

template <fixed_string Doc, auto F, std::int64_t Grain = 4096>
struct Twin {
    static constexpr CallSpec spec = py::parse_spec("", Doc.view(), false);
    using K = Kernel<spec, F, Grain>;

    static PyObject* make() {
        const char* name = py::name_of<Doc>();
        PyObject* ufunc =
            PyUFunc_FromFuncAndData(nullptr, nullptr, nullptr, 0, K::nin, K::nout, PyUFunc_None, name, doc_body(Doc.data), 0);
        if (ufunc == nullptr) return nullptr;
        PyArray_DTypeMeta* types[K::nops];
        K::dtypes(types, false, std::make_index_sequence<K::nin>{});
        bool ok = add_loops(ufunc, name, K::nin, K::nout, types, &K::strided, false);
        if (ok && K::has_enum) {
            K::dtypes(types, true, std::make_index_sequence<K::nin>{});
            ok = add_loops(ufunc, name, K::nin, K::nout, types, &K::objects, true);
        }
        ok = ok && add_promoter(ufunc, K::nops, &K::promote) && name_module(ufunc);
        if (!ok) {
            Py_DECREF(ufunc);
            return nullptr;
        }
        return ufunc;
    }
};

template <fixed_string Doc, auto F, std::int64_t Grain = 4096>
PyObject* twin() {
    return Twin<Doc, F, Grain>::make();
}

}  // namespace quill::np
