// Lanes: a double, or a vector of two or four doubles whose every lane meets
// exactly the IEEE operation a double would (GCC's vector extensions form no
// fused multiply-adds with contraction off). Code written once over the value
// type T then gives each lane the single-value result to the bit, and runs
// two or four values per instruction.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace quill::lanes {

// A double with bool conditions, or vectors of two or four lanes with lane
// masks (all bits set where true). The helpers below give them one meaning.

using V2 = double __attribute__((vector_size(16)));
using V4 = double __attribute__((vector_size(32)));

template <class T>
constexpr int width = sizeof(T) / sizeof(double);

template <class T>
using MaskOf = decltype(T{} < T{});

// a where c holds, else b, without a branch that data-dependent conditions
// would mispredict.
inline double select(bool c, double a, double b) noexcept {
    const std::uint64_t mask = -static_cast<std::uint64_t>(c);
    return std::bit_cast<double>((std::bit_cast<std::uint64_t>(a) & mask) | (std::bit_cast<std::uint64_t>(b) & ~mask));
}
template <class V>
inline V select(MaskOf<V> c, V a, V b) noexcept {
    return c ? a : b;
}

inline bool any(bool c) noexcept { return c; }
template <class M>
    requires(sizeof(M) > sizeof(double))
inline bool any(M c) noexcept {
    std::int64_t all = 0;
    for (int i = 0; i < width<M>; ++i) all |= c[i];
    return all != 0;
}
inline bool lane(bool c, int) noexcept { return c; }
template <class M>
inline bool lane(M c, int i) noexcept {
    return c[i] != 0;
}
inline bool negate(bool c) noexcept { return !c; }
template <class M>
inline M negate(M c) noexcept {
    return ~c;
}

// Every condition, or any, lane by lane.
template <class M, class... R>
inline M and_of(M a, R... rest) noexcept {
    ((a = a & rest), ...);
    return a;
}
template <class M, class... R>
inline M or_of(M a, R... rest) noexcept {
    ((a = a | rest), ...);
    return a;
}

inline void set_lane(double& x, int, double v) noexcept { x = v; }
template <class V>
inline void set_lane(V& x, int i, double v) noexcept {
    x[i] = v;
}
inline double get_lane(double x, int) noexcept { return x; }
template <class V>
inline double get_lane(V x, int i) noexcept {
    return x[i];
}

inline double fabs(double x) noexcept { return std::fabs(x); }
template <class V>
inline V fabs(V x) noexcept {
    using M = MaskOf<V>;
    return std::bit_cast<V>(std::bit_cast<M>(x) & (M{} + std::numeric_limits<std::int64_t>::max()));
}

// A function of one double applied to each lane.
template <double (*f)(double)>
inline double each(double x) noexcept {
    return f(x);
}
template <double (*f)(double), class V>
inline V each(V x) noexcept {
    V y;
    for (int i = 0; i < width<V>; ++i) y[i] = f(x[i]);
    return y;
}

namespace detail {
inline double exp(double x) noexcept { return std::exp(x); }
inline double log(double x) noexcept { return std::log(x); }
inline double sqrt(double x) noexcept { return std::sqrt(x); }
}  // namespace detail

// The C library's functions, lane by lane (sqrt becomes one instruction).
template <class T>
inline T exp(T x) noexcept {
    return each<detail::exp>(x);
}
template <class T>
inline T log(T x) noexcept {
    return each<detail::log>(x);
}
template <class T>
inline T sqrt(T x) noexcept {
    return each<detail::sqrt>(x);
}

// The bits of a double or of each lane, as unsigned integers.
template <class T>
struct BitsOf;
template <>
struct BitsOf<double> {
    using type = std::uint64_t;
};
template <>
struct BitsOf<V2> {
    using type = std::uint64_t __attribute__((vector_size(16)));
};
template <>
struct BitsOf<V4> {
    using type = std::uint64_t __attribute__((vector_size(32)));
};

// f's value in the lanes where `ordinary` fails.
template <double (*f)(double), class T>
inline T patch(T y, MaskOf<T> ordinary, T x) noexcept {
    if (!any(negate(ordinary))) return y;
    for (int i = 0; i < width<T>; ++i) {
        if (!lane(ordinary, i)) set_lane(y, i, f(get_lane(x, i)));
    }
    return y;
}

// The lanes of T from p[0..n), n <= width: lanes past n hold `fill`.
template <class T>
inline T load(const double* p, std::size_t n, double fill = 1.0) noexcept {
    T v = T{} + fill;
    if (n >= static_cast<std::size_t>(width<T>)) {
        std::memcpy(&v, p, sizeof v);
    } else {
        for (std::size_t i = 0; i < n; ++i) set_lane(v, static_cast<int>(i), p[i]);
    }
    return v;
}

// The first n <= width lanes of v into p.
template <class T>
inline void store(double* p, std::size_t n, T v) noexcept {
    if (n >= static_cast<std::size_t>(width<T>)) {
        std::memcpy(p, &v, sizeof v);
    } else {
        for (std::size_t i = 0; i < n; ++i) p[i] = get_lane(v, static_cast<int>(i));
    }
}

#if defined(__x86_64__) || defined(__i386__)
#define QUILL_AVX2 1  // loops may offer a four-lane version compiled for AVX2
// Whether this processor runs AVX2, where four lanes fit one instruction;
// QUILLANDER_DISABLE_AVX2=1 in the environment says no (the two-lane loops
// of older processors, for tests). Asked once, after every constructor has
// run (the feature table needs its own constructor first).
inline bool has_avx2() noexcept {
    static const bool yes = [] {
        const char* disable = std::getenv("QUILLANDER_DISABLE_AVX2");
        if (disable != nullptr && disable[0] != '\0' && disable[0] != '0') return false;
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return yes;
}
#endif

}  // namespace quill::lanes
