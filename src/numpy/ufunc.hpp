// Array twins: a library function becomes a NumPy ufunc whose every element
// is that function's result for the same inputs, bit for bit.
//
// How a domain declares one (in its <name>_np.cpp):
//
//   // A ufunc of its own: the functions of numbers and enumerations.
//   add_new(m, "npv", twin<"npv(spot, strike, rate, div_yield, tau, pc_flag, vol)\n--\n\n...",
//                          &black_scholes::npv>());
//
//   // A module function calling a hidden ufunc (see numpy/wrapper.hpp): every
//   // twin with a receiver, a date, or keyword arguments.
//   double df_at(const YieldCurve& curve, Date d) { return curve.model().df(d); }
//   add_twin<"get_df(curve, dates)\n--\n\n...", &df_at>(m);
//
// The doc string's first line names the twin and its parameters, in the
// function's order. Each parameter type has a lane (numpy/lanes.hpp): double,
// an enumeration, std::int64_t / std::int32_t, `const T&` of a class (the
// receiver: an instance, or an array of instances), and the domains' own
// (Date and Tenor in datetime/dates_np.hpp). The result type has an Out:
// double, bool, std::optional of one (NaN / NaT when empty), Date, or a
// record of several outputs. A missing date (NaT) gives NaN, NaT or False
// without the function being called; results with no place for it refuse it.
//
// A library function may add two faster forms with the same bits:
//   Batch<F>::run(n, const Batched*..., double* const* out): contiguous
//     blocks of 64 elements, each parameter gathered into its lane's Batched
//     type (dates as int32 serials), doubles read in place when contiguous;
//   Block<F>: the whole loop call, receivers hoisted, columns as they are:
//     State prepare(const View<F>&, n), then run(state, view, begin, end)
//     returning the first element it did not do (the element path does that
//     one, then run goes on). NaTs are the block form's to write.
// Loops release the interpreter lock and split large arrays over the worker
// threads; floating-point flags are not reported, as the scalar functions do
// not report them either.
#pragma once

#include <algorithm>
#include <array>
#include <cfenv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/errors.hpp"
#include "numpy/errors.hpp"
#include "numpy/lanes.hpp"
#include "numpy/numpy.hpp"
#include "numpy/threads.hpp"
#include "python/binding.hpp"
#include "python/ref.hpp"

namespace quill::np {

using py::CallSpec;
using py::fixed_string;

template <class F>
struct Params;
template <class R, class... A>
struct Params<R (*)(A...)> {
    using Result = std::remove_cvref_t<R>;
    using Args = std::tuple<A...>;
};
template <class R, class... A>
struct Params<R (*)(A...) noexcept> : Params<R (*)(A...)> {};

// The lanes of a function's parameters.
template <auto F>
struct Signature {
    using P = Params<decltype(F)>;
    using R = typename P::Result;
    using Args = typename P::Args;
    static constexpr int nin = static_cast<int>(std::tuple_size_v<Args>);
    static constexpr int nout = Out<R>::n;
    template <std::size_t I>
    using L = Lane<std::tuple_element_t<I, Args>>;
    template <std::size_t I>
    using Native = typename L<I>::Native;
};

// A loop call's prepared columns, for block forms.
template <auto F>
struct View {
    using S = Signature<F>;
    const char* in_data[S::nin > 0 ? S::nin : 1];
    npy_intp in_step[S::nin > 0 ? S::nin : 1];
    Outs outs;

