// Array forms of the four DayCounter methods.
#include <limits>
#include <optional>

#include "datetime/day_counter.hpp"
#include "datetime/dates_np.hpp"
#include "numpy/wrapper.hpp"

namespace quill::np {
namespace {

double dcf_own(const DayCounter& dc, Date start, Date end) { return year_fraction(dc, start, end); }
double dcf_act365(const DayCounter&, Date start, Date end) { return year_fraction(DayCounter::Act365, start, end); }
double dcf_act360(const DayCounter&, Date start, Date end) { return year_fraction(DayCounter::Act360, start, end); }
double dcf_30360(const DayCounter&, Date, Date) { fail("not implemented"); }

}  // namespace

// The 32-bit day difference over the convention's basis, settled once; a
// convention without one leaves every pair to the library, which fails.
// Fixed: the convention's value, or -1 for the receiver's own.
template <auto K, int Fixed>
struct DcfBlock {
    static constexpr bool exists = true;
    using V = View<K>;
    using State = std::optional<double>;
    static State prepare(const V& v, std::int64_t) {
        try {
            return day_count_basis(Fixed >= 0 ? static_cast<DayCounter>(Fixed) : v.template receiver<0>());
        } catch (const Failure&) {
            return std::nullopt;
        }
    }
    static std::int64_t run(const State& basis, const V& v, std::int64_t begin, std::int64_t end) {
        const Column<std::int64_t> starts = v.template in<1>();
        const Column<std::int64_t> ends = v.template in<2>();
        const OutColumn<double> out = v.template out<0, double>();
        if (!basis) {
            for (std::int64_t i = begin; i < end; ++i) {
                if (starts[i] != nat && ends[i] != nat) return i;
                out.set(i, std::numeric_limits<double>::quiet_NaN());
            }
            return end;
        }
        const double divisor = *basis;
        for (std::int64_t i = begin; i < end; ++i) {
            const std::int64_t a = starts[i], z = ends[i];
            if (a == nat || z == nat) {
                out.set(i, std::numeric_limits<double>::quiet_NaN());
                continue;
            }
            if (!valid_day(a) || !valid_day(z)) return i;
            out.set(i, static_cast<double>(static_cast<std::int32_t>(z - a)) / divisor);
        }
        return end;
    }
};

template <>
struct Block<&dcf_own> : DcfBlock<&dcf_own, -1> {};
template <>
struct Block<&dcf_act365> : DcfBlock<&dcf_act365, static_cast<int>(DayCounter::Act365)> {};
template <>
struct Block<&dcf_act360> : DcfBlock<&dcf_act360, static_cast<int>(DayCounter::Act360)> {};

bool add_day_counter_twins(PyObject* m) {
    constexpr TwinOptions cheap{.grain = 65536};
    return add_twin<"get_dcf(dc, start, end)\n--\n\n"
                    "dc.get_dcf of each pair of dates (broadcast), as float64; NaT gives NaN.",
                    &dcf_own, cheap>(m) &&
           add_twin<"get_dcf_act365(dc, start, end)\n--\n\ndc.get_dcf_act365 of each pair of dates, as get_dcf.",
                    &dcf_act365, cheap>(m) &&
           add_twin<"get_dcf_act360(dc, start, end)\n--\n\ndc.get_dcf_act360 of each pair of dates, as get_dcf.",
                    &dcf_act360, cheap>(m) &&
           add_twin<"get_dcf_30360(dc, start, end)\n--\n\n"
                    "dc.get_dcf_30360 of each pair of dates: not implemented, as the scalar method.",
                    &dcf_30360, cheap>(m);
}

}  // namespace quill::np