    template <std::size_t I>
    Column<typename S::template Native<I>> in() const noexcept {
        return {in_data[I], in_step[I]};
    }
    // The receiver of parameter I, the same for every element.
    template <std::size_t I>
    decltype(auto) receiver() const noexcept {
        return S::template L<I>::pass(in<I>()[0]);
    }
    template <std::size_t K, class T>
    OutColumn<T> out() const noexcept {
        return {outs.data[K], outs.steps[K]};
    }
};

template <auto F>
struct Batch {
    static constexpr bool exists = false;
};
template <auto F>
struct Block {
    static constexpr bool exists = false;
};

// Registers the ufunc loop for the dtypes `dtypes` (inputs then outputs) unless
// registered before; false with an exception set.
struct LoopSlots {
    PyArrayMethod_ResolveDescriptors* resolve;  // used by loops of datetime64
    PyArrayMethod_StridedLoop* loop;
};
bool ensure_loop(PyObject* ufunc, const char* name, int nin, int nout, PyArray_DTypeMeta** dtypes, const LoopSlots& slots);
bool add_promoter(PyObject* ufunc, int nops, PyArrayMethod_PromoterFunction* promoter);
// Names this module as the ufunc's home, so that pickle finds it there at once
// rather than by searching every imported module.
bool name_module(PyObject* ufunc);
// The text after the signature line "\n--\n\n", for the ufunc's doc.
const char* doc_body(const char* doc);
// Loop descriptors for inputs: the given one when it is this dtype in native
// order (datetime64 kept in any unit read in place), else the dtype's
// default (datetime64[D] for other datetime units). A new reference.
PyArray_Descr* input_descr(PyArray_DTypeMeta* dtype, PyArray_Descr* given);
// Whether a datetime64 descriptor's unit is finer than a day.
bool finer_than_days(PyArray_Descr* descr) noexcept;
// datetime64[s] (a new reference).
PyArray_Descr* seconds_descr();
// Days to seconds in place over [0, n), NaT kept.
void seconds_from_days(OutColumn<std::int64_t> column, std::int64_t n);
// Whether a result's dates follow the unit of the dates given (rather than
// being days always).
template <class R>
constexpr bool follows_unit() {
    if constexpr (requires { Out<R>::follows_unit; }) {
        return Out<R>::follows_unit;
    } else {
        return false;
    }
}

// Whether some output's memory overlaps an input's, other than being the
// very same elements (which each chunk reads before it writes).
bool overlapping(const char* const* in, const npy_intp* in_steps, int nin, char* const* out, const npy_intp* out_steps,
                 int nout, npy_intp n, bool* same);

// A function's loops. `Mask`: the last input is a bool mask (where=).
template <const CallSpec& S, auto F, std::int64_t Grain, bool Mask>
struct Kernel {
    using Sig = Signature<F>;
    using R = typename Sig::R;
    using Args = typename Sig::Args;
    static constexpr int nargs = Sig::nin;
    static constexpr int nin = nargs + (Mask ? 1 : 0);
    static constexpr int nout = Sig::nout;
    static constexpr int nops = nin + nout;
    static_assert(nargs == S.nparams, "the operand names and the function's parameters differ in number");
    static constexpr bool has_batch = Batch<F>::exists;
    // Compared at run time: the address of an inline variable is no constant
    // expression under the sanitizers.
    static std::string nat_message() {
        const char* what = Out<R>::nat_what;
        return message::nat_refused(what != nullptr ? what : "a result");
    }
    static constexpr bool has_block = Block<F>::exists;

    struct Context {
        View<F> view;
        Column<npy_bool> mask;
        bool masked;
        bool block;
        FirstError* error;
        const void* state;
    };

    // ------------------------------------------------------------ one element

    template <std::size_t... I>
    static bool element(const Context& c, std::int64_t i, std::index_sequence<I...>) {
        if (c.masked && !c.mask[i]) return true;
        bool missing = false;
        const bool fine = ([&] {
            using L = typename Sig::template L<I>;
            const auto v = c.view.template in<I>()[i];
            const Status s = L::status(v);
            if (s == Status::refused) {
                std::string message;
                const FirstError::Kind kind = L::refusal(v, S.params[I], message);
                c.error->record(i, kind, std::move(message));
                return false;
            }
            missing = missing || s == Status::nat;
            return true;
        }() && ...);
        if (!fine) return false;
        if (missing) {
            if (Out<R>::nat(c.view.outs, i)) return true;
            c.error->record(i, FirstError::Kind::value, nat_message());
            return false;
        }
        try {
            Out<R>::put(c.view.outs, i,
                        F(Sig::template L<I>::pass(Sig::template L<I>::value(c.view.template in<I>()[i]))...));
        } catch (const Error& e) {
            c.error->record(i, FirstError::Kind::value, e.message());
            return false;
        } catch (const Failure& e) {
            c.error->record(i, FirstError::Kind::failure, e.message());
            return false;
        }
        return true;
    }

    static bool elements(const Context& c, std::int64_t begin, std::int64_t end) {
        for (std::int64_t i = begin; i < end; ++i) {
            if (!element(c, i, std::make_index_sequence<nargs>{})) return false;
        }
        return true;
    }

    // ------------------------------------------------------------ blocks of 64

    // Hands blocks of elements to the function's block form: contiguous
    // doubles are read in place, a broadcast operand is converted once, other
    // inputs are gathered; results go in place when the output is contiguous.
    template <std::size_t... I>
    static void batches(const Context& c, std::int64_t begin, std::int64_t end, std::index_sequence<I...>) {
        constexpr std::int64_t size = 64;
        std::tuple<std::array<typename Sig::template L<I>::Batched, size>...> in;
        const void* src[sizeof...(I)] = {};
        double out[nout][size];
        double* outs[nout];
        unsigned char missing[size];
        bool broadcast_missing = false;
        for (std::int64_t base = begin; base < end; base += size) {
            const std::int64_t count = std::min(size, end - base);
            bool refused = false, any_missing = broadcast_missing;
            std::memset(missing, broadcast_missing ? 1 : 0, sizeof missing);
            (
                [&] {
                    using L = typename Sig::template L<I>;
                    using B = typename L::Batched;
                    const Column<typename L::Native> col = c.view.template in<I>();
                    if constexpr (std::same_as<typename L::Native, double> && std::same_as<B, double>) {
                        if (col.contiguous()) {
                            src[I] = col.ptr() + base;
                            return;
                        }
                    }
                    if (col.broadcast() && base != begin) return;  // converted with the first block
                    const std::int64_t todo = col.broadcast() ? size : count;
                    for (std::int64_t j = 0; j < todo && !refused; ++j) {
                        const auto v = col[base + j];
                        const Status s = L::status(v);
                        if (s == Status::ok) {
                            std::get<I>(in)[j] = L::batched(v);
                        } else if (s == Status::nat) {
                            std::get<I>(in)[j] = B{};
                            missing[j] = 1;
                            any_missing = true;
                            broadcast_missing = broadcast_missing || col.broadcast();
                        } else {
                            refused = true;
                        }
                    }
                    src[I] = std::get<I>(in).data();
                }(),
                ...);
            if (refused) {
                // The element path names the refused element.
                if (!elements(c, base, base + count)) return;
                continue;
            }
            for (int k = 0; k < nout; ++k) {
                // In place only when contiguous and not the very memory of an
                // input: NumPy passes an output that is also an input without a
                // copy, trusting each element to be read before it is written,
                // and a block form writes one field before reading for the next.
                auto* direct = reinterpret_cast<double*>(c.view.outs.data[k] + base * c.view.outs.steps[k]);
                const bool aliased = ((static_cast<const void*>(direct) == src[I]) || ...);
                outs[k] = c.view.outs.steps[k] == static_cast<npy_intp>(sizeof(double)) && !aliased ? direct : out[k];
            }
            Batch<F>::run(static_cast<std::size_t>(count),
                          static_cast<const typename Sig::template L<I>::Batched*>(src[I])..., outs);
            for (int k = 0; k < nout; ++k) {
                if (outs[k] != out[k]) continue;
                char* p = c.view.outs.data[k] + base * c.view.outs.steps[k];
                for (std::int64_t j = 0; j < count; ++j, p += c.view.outs.steps[k]) std::memcpy(p, &out[k][j], sizeof(double));
            }
            if (any_missing) {
                for (std::int64_t j = 0; j < count; ++j) {
                    if (missing[j] && !Out<R>::nat(c.view.outs, base + j)) {
                        c.error->record(base + j, FirstError::Kind::value, nat_message());
                        return;
                    }
                }
            }
        }
    }

    // ------------------------------------------------------------ chunks

    static void chunk(void* ctx, std::int64_t begin, std::int64_t end) {
        const Context& c = *static_cast<const Context*>(ctx);
        if constexpr (has_block) {
            if (c.block) {
                const auto& state = *static_cast<const typename Block<F>::State*>(c.state);
                for (std::int64_t i = begin; i < end;) {
                    i = Block<F>::run(state, c.view, i, end);
                    if (i >= end) return;
                    if (!element(c, i, std::make_index_sequence<nargs>{})) return;
                    ++i;
                }
                return;
            }
        }
        if constexpr (has_batch) {
            if (!c.masked) {
                batches(c, begin, end, std::make_index_sequence<nargs>{});
                return;
            }
        }
        elements(c, begin, end);
    }

    // Whether every receiver is one for all elements (block forms hoist them).
    template <std::size_t... I>
    static bool receivers_broadcast(const Context& c, std::index_sequence<I...>) {
        return ((!Sig::template L<I>::hoisted || c.view.template in<I>().broadcast()) && ...);
    }

    template <std::size_t... I>
    static std::int64_t prepare_all(char* const* data, const npy_intp* steps, PyArray_Descr* const* descrs, npy_intp n,
                                    Prepared* prepared, FirstError& error, std::index_sequence<I...>) {
        std::int64_t limit = n;
        ((limit = std::min<std::int64_t>(
              limit, Sig::template L<I>::prepare(Operand{data[I], steps[I], static_cast<npy_intp>(limit), descrs[I]},
                                                prepared[I], S.params[I], error))),
         ...);
        return limit;
    }

    static int loop(PyArrayMethod_Context* context, char* const* data, const npy_intp* dims, const npy_intp* steps,
                    NpyAuxData*) {
        const npy_intp n = dims[0];
        std::int64_t* position = Mask ? &loop_position() : nullptr;
        bool objects = false;
        for (int k = 0; k < nin; ++k) objects = objects || context->descriptors[k]->type_num == NPY_OBJECT;
        FirstError error;
        Prepared prepared[nargs > 0 ? nargs : 1];
        std::int64_t limit;
        try {
            // Objects are read with the lock held (the loop is registered as
            // needing it); everything else needs no Python.
            limit = prepare_all(data, steps, context->descriptors, n, prepared, error, std::make_index_sequence<nargs>{});
        } catch (const std::bad_alloc&) {
            const PyGILState_STATE state = PyGILState_Ensure();
            PyErr_NoMemory();
            PyGILState_Release(state);
            return -1;
        }
        Context c{};
        for (int k = 0; k < nargs; ++k) {
            c.view.in_data[k] = prepared[k].data;
            c.view.in_step[k] = prepared[k].step;
        }
        c.view.outs = Outs{data + nin, steps + nin};
        c.error = &error;
        if constexpr (Mask) {
            c.mask = Column<npy_bool>{data[nargs], steps[nargs]};
            npy_bool all = 1;
            if (n > 0) std::memcpy(&all, data[nargs], sizeof all);
            c.masked = steps[nargs] != 0 || !all;
            if (steps[nargs] == 0 && !all) limit = 0;  // nothing selected
        } else {
            c.masked = false;
        }
        // An operand refused before any element is computed: the elements
        // before it may hold a lower failing index, so they are computed,
        // into scratch memory, leaving the outputs as they were.
        std::unique_ptr<std::uint64_t[]> scratch;
        char* scratch_data[nout > 0 ? nout : 1];
        npy_intp scratch_steps[nout > 0 ? nout : 1];
        if (error.any() && limit > 0) {
            try {
                scratch.reset(new std::uint64_t[static_cast<std::size_t>(limit) * nout]);
            } catch (const std::bad_alloc&) {
                limit = 0;
            }
            for (int k = 0; k < nout && limit > 0; ++k) {
                scratch_data[k] = reinterpret_cast<char*>(scratch.get() + static_cast<std::size_t>(k) * limit);
                scratch_steps[k] = 8;
            }
            c.view.outs = Outs{scratch_data, scratch_steps};
        }
        bool same = false;
        const bool overlap = overlapping(c.view.in_data, c.view.in_step, nargs, c.view.outs.data, c.view.outs.steps,
                                         nout, limit, &same);
        compute(c, limit, overlap, objects);
        if (!error.any()) {
            for (int k = 0; k < nout; ++k) {
                if (finer_than_days(context->descriptors[nin + k])) {
                    seconds_from_days(OutColumn<std::int64_t>{data[nin + k], steps[nin + k]}, limit);
                }
            }
        }
        if (error.any()) {
            if (position != nullptr) pending_index() = {true, *position + error.first()};
            if (objects) {
                error.raise();
                return -1;
            }
            return error.finish();
        }
        if (position != nullptr) *position += n;
        return 0;
    }

    static void compute(Context& c, std::int64_t limit, bool overlap, bool objects) {
        if (limit <= 0) return;
        // The scalar functions report no floating-point flags, so neither do
        // the loops: the calling thread's flags are put back as they were,
        // keeping any that NumPy's own casts raised before the loop.
        std::fexcept_t flags;
        std::fegetexceptflag(&flags, FE_ALL_EXCEPT);
        PyThreadState* saved = objects ? PyEval_SaveThread() : nullptr;
        if constexpr (has_block) {
            c.block = !c.masked && !overlap && receivers_broadcast(c, std::make_index_sequence<nargs>{});
            std::optional<typename Block<F>::State> state;
            if (c.block) {
                state.emplace(Block<F>::prepare(c.view, limit));
                c.state = &*state;
            }
            run(c, limit, overlap);
        } else {
            c.block = false;
            run(c, limit, overlap);
        }
        if (saved != nullptr) PyEval_RestoreThread(saved);
        std::fesetexceptflag(&flags, FE_ALL_EXCEPT);
    }

    static void run(Context& c, std::int64_t limit, bool overlap) {
        // NumPy hands over an output that overlaps an input without a copy when
        // a loop running forwards, element by element, reads each input before
        // it is overwritten (an output just behind its input, say). Chunks on
        // other threads would not keep that order: such a loop runs in one.
        if (overlap || limit < 2 * Grain) {
            chunk(&c, 0, limit);  // one chunk: no thread is asked
            return;
        }
        run_chunks(limit, Grain, &chunk, &c);
    }

    // ------------------------------------------------------------ registration

    static NPY_CASTING resolve(PyArrayMethodObject_tag*, PyArray_DTypeMeta* const* dtypes, PyArray_Descr* const* given,
                               PyArray_Descr** loop_descrs, npy_intp*) {
        for (int k = 0; k < nin; ++k) {
            loop_descrs[k] = input_descr(dtypes[k], given[k]);
            if (loop_descrs[k] == nullptr) {
                for (int j = 0; j < k; ++j) Py_DECREF(loop_descrs[j]);
                return static_cast<NPY_CASTING>(-1);
            }
        }
        // Dates of a finer unit than days going in (a pandas column's) give
        // dates in seconds, which pandas holds as they are.
        bool finer = false;
        for (int k = 0; k < nin; ++k) finer = finer || finer_than_days(loop_descrs[k]);
        for (int k = 0; k < nout; ++k) {
            loop_descrs[nin + k] = finer && Out<R>::dtype(k) == &PyArray_DatetimeDType && follows_unit<R>()
                                       ? seconds_descr()
                                       : Out<R>::descr(k);
            if (loop_descrs[nin + k] == nullptr) {
                for (int j = 0; j < nin + k; ++j) Py_DECREF(loop_descrs[j]);
                return static_cast<NPY_CASTING>(-1);
            }
        }
        return NPY_NO_CASTING;
    }

    template <std::size_t... I>
    static bool choose_all(PyArray_DTypeMeta* const op_dtypes[], PyArray_DTypeMeta* const signature[],
                           PyArray_DTypeMeta* chosen[], std::index_sequence<I...>) {
        return ([&] {
            if (signature[I] != nullptr) {
                chosen[I] = signature[I];
                return true;
            }
            chosen[I] = Sig::template L<I>::choose(op_dtypes[I], S.params[I]);
            return chosen[I] != nullptr;
        }() && ...);
    }

    // Chooses each operand's loop dtype from the one given, registering the
    // loop of that combination on first use.
    static int promote(PyObject* ufunc, PyArray_DTypeMeta* const op_dtypes[], PyArray_DTypeMeta* const signature[],
                       PyArray_DTypeMeta* new_dtypes[]) {
        PyArray_DTypeMeta* chosen[nops];
        if (!choose_all(op_dtypes, signature, chosen, std::make_index_sequence<nargs>{})) return -1;
        if constexpr (Mask) chosen[nargs] = MaskLane::choose(op_dtypes[nargs]);
        for (int k = 0; k < nout; ++k) chosen[nin + k] = Out<R>::dtype(k);
        // NumPy's own descriptors and loop lookup (a custom one costs
        // microseconds per call), but for datetime64 kept in its unit.
        static constexpr LoopSlots slots{&resolve, &loop};
        static const std::string name(S.name);
        if (!ensure_loop(ufunc, name.c_str(), nin, nout, chosen, slots)) return -1;
        for (int k = 0; k < nops; ++k) new_dtypes[k] = NPY_DT_NewRef(chosen[k]);
        return 0;
    }

    // A new ufunc named `name` running this kernel.
    static PyObject* make(const char* name, const char* doc) {
        PyObject* ufunc = PyUFunc_FromFuncAndData(nullptr, nullptr, nullptr, 0, nin, nout, PyUFunc_None, name, doc, 0);
        if (ufunc == nullptr) return nullptr;
        // A twin's own ufunc is named in the module; a module function's is
        // hidden (it is never handed out, and its name is the function's).
        if (!add_promoter(ufunc, nops, &promote) || (!Mask && !name_module(ufunc))) {
            Py_DECREF(ufunc);
            return nullptr;
        }
        return ufunc;
    }
};

template <fixed_string Doc, auto F, std::int64_t Grain = 4096>
struct Twin {
    static constexpr CallSpec spec = py::parse_spec("", Doc.view(), false);
    using K = Kernel<spec, F, Grain, false>;
    static PyObject* make() { return K::make(py::name_of<Doc>(), doc_body(Doc.data)); }
};

// A ufunc of the function F; its name and parameters from the doc string.
template <fixed_string Doc, auto F, std::int64_t Grain = 4096>
PyObject* twin() {
    return Twin<Doc, F, Grain>::make();
}

}  // namespace quill::np
